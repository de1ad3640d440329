#include "pty/PseudoTerminal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

bool PseudoTerminal::failed(const char* step, std::string* why)
{
    int e = errno;
    if (why)
        *why = std::string(step) + ": " + strerror(e);
    close();
    errno = e;
    return false;
}

bool PseudoTerminal::open(std::string* why)
{
    close();
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        return failed("posix_openpt", why);
    char name[128];
    int e = ptsname_r(master_, name, sizeof name);
    if (e != 0) {
        errno = e;
        return failed("ptsname", why);
    }
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0)
        return failed("open slave", why);
    path_ = name;
    struct termios t;
    if (tcgetattr(slave_, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
    }
    return true;
}

void PseudoTerminal::close()
{
    for (int* fd : {&slave_, &master_}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

bool PseudoTerminal::setLine(cc_t vmin, cc_t vtime, speed_t speed)
{
    struct termios t;
    if (slave_ < 0 || tcgetattr(slave_, &t) != 0)
        return false;
    t.c_cc[VMIN] = vmin;
    t.c_cc[VTIME] = vtime;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    return tcsetattr(slave_, TCSANOW, &t) == 0;
}
