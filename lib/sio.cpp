// Serial device registry: raw set-up of terminal devices, with the settings
// found at open kept per descriptor and restored at close.
#include "sio.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>

struct sio *sio_list = nullptr;

namespace {

// Every entry is allocated here with a private trailer behind the public
// record: the number of sio_open calls the descriptor is serving, so that two
// port numbers naming one device share it until the last of them closes.
struct Entry {
    struct sio pub;
    int users;
};

Entry *entryOf(struct sio *e) {
    return reinterpret_cast<Entry *>(e);
}

void freeEntry(struct sio *e) {
    std::free(e->options);
    std::free(e->old_options);
    std::free(entryOf(e));
}

// The framing and speed codes are checked on a scratch record before any
// descriptor is opened or touched: a refused open must never disturb a
// device that another user of the registry still has in use.
bool codesAccepted(speed_t baud, tcflag_t parity, tcflag_t stop) {
    termios scratch{};
    if (cfsetispeed(&scratch, baud) != 0 || cfsetospeed(&scratch, baud) != 0) return false;
    return parity <= 2 && (stop == 0 || stop == 2);
}

// A device must never live on descriptor 0: 0 is the failure value of
// sio_open and the not-found value of _sio_device. When standard input was
// closed and the device landed there, move it up.
int offDescriptorZero(int fd) {
    if (fd != 0) return fd;
    const int moved = fcntl(fd, F_DUPFD, 3);
    close(fd);
    return moved < 0 ? -1 : moved;
}

// Applies `options` of a registered descriptor after an edit; shared by the
// three small setters.
template <typename Edit>
void editAndApply(int fd, Edit edit) {
    struct sio *e = _sio_follow(fd);
    if (e == nullptr) return;  // no memory: leave the device as it is
    edit(*e->options);
    tcflush(fd, TCIFLUSH);
    tcsetattr(fd, TCSANOW, e->options);
}

}  // namespace

extern "C" int _sio_device(const char *port) {
    for (struct sio *e = sio_list; e != nullptr; e = e->next)
        if (e->name != nullptr && port != nullptr && std::strcmp(e->name, port) == 0) return e->fd;
    return 0;
}

// An entry made on demand (for a descriptor sio_open never registered) has
// both records filled from the device's present settings, so nothing this
// layer applies ever comes from an unfilled record.
extern "C" struct sio *_sio_follow(int fd) {
    struct sio *tail = nullptr;
    for (struct sio *e = sio_list; e != nullptr; e = e->next) {
        if (e->fd == fd) return e;
        tail = e;
    }
    auto *whole = static_cast<Entry *>(std::calloc(1, sizeof(Entry)));
    if (whole == nullptr) return nullptr;
    struct sio *e = &whole->pub;
    e->options = static_cast<struct termios *>(std::calloc(1, sizeof(struct termios)));
    e->old_options = static_cast<struct termios *>(std::calloc(1, sizeof(struct termios)));
    if (e->options == nullptr || e->old_options == nullptr) {
        freeEntry(e);
        return nullptr;
    }
    e->fd = fd;
    if (tcgetattr(fd, e->options) == 0) *e->old_options = *e->options;
    if (tail == nullptr)
        sio_list = e;
    else
        tail->next = e;
    return e;
}

extern "C" int _sio_trim(int fd) {
    struct sio *prev = nullptr;
    for (struct sio *e = sio_list; e != nullptr; prev = e, e = e->next) {
        if (e->fd != fd) continue;
        if (prev == nullptr)
            sio_list = e->next;
        else
            prev->next = e->next;
        freeEntry(e);
        return 0;
    }
    return -1;
}

