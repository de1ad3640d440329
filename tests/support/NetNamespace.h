// Puts the test process into a private network namespace of its own, so network tests never
// touch the machine's interfaces. Call it before any thread starts (namespaces are per thread
// and threads made later inherit the caller's).
#ifndef QC_TEST_NET_NAMESPACE_H
#define QC_TEST_NET_NAMESPACE_H

#include <string>
#include <vector>

#include "SkipOrFail.h"

namespace qctest {

struct NetNamespaceOptions {
    // Extra addresses on lo besides 127.0.0.1 (a search sends through every one of them).
    std::vector<std::string> loopbackAddresses = {"127.0.0.2"};
    // Multicast on lo with a route for 224.0.0.0/4, so group traffic stays inside.
    bool multicast = true;
    // "name address/prefix" pairs: each a veth pair (name and name + "p") with the address on
    // the first end; the addresses exist only inside the namespace.
    std::vector<std::pair<std::string, std::string>> veths;
};

// True when the process now runs in a fresh namespace set up as asked; false with the reason.
bool enterPrivateNetwork(const NetNamespaceOptions& options, std::string* why);

} // namespace qctest

// In a test body: enter the namespace or skip the test with the reason.
#define QC_REQUIRE_PRIVATE_NETWORK(options)                                              \
    do {                                                                                 \
        std::string qcWhy_;                                                              \
        if (!qctest::enterPrivateNetwork((options), &qcWhy_))                            \
            QC_SKIP_OR_FAIL("no private network namespace: " << qcWhy_);                 \
    } while (0)

#endif
