// Finding, mapping and locking the shared region for the gateway.
#include "region.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace zuqgate {

std::string regionName() {
    const char *env = std::getenv(IOSHARE_NAME_ENV);
    return env != nullptr && *env != '\0' ? env : IOSHARE_DEFAULT_NAME;
}

Region::~Region() {
    unmap();
}

void Region::unmap() {
    if (share_ != nullptr) ioshare_close(share_);
    share_ = nullptr;
}

bool Region::refresh() {
    const int fd = shm_open(name_.c_str(), O_RDWR, 0);
    lastError_ = fd < 0 ? errno : 0;
    if (fd < 0) {
        if (share_ == nullptr) return false;
        unmap();  // the server stopped in order and removed the name
        return true;
    }
    struct stat st {};
    const bool sized = fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(ioShare_t));
    if (share_ != nullptr && sized && st.st_dev == dev_ && st.st_ino == ino_) {
        close(fd);
        return false;
    }
    const bool hadMapping = share_ != nullptr;
    unmap();
    if (!sized) lastError_ = EAGAIN;  // touching pages past its end would fault
    if (sized) {
        // Mapped from the very descriptor that was looked at, so the object
        // mapped is the one whose identity is kept.
        void *p = mmap(nullptr, sizeof(ioShare_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) lastError_ = errno;
        if (p != MAP_FAILED) {
            share_ = static_cast<ioShare_t *>(p);
            dev_ = st.st_dev;
            ino_ = st.st_ino;
            ++generation_;
        }
    }
    close(fd);
    return hadMapping || share_ != nullptr;
}

bool Region::tryLock() {
    if (share_ == nullptr) return false;
    const int rc = pthread_mutex_trylock(&share_->mutex);
    if (rc == 0) return true;
    if (rc == EOWNERDEAD) {
        // Its holder died: the fields are whole words and bytes, nothing to undo.
        pthread_mutex_consistent(&share_->mutex);
        return true;
    }
    return false;  // busy, or left unrecoverable: the server mends it on its next lock
}

void Region::unlock() {
    if (share_ != nullptr) pthread_mutex_unlock(&share_->mutex);
}

}  // namespace zuqgate
