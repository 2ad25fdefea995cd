// Finding, mapping and locking the shared region for the gateway.
#include "region.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "ioshare_region.h"

namespace zuqgate {

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
    // Busy, or left unrecoverable (the server mends that on its next lock):
    // not taken. Taken from a holder that died: repaired as every user does.
    return ioshare::repairLock(share_, pthread_mutex_trylock(&share_->mutex)) >= 0;
}

void Region::unlock() {
    if (share_ != nullptr) pthread_mutex_unlock(&share_->mutex);
}

}  // namespace zuqgate