// A path that is not a terminal (a regular file, a FIFO, /dev/null) is
// refused before anything is written to it: a Modbus frame written there
// would overwrite a file or come straight back as its own "answer".
extern "C" int sio_open(const char *port, speed_t baud, tcflag_t data, tcflag_t parity,
                        tcflag_t stop) {
    if (!codesAccepted(baud, parity, stop)) return 0;
    int fd = _sio_device(port);
    const bool reused = fd != 0;
    if (!reused) {
        fd = offDescriptorZero(open(port, O_RDWR | O_NOCTTY));
        if (fd < 0) return 0;
        termios probe{};
        if (tcgetattr(fd, &probe) != 0) {
            close(fd);
            return 0;
        }
    }
    struct sio *e = _sio_follow(fd);
    if (e == nullptr) {
        if (!reused) close(fd);
        return 0;
    }
    // The settings to restore are those found by the first open; a second
    // user of the descriptor must not replace them with the raw ones.
    if (!reused) {
        tcgetattr(fd, e->old_options);
        entryOf(e)->users = 0;
    }
    const termios previous = *e->options;
    e->fd = fd;
    e->name = port;
    tcgetattr(fd, e->options);
    struct termios &o = *e->options;

    cfsetispeed(&o, baud);
    cfsetospeed(&o, baud);
    o.c_cflag = (o.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | data;
    o.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CSTOPB);
    if (parity == 1) o.c_cflag |= PARENB | PARODD;
    if (parity == 2) o.c_cflag |= PARENB;
    if (stop == 2) o.c_cflag |= CSTOPB;

    o.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IXON | IXOFF);
    o.c_oflag &= ~static_cast<tcflag_t>(OPOST | OLCUC | ONLCR | OCRNL | NLDLY | CRDLY | TABDLY |
                                        BSDLY | VTDLY | FFDLY);
    o.c_cflag |= CLOCAL | CREAD;
    o.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    o.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
    for (int i : {VINTR, VQUIT, VERASE, VKILL, VSWTC, VSTART, VSTOP, VSUSP, VEOL, VREPRINT,
                  VDISCARD, VWERASE, VLNEXT, VEOL2})
        o.c_cc[i] = 0;
    o.c_cc[VEOF] = 4;
    o.c_cc[VTIME] = 0;
    o.c_cc[VMIN] = 1;
    if (tcsetattr(fd, TCSAFLUSH, &o) != 0) {
        // Settings that cannot be set: a new descriptor goes again, a shared
        // one stays with its users as it was.
        if (reused) {
            *e->options = previous;
            tcsetattr(fd, TCSANOW, &previous);
            return 0;
        }
        tcsetattr(fd, TCSANOW, e->old_options);
        _sio_trim(fd);
        close(fd);
        return 0;
    }
    ++entryOf(e)->users;
    return fd;
}

// Only the last user of a shared descriptor restores and closes it; earlier
// ones just give up their share.
extern "C" int sio_close(int fd) {
    struct sio *e = _sio_follow(fd);
    if (e != nullptr) {
        if (entryOf(e)->users > 1) {
            --entryOf(e)->users;
            return 0;
        }
        tcsetattr(fd, TCSANOW, e->old_options);
        _sio_trim(fd);
    }
    return close(fd) == -1 ? -1 : 0;
}

extern "C" void sio_set_noncan(int fd) {
    editAndApply(fd, [](struct termios &o) {
        o.c_iflag &= ~static_cast<tcflag_t>(ICRNL);
        o.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    });
}

extern "C" void sio_set_canon(int fd) {
    editAndApply(fd, [](struct termios &o) {
        o.c_iflag |= ICRNL;
        o.c_lflag |= ICANON;
    });
}

extern "C" void sio_set_timer(int fd, cc_t vmin, cc_t vtime) {
    editAndApply(fd, [vmin, vtime](struct termios &o) {
        o.c_cc[VMIN] = vmin;
        o.c_cc[VTIME] = vtime;
    });
}

// On a speed that cannot be set the descriptor is closed; its entry goes too,
// so that a later descriptor with the same number never inherits it.
extern "C" int sio_set_baud(int fd, speed_t baud) {
    struct sio *e = _sio_follow(fd);
    if (e == nullptr) {
        close(fd);
        return -1;
    }
    if (cfsetispeed(e->options, baud) != 0 || cfsetospeed(e->options, baud) != 0) {
        close(fd);
        _sio_trim(fd);
        return -1;
    }
    tcflush(fd, TCIOFLUSH);
    tcsetattr(fd, TCSAFLUSH, e->options);
    const char cr = '\r';
    [[maybe_unused]] const ssize_t n = write(fd, &cr, 1);
    return 0;
}
