// The I/O board on COM port 1: identification and the region's layout.
#pragma once

#include <cstdint>

#include "ioshare.h"

// Layout of one board of the table: first Modbus address and number of
// points of each kind the server mirrors.
struct BoardLayout {
    uint16_t id;
    int32_t bitInBase, bitInCount;
    int32_t bitOutBase, bitOutCount;
    int32_t intInBase, intInCount;
    int32_t intOutBase, intOutCount;
    int32_t dwordInBase, dwordInCount;
};

// The table row of identifier `id`, or null for an identifier outside it.
const BoardLayout *findBoardLayout(unsigned id);

// The identifier carried by holding registers 482 and 483 as they come off
// the wire: the first byte is its low byte, the fourth its high byte.
unsigned boardIdFromRegisters(const unsigned char data[4]);

// Opens COM port 1, identifies the board and writes its layout into the
// region (mutex held), then loads the output images with the board's present
// outputs. 0 for a board of the table or no board at all (boardId then
// IOSHARE_NO_BOARD, empty layout; the identifier is asked for a few times
// within a second first); -1 when COM port 1 does not open (logged with its
// device and the reason, errno kept); -3 for an identifier outside the
// table, after which COM port 1 is closed again.
int initIOBoard(ioShare_t *share);

// For a server that started without a board: asks once for the identifier
// and, when a board of the table answers, writes its layout into the region
// and loads the output images from the board (mutex held), as start-up does.
// The identifier that answered (one outside the table changes nothing), 0
// when none did.
unsigned rediscoverIOBoard(ioShare_t *share);

// Closes COM port 1; Close_Com's result.
int finiIOBoard(void);
