// The i.MX boot ROM in serial download mode behind a pseudo-terminal (no report-id bytes on
// the line). Tests reach the ROM's knobs and record through locked().
#ifndef _ImxSerialEmulator_H_
#define _ImxSerialEmulator_H_

#include "imx_sdp/SdpRom.h"
#include "pty/SerialPty.h"

class ImxSerialEmulator : public PtyEmulator<SdpRom> {
public:
    // Starts the pty; false when none can be opened.
    bool start();
};

#endif
