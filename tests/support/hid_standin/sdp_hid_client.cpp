// sdp_hid_client ADDRESS SIZE START: writes SIZE pattern bytes (byte i = i * 7 mod 256) to
// ADDRESS through the HID transport, jumps to START and exits with the engine's code. A test
// runs it with the hidapi stand-in preloaded, the way the updater itself would run.
#include "HID_SDPLoader.h"
#include "SDPLoader.h"

#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 4)
        return 100;
    unsigned address = unsigned(strtoul(argv[1], nullptr, 0));
    size_t size = size_t(strtoul(argv[2], nullptr, 0));
    unsigned start = unsigned(strtoul(argv[3], nullptr, 0));
    std::vector<unsigned char> file(size);
    for (size_t i = 0; i < size; ++i)
        file[i] = (unsigned char)(i * 7);
    SDPLoader sdp;
    sdp.setLoader(new HID_SDPLoader(0x1FC9, 0x0130));
    unsigned char r = sdp.init();
    if (r == 0)
        r = sdp.writeLoader(file, address);
    if (r == 0)
        sdp.startLoader(start);
    return r;
}
