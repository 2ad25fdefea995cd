// Finding, mapping and locking the shared region for the gateway.
#include "region.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "ioshare_region.h"

namespace zuqgate {

Region::~Region() {
    unmap();
    if (health_ != nullptr) ioshare_health_close(health_);
}

void Region::refreshHealth() {
    const std::string healthName = name_ + IOSHARE_HEALTH_SUFFIX;
    const int fd = shm_open(healthName.c_str(), O_RDONLY, 0);
    struct stat st {};
    const bool usable =
        fd >= 0 && fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(ioshareHealth));
    if (usable && health_ != nullptr && st.st_dev == healthDev_ && st.st_ino == healthIno_) {
        close(fd);
        return;
    }
    if (health_ != nullptr) ioshare_health_close(health_);
    health_ = nullptr;
    if (usable) {
        void *p = mmap(nullptr, sizeof(ioshareHealth), PROT_READ, MAP_SHARED, fd, 0);
        if (p != MAP_FAILED) {
            health_ = static_cast<const ioshareHealth *>(p);
            healthDev_ = st.st_dev;
            healthIno_ = st.st_ino;
        }
    }
    if (fd >= 0) close(fd);
}

void Region::unmap() {
    if (share_ != nullptr) ioshare_close(share_);
    share_ = nullptr;
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool Region::refresh() {
    refreshHealth();
    const int fd = shm_open(name_.c_str(), O_RDWR, 0);
    lastError_ = fd < 0 ? errno : 0;
    if (fd < 0) {
        if (share_ == nullptr) return false;
        unmap();  // the server stopped in order and removed the name
        return true;
    }
    struct stat st {};
    bool sized = fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(ioShare_t));
    const bool same = share_ != nullptr && st.st_dev == dev_ && st.st_ino == ino_;
    // The mapped object cut short (or made longer) by a client: put back to
    // its size before anything touches a page that is gone.
    if (same && st.st_size != static_cast<off_t>(sizeof(ioShare_t)) &&
        ftruncate(fd_, static_cast<off_t>(sizeof(ioShare_t))) == 0) {
        repaired_ = true;
        sized = true;
    }
    if (ioshare::mappingRepaired()) repaired_ = true;
    if (same && sized) {
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
            // Kept open: a client that cuts the object short must not end
            // the gateway with a fault on a page that is gone.
            fd_ = fd;
            ioshare::guardMapping(p, sizeof(ioShare_t), fd);
            return true;
        }
    }
    close(fd);
    return hadMapping || share_ != nullptr;
}

bool Region::tryLock() {
    if (share_ == nullptr) return false;
    // Busy, or left unrecoverable (the server mends that on its next lock):
    // not taken. Taken from a holder that died: repaired as every user does.
    return ioshare::mutexSound(share_) &&
           ioshare::repairLock(share_, pthread_mutex_trylock(&share_->mutex)) >= 0;
}

void Region::unlock() {
    // A kind written over while held is left to the server to set up afresh.
    if (share_ != nullptr && ioshare::mutexSound(share_)) pthread_mutex_unlock(&share_->mutex);
}

}  // namespace zuqgate
