// The I/O board on COM port 1: identification and the region's layout.
#include "board.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log.h"
#include "modbus.h"
#include "region.h"
#include "running.h"

namespace {

constexpr char kPort = 1;
constexpr char kSlave = 1;
constexpr WORD kIdRegister = 482;
constexpr WORD kTimeoutMs = 50;

// Identifier, then base and count of bit inputs, bit outputs, input
// registers, holding registers and 32-bit inputs.
constexpr std::array<BoardLayout, 8> kBoards{{
    {0x0A11, 0, 8, 0, 8, 0, 0, 0, 0, 0, 8},
    {0x0A14, 0, 16, 0, 0, 0, 0, 0, 0, 0, 16},
    {0x0A15, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0},
    {0x0A19, 0, 5, 0, 6, 0, 0, 0, 0, 0, 5},
    {0x0C23, 32, 4, 0, 4, 0, 4, 0, 0, 128, 4},
    {0x0C24, 32, 4, 0, 4, 0, 0, 0, 2, 128, 4},
    {0x0C25, 32, 8, 0, 8, 0, 8, 0, 0, 128, 8},
    {0x0C2A, 32, 4, 0, 4, 0, 4, 32, 2, 128, 4},
}};

// Discovery asks this often, a pause apart, before it concludes that no
// board is there: a board that misses one request (line noise, still
// booting) is not taken for a missing one for the life of the process. All
// attempts together stay within a second.
constexpr int kIdAttempts = 4;
constexpr long kIdPauseNs = 150000000;

// Pauses between two tries, ending early when a stop is asked: a stop
// signal ends the sleep, and one that came just before it is seen here.
void pauseUnlessStopped() {
    timespec left{0, kIdPauseNs};
    while (serverRunning() && nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// Identifier 0 stands for a board that did not answer `attempts` requests;
// the tries end as soon as the server is to stop.
unsigned readBoardId(int attempts) {
    for (int i = 0; i < attempts && serverRunning(); ++i) {
        if (i > 0) pauseUnlessStopped();
        if (!serverRunning()) break;
        unsigned char data[8] = {};
        if (modbusRequest(kPort, kSlave, 3, kIdRegister, 2, reinterpret_cast<char *>(data),
                          sizeof data, kTimeoutMs, nullptr) == 0)
            return boardIdFromRegisters(data);
    }
    return 0;
}

// Everything the layout step resets before a table row is applied.
void clearLayout(ioShare_t *share, unsigned id) {
    share->boardId = static_cast<int32_t>(id);
    share->bitInBase = share->bitInCount = 0;
    share->bitOutBase = share->bitOutCount = 0;
    share->intInBase = share->intInCount = 0;
    share->intOutBase = share->intOutCount = 0;
    share->dwordInBase = share->dwordInCount = 0;
    share->auxBase = 0;
    share->auxSize = IOSHARE_AREA_SIZE;
    share->tailUsed = 0;
    share->tailSlots = IOSHARE_TAIL_SLOTS;
    share->tailSlotSize = IOSHARE_TAIL_SLOT_SIZE;
    idleRequestSlots(share);
}

void applyLayout(ioShare_t *share, const BoardLayout &b) {
    share->bitInBase = b.bitInBase;
    share->bitInCount = b.bitInCount;
    share->bitOutBase = b.bitOutBase;
    share->bitOutCount = b.bitOutCount;
    share->intInBase = b.intInBase;
    share->intInCount = b.intInCount;
    share->intOutBase = b.intOutBase;
    share->intOutCount = b.intOutCount;
    share->dwordInBase = b.dwordInBase;
    share->dwordInCount = b.dwordInCount;
}

// Reads `count` points of `function` into `image` only when the read
// succeeds: on an exception answer the library puts the exception code into
// the buffer it was given, which in the image itself would become outputs
// nobody asked for.
void loadImage(char function, int32_t base, int32_t count, size_t bytes, unsigned char *image) {
    char buf[IOSHARE_AREA_SIZE];
    if (modbusRequest(kPort, kSlave, function, static_cast<WORD>(base), static_cast<WORD>(count),
                      buf, sizeof buf, kTimeoutMs, nullptr) == 0)
        std::memcpy(image, buf, std::min(bytes, sizeof buf));
}

// The output images start from what the board drives now, so that the first
// full-image write changes only what a client asked for. A failed read
// leaves the image zero.
void loadOutputImages(ioShare_t *share) {
    if (share->bitOutCount > 0)
        loadImage(1, share->bitOutBase, share->bitOutCount,
                  static_cast<size_t>(share->bitOutCount - 1) / 8 + 1, share->bitOutImage);
    if (share->intOutCount > 0)
        loadImage(3, share->intOutBase, share->intOutCount,
                  static_cast<size_t>(share->intOutCount) * 2, share->intOutImage);
}

}  // namespace

const BoardLayout *findBoardLayout(unsigned id) {
    for (const BoardLayout &b : kBoards)
        if (b.id == id) return &b;
    return nullptr;
}

unsigned boardIdFromRegisters(const unsigned char data[4]) {
    return static_cast<unsigned>(data[0]) | static_cast<unsigned>(data[3]) << 8;
}

int initIOBoard(ioShare_t *share) {
    if (Open_Com(kPort, 115200, 8, 0, 0) != 0) {
        // The log says which device and why: at boot a USB adapter or its
        // driver may come up only after the service, which is then started
        // again until the device is there.
        const int err = errno;
        logError("COM port 1 (%s) not opened, I/O board init failed", Get_Com_Device(kPort));
        errno = err;
        return -1;
    }
    const unsigned id = readBoardId(kIdAttempts);
    std::printf("rk-board ID=%04X\n", id);

    lockRegion(share);  // repairs a mutex whose holder died
    clearLayout(share, id);
    if (id == 0) {
        share->boardId = IOSHARE_NO_BOARD;
    } else if (const BoardLayout *b = findBoardLayout(id)) {
        applyLayout(share, *b);
        loadOutputImages(share);
    } else {
        unlockRegion(share);
        // Refused: the port is of no further use to this process, so it is
        // handed back at once rather than left to the exit.
        Close_Com(kPort);
        return -3;
    }
    unlockRegion(share);
    return 0;
}

unsigned rediscoverIOBoard(ioShare_t *share) {
    const unsigned id = readBoardId(1);
    const BoardLayout *b = id != 0 ? findBoardLayout(id) : nullptr;
    if (b == nullptr) return id;
    // Request slots are left as they are: clients may have posted already.
    lockRegion(share);
    share->boardId = static_cast<int32_t>(id);
    applyLayout(share, *b);
    loadOutputImages(share);
    unlockRegion(share);
    return id;
}

int finiIOBoard(void) {
    return Close_Com(kPort);
}
