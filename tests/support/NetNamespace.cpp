#include "NetNamespace.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sched.h>

namespace qctest {

static bool sRun(const std::string& command, std::string* why)
{
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    if (status != 0) {
        *why = "'" + command + "' failed";
        return false;
    }
    return true;
}

bool enterPrivateNetwork(const NetNamespaceOptions& options, std::string* why)
{
    if (unshare(CLONE_NEWNET) != 0) {
        *why = std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
        return false;
    }
    if (!sRun("ip link set lo up", why))
        return false;
    for (const std::string& address : options.loopbackAddresses)
        if (!sRun("ip addr add " + address + "/8 dev lo", why))
            return false;
    if (options.multicast
        && (!sRun("ip link set lo multicast on", why)
            || !sRun("ip route add 224.0.0.0/4 dev lo", why)))
        return false;
    for (const auto& veth : options.veths)
        if (!sRun("ip link add " + veth.first + " type veth peer name " + veth.first + "p", why)
            || !sRun("ip addr add " + veth.second + " dev " + veth.first, why)
            || !sRun("ip link set " + veth.first + " up", why)
            || !sRun("ip link set " + veth.first + "p up", why))
            return false;
    return true;
}

} // namespace qctest
