// The LPC ISP boot ROM behind a pseudo-terminal. Tests reach its knobs and record through
// locked(); the chip's state survives the host closing and reopening the port.
#ifndef _LpcIspEmulator_H_
#define _LpcIspEmulator_H_

#include "pty/SerialPty.h"
#include "lpc_isp/LpcIspRom.h"

class LpcIspEmulator : public PtyEmulator<LpcIspRom> {
public:
    // Starts the pty; false when none can be opened.
    bool start();
};

#endif
