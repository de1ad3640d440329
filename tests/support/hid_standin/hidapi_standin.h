// A test-only stand-in for the hidapi calls the i.MX HID transport makes (hid_init, hid_open,
// hid_write, hid_read_timeout, hid_close, hid_exit), served by the i.MX ROM emulator in
// process. This machine has neither USB nor uhid, so a test links this file in place of
// hidapi: its definitions come before the shared library's and win.
#ifndef _hidapi_standin_H_
#define _hidapi_standin_H_

#include "imx_sdp/SdpRom.h"

#include <vector>

namespace HidStandin {

// What the calls saw, for the test to check.
struct Record {
    int inits = 0;
    int exits = 0;
    int opens = 0;        // successful hid_open calls
    int closes = 0;
    unsigned short openedVid = 0, openedPid = 0;
    std::vector<std::vector<unsigned char>> writes;  // every hid_write, report id first
    std::vector<int> readTimeouts;                   // time-out of every hid_read_timeout
};

// Puts the ROM behind ids vid:pid (nullptr: no device at all). Resets the record.
void attach(SdpRom* rom, unsigned short vid, unsigned short pid);
// hid_write fails (-1) from the n-th call on (1 = the first); 0 never.
void failWritesFrom(int n);
const Record& record();

}

#endif
