#include "lpc_isp/LpcIspEmulator.h"

bool LpcIspEmulator::start()
{
    return pty.start([this](uint8_t b, std::string& out, unsigned& delayMs) { core.byte(b, out, delayMs); });
}
