// The plan of an NXP LPC recovery: how the firmware blocks are cut into RAM writes and the
// copies that take them into flash.
#ifndef _UpdaterRecovery_H_
#define _UpdaterRecovery_H_

#include <vector>

#include "BirdFile.h"
#include "UpdaterDisplayInterface.h"

// One ISP copy from the staging RAM into flash.
struct LpcCopy {
    unsigned int flash;
    unsigned int ram;
    unsigned int count;
};

// One RAM write of staged bytes (the chunk padded with 0xFF) and the copies that take it into
// flash.
struct LpcChunk {
    unsigned int block;          // index into the firmware blocks
    unsigned int offset;         // of the chunk in the block's payload
    unsigned int length;         // payload bytes of the chunk
    unsigned int staged;         // bytes written to RAM
    std::vector<LpcCopy> copies;
};

// Splits the blocks (up to the end marker) into chunks, refusing an image whose blocks the
// chip cannot take as they are: everything is checked before the flash is erased. A full
// chunk goes as one copy of 4096; a shorter one is padded only to its last 256-byte page and
// copied in pieces of 1024, 512 and 256, so no padding reaches a page another block owns.
// programmed counts the blocks that carry data. False after an error line.
bool _plan_lpc(UpdaterDisplayInterface& display, const std::vector<BirdBlock>& blocks,
               std::vector<LpcChunk>& plan, unsigned int& programmed);

#endif
