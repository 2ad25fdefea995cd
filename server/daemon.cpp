// Daemon step and lock file: one server per lock file, held through an
// advisory write lock for the life of the process.
#include "daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "log.h"

namespace {

// Descriptor of claimLockFile's lock, or -1. Never closed in interactive
// mode: closing any descriptor of the file would drop the process's lock.
int claimFd = -1;
// Descriptor of initDaemon's lock, or -1; open until releaseLockFile.
int lockFd = -1;

bool badPath(const char *lockPath) {
    return lockPath == nullptr || lockPath[0] == '\0';
}

// Opened without following a symbolic link and without emptying it: the
// server runs as root, and a link planted at the lock path would otherwise
// have it lock and overwrite whatever file the link names. The file is only
// emptied once its lock is held (writePid).
int openLockFile(const char *lockPath) {
    const int fd = open(lockPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        const bool link = errno == ELOOP;
        std::printf("Lockfile %s open failed\n", lockPath);
        if (link) std::printf("Lockfile %s is a symbolic link: refused\n", lockPath);
    }
    return fd;
}

enum class Lock { taken, held, failed };

// The process that holds the lock on the file, as the kernel tells it (the
// pid written into the file may not be there yet, or be a dead server's);
// 0 when it cannot tell (a holder in another pid namespace, say).
long lockHolder(int fd) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fcntl(fd, F_GETLK, &fl) != 0 || fl.l_type == F_UNLCK) return 0;
    return static_cast<long>(fl.l_pid);
}

// Write lock over the whole file, without waiting. A refusal is reported;
// when another process holds the lock the descriptor is closed.
Lock lockWhole(int fd, const char *lockPath) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    if (fcntl(fd, F_SETLK, &fl) == 0) return Lock::taken;
    if (errno == EACCES || errno == EAGAIN) {
        const long holder = lockHolder(fd);
        close(fd);
        std::printf("\nCreate lockfile %s failed\n", lockPath);
        if (holder > 0)
            std::printf("Lockfile %s is held by process %ld: a server runs already\n", lockPath,
                        holder);
        return Lock::held;
    }
    std::printf("\nLock lockfile %s failed\n", lockPath);
    return Lock::failed;
}

void writePid(int fd) {
    char text[32];
    const int len = std::snprintf(text, sizeof text, "%ld", static_cast<long>(getpid()));
    if (ftruncate(fd, 0) != 0) return;
    // The zero byte is part of the file: readers take the text up to it.
    if (pwrite(fd, text, static_cast<size_t>(len) + 1, 0) < 0) return;
}

// A closed standard descriptor would be handed out by the daemon's next
// open, and stray output on standard output or error would then be written
// into that file: keep all three on /dev/null instead.
void detachStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) close(fd);
    const int null = open("/dev/null", O_RDWR);
    if (null < 0) return;
    for (int fd = 0; fd <= 2; ++fd) {
        if (fd != null) dup2(null, fd);
    }
    if (null > 2) close(null);
}

}  // namespace

int claimLockFile(const char *lockPath) {
    if (badPath(lockPath)) return -1;
    if (claimFd >= 0) return 0;
    const int fd = openLockFile(lockPath);
    if (fd < 0) return -1;
    switch (lockWhole(fd, lockPath)) {
        case Lock::taken:
            break;
        case Lock::failed:
            close(fd);
            return -1;
        case Lock::held:
            return -1;
    }
    claimFd = fd;
    return 0;
}

int initDaemon(int daemonFlag, const char *lockPath) {
    if (badPath(lockPath)) return -1;
    const int fd = openLockFile(lockPath);
    if (fd < 0) return -1;

    if (daemonFlag) {
        // Locks do not pass to a child: the claim must go now or the child's
        // lock would be refused while the parent is still on its way out.
        if (claimFd >= 0) {
            close(claimFd);
            claimFd = -1;
        }
        // Whatever the parent has buffered must not be written twice.
        std::fflush(nullptr);
        // A parent that leads its session hangs its terminal's foreground
        // group up when it exits, and the child is still in it until setsid:
        // it must not die of that.
        struct sigaction ignore {
        }, previous{};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGHUP, &ignore, &previous);
        const pid_t pid = fork();
        if (pid < 0) {
            sigaction(SIGHUP, &previous, nullptr);
            return -1;
        }
        if (pid > 0) {
            logMsg(4, "Parent exit");
            std::exit(0);
        }
        setsid();
        sigaction(SIGHUP, &previous, nullptr);
    }

    // A refusal for another reason than a holder leaves the descriptor open.
    if (lockWhole(fd, lockPath) != Lock::taken) return -1;
    writePid(fd);
    lockFd = fd;

    if (daemonFlag) {
        // Failing to leave the start directory only keeps it busy.
        const int cwdResult = chdir("/");
        static_cast<void>(cwdResult);
        // A mask of 0 would create whatever the daemon writes later
        // world-writable: the inherited mask is kept, with group and others
        // at least denied writing.
        const mode_t inherited = umask(0);
        umask(inherited | 022);
        detachStandardDescriptors();
    }
    return 0;
}

void releaseLockFile(void) {
    // Closing either descriptor drops the process's lock on the file.
    for (int *fd : {&lockFd, &claimFd}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}
