#include "imx_sdp/ImxSerialEmulator.h"

bool ImxSerialEmulator::start()
{
    return pty.start([this](uint8_t b, std::string& out, unsigned&) { core.serialByte(b, out); });
}
