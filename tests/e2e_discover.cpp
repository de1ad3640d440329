// -D on the real binary against emulated modules on TCP/IP, inside a private network namespace
// the test makes (the binary inherits it): the device table exactly, modules behind a routing
// module, and what a search leaves on the router.
#include "e2e_ops_support.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "DiscoveryFixture.h"
#include "TcpModules.h"
#include "aVersion.h"
#include "module_emu/EntityHost.h"
#include "module_emu/EntityModule.h"
#include "module_emu/ModuleCore.h"
#include "module_emu/TcpTransport.h"

using namespace opstest;
using module_emu::ModuleIdentity;
using module_emu::OptionValue;

namespace {

const uint8_t kCmdSystem = 3;
const uint8_t kOptVersion = 7, kOptModel = 8, kOptSerial = 9, kOptRoute = 20;

// The TCP modules, with the faults the device-table cases give them.
class TcpModules : public qctest::TcpModules {
public:
    using qctest::TcpModules::TcpModules;

    // An option of one module that answers every request with an error.
    void refuse(uint8_t address, uint8_t option, uint8_t code)
    {
        module_emu::EntityModule* m = network.find(address);
        ASSERT_NE(m, nullptr);
        OptionValue v = m->option(kCmdSystem, 0, option);
        v.errorCode = code;
        m->setOption(kCmdSystem, 0, option, v);
    }
    // The module's build-number reply one byte short ([0x49 0xFF B3 B2 B1]), or sent lateMs
    // late. A late one holds the module's later replies back behind it, as a module busy with
    // the query would, so they keep their order on the link.
    void faultBuildReply(uint8_t address, bool oneByteShort, int lateMs = 0)
    {
        module_emu::EntityModule* m = network.find(address);
        ASSERT_NE(m, nullptr);
        core.setHandler(address, [m, oneByteShort, lateMs](const module_emu::Packet& request) {
            module_emu::Packet in;
            in.address = request.address;
            in.data = request.data;
            std::vector<module_emu::Packet> out;
            for (module_emu::Packet& reply : m->handle(in)) {
                if (reply.data.size() == 6 && reply.data[0] == 0x49 && reply.data[1] == 0xFF) {
                    if (oneByteShort)
                        reply.data.pop_back();
                    std::this_thread::sleep_for(std::chrono::milliseconds(lateMs));
                }
                module_emu::Packet p;
                p.address = reply.address;
                p.data = reply.data;
                out.push_back(p);
            }
            return out;
        });
    }
};

ModuleIdentity sIdent(uint8_t address, uint32_t serial, uint8_t model, uint32_t version,
                      uint32_t build, uint8_t router = 0)
{
    ModuleIdentity id;
    id.address = address;
    id.serialNumber = serial;
    id.model = model;
    id.version = version;
    id.build = build;
    id.router = router;
    return id;
}

const std::string kIpHeader =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]\n";

// The table's rows after its header, sorted: the network search reports devices in the order
// their replies arrive.
std::string sSortedRows(const std::string& out, size_t afterHeader)
{
    std::vector<std::string> rows;
    std::istringstream in(out.substr(afterHeader));
    std::string line;
    while (std::getline(in, line))
        rows.push_back(line + "\n");
    std::sort(rows.begin(), rows.end());
    std::string text;
    for (const std::string& r : rows)
        text += r;
    return text;
}

Result sRun(const TempDir& store, std::vector<std::string> words)
{
    // The update server is never asked by -D: a closed port shows any request as a failure.
    words.insert(words.end(), {"-u", "http://127.0.0.1:9/cgi/u", "-i", store.path});
    return RunUpdater(words);
}

}  // namespace

// Every device found directly over TCP/IP, also one whose queries fail and one that refuses
// the connection: each listed with its address and what was read.
TEST(Discover, DirectTcpDevices)
{
    QC_REQUIRE_PRIVATE_NETWORK(qctest::NetNamespaceOptions());
    TcpModules a({sIdent(2, 0xAB000001, 4, aVersion_Pack(1, 2, 3), 1300)}, "127.0.0.10", 4);
    TcpModules b({sIdent(6, 0xAB000002, 5, aVersion_Pack(2, 20, 7), 4242, 0x10)}, "127.0.0.11", 5);
    TcpModules c({sIdent(6, 0xAB000003, 13, aVersion_Pack(1, 0, 1), 1500)}, "127.0.0.12", 13);
    c.refuse(6, kOptVersion, module_emu::kEmuErrPermission);
    TcpModules d({sIdent(8, 0xAB000004, 14, aVersion_Pack(1, 0, 1), 77)}, "127.0.0.13", 14,
                 module_emu::TcpMode::ClosedPort);
    TcpModules e({sIdent(10, 0xAB000005, 15, aVersion_Pack(1, 4, 0), 5555)}, "127.0.0.14", 15);
    e.faultBuildReply(10, true);
    for (TcpModules* m : {&a, &b, &c, &d, &e})
        ASSERT_TRUE(m->start());

    TempDir store;
    Result r = sRun(store, {"-D", "-t", "TCP"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::string head = kVersion + "Searching for Quillcore devices\n"
                                        "Discovered Devices: (TCPIP)\n" + kIpHeader;
    ASSERT_EQ(r.out.substr(0, head.size()), head);
    EXPECT_EQ(sSortedRows(r.out, head.size()),
              "    AB000001  02       00      Dorvel         1.2.3 (1300) [127.0.0.10]\n"
              "    AB000002  06       10      Kaltrin        2.20.7 (4242) [127.0.0.11]\n"
              // What could not be read stays as the search reported it (the reply's address
              // as module and router).
              "    AB000003  06       06      Pennock        0.0.0 (1500) [127.0.0.12]\n"
              "    AB000004  08       08      Gristel        0.0.0 (0) [127.0.0.13]\n"
              // A malformed build reply is build 0; the version is still read.
              "    AB000005  0A       00      Harlune        1.4.0 (0) [127.0.0.14]\n");
    // Every connection the search opened was closed again.
    for (TcpModules* m : {&a, &b, &c, &e})
        EXPECT_FALSE(m->tcp.connected());
}

TEST(Discover, NoDevices)
{
    QC_REQUIRE_PRIVATE_NETWORK(qctest::NetNamespaceOptions());
    struct Row {
        std::vector<std::string> words;
        std::string out;
    };
    const Row rows[] = {
        {{"-D", "-t", "TCP"}, "Searching for Quillcore devices\nDiscovered Devices: (TCPIP)\n"
                              "    No devices found.\n"},
        // -t RECOVER names no transport: the default USB search.
        {{"-D", "-t", "RECOVER"}, "Searching for Quillcore devices\nDiscovered Devices: (USB)\n"
                                  "    No devices found.\n"},
        // -D wins over -U and -B, which need no further checks then.
        {{"-D", "-U", "-B"}, "Searching for Quillcore devices\nDiscovered Devices: (USB)\n"
                             "    No devices found.\n"},
        // A router that is on neither transport: an empty table, no line.
        {{"-D", "-r", "0BADF00D"}, "Searching for Quillcore Network devices connected to 0BADF00D\n"
                                   "Discovered Devices: (Unknown)\n    No devices found.\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Join(row.words));
        TempDir store;
        Result r = sRun(store, row.words);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kVersion + row.out);
        EXPECT_EQ(r.err, "");
    }
}

// The module network behind a router: every even address from 2 to 252 but the router's own is
// probed; only modules that answer the probe, connect and give their serial number are listed;
// routing is off again afterwards.
TEST(Discover, ModulesBehindARouter)
{
    QC_REQUIRE_PRIVATE_NETWORK(qctest::NetNamespaceOptions());
    const uint32_t v = aVersion_Pack(1, 2, 3);
    TcpModules net({sIdent(2, 0xD272031D, 15, v, 900),
                    sIdent(4, 0xB0000004, 5, aVersion_Pack(2, 16, 1), 1004, 2),
                    sIdent(6, 0xB0000006, 5, v, 1006, 2),
                    sIdent(8, 0xB0000008, 5, v, 1008, 2),
                    sIdent(252, 0xB00000FC, 16, v, 1252, 2),
                    sIdent(254, 0xB00000FE, 16, v, 1254, 2)},
                   "127.0.0.20", 15);
    module_emu::EntityModule& router = *net.network.find(2);
    // The router's own address and 254 answer on the bus too, but must not be searched.
    for (uint8_t address : {2, 4, 6, 8, 252, 254})
        router.addI2CDevice(address, {0, 0, 0, 0});
    net.refuse(6, kOptSerial, module_emu::kEmuErrNotFound);
    net.refuse(8, kOptModel, module_emu::kEmuErrPermission);
    // The modules behind it answer only while the router routes to the host, so a search that
    // turned routing off too early, or never on, lists nobody.
    net.network.requireRouting(true);
    ASSERT_TRUE(net.start());

    const std::string rows =
        "    B0000004  04       02      Kaltrin        2.16.1 (1004) [127.0.0.20]\n"
        "    B0000008  08       02      Unknown        1.2.3 (1008) [127.0.0.20]\n"
        "    B00000FC  FC       02      Fenwray        1.2.3 (1252) [127.0.0.20]\n";
    struct Row {
        std::vector<std::string> words;
        const char* title;
        std::string log;    // a piece of the diagnostic log; empty: none at all
    };
    const Row runs[] = {
        {{"-D", "-r", "D272031D", "-t", "TCP"}, "TCPIP", ""},
        // Without -t the router's transport is looked for (USB, then TCP/IP).
        {{"-D", "-r", "D272031D"}, "Unknown", ""},
        // The router's line has no line end of its own.
        {{"-D", "-r", "D272031D", "-t", "TCP", "-X", "1"}, "TCPIP",
         "Found Link ModuleSearching Address 0x04\nAttempt Connect on address: 0x04\n"
         "Got Serial [0xB0000004]\nSearching Address 0x06\n"},
    };
    int routeSets = router.option(kCmdSystem, 0, kOptRoute).calls;
    for (const Row& run : runs) {
        SCOPED_TRACE(Join(run.words));
        TempDir store;
        Result r = sRun(store, run.words);
        EXPECT_EQ(r.status, 0);
        if (run.log.empty())
            EXPECT_EQ(r.err, "");
        else
            EXPECT_NE(r.err.find(run.log), std::string::npos) << r.err;
        EXPECT_EQ(r.out, kVersion
                             + "Searching for Quillcore Network devices connected to D272031D\n"
                               "Discovered Devices: (" + run.title + ")\n" + kIpHeader + rows);
        EXPECT_EQ(router.routeToMe(), 0) << "routing left on";
        EXPECT_EQ(router.option(kCmdSystem, 0, kOptRoute).calls, routeSets + 2)
            << "routing turned on once and off once";
        routeSets = router.option(kCmdSystem, 0, kOptRoute).calls;
        EXPECT_EQ(router.lastI2CSpeed(), 3);
        EXPECT_FALSE(net.tcp.connected());
    }
}

// Behind a router one link carries every module's replies. A build-number reply that comes
// after its query gave up must not be taken for the next module's build.
TEST(Discover, LateBuildReplyBehindARouter)
{
    QC_REQUIRE_PRIVATE_NETWORK(qctest::NetNamespaceOptions());
    const uint32_t v = aVersion_Pack(1, 2, 3);
    TcpModules net({sIdent(2, 0xD272031D, 15, v, 900), sIdent(4, 0xB0000004, 5, v, 1004, 2),
                    sIdent(6, 0xB0000006, 5, v, 1006, 2)},
                   "127.0.0.22", 15);
    for (uint8_t address : {4, 6})
        net.network.find(2)->addI2CDevice(address, {0, 0, 0, 0});
    // Past the query's 1000 ms wait; the module's version replies follow it.
    net.faultBuildReply(4, false, 1200);
    ASSERT_TRUE(net.start());
    TempDir store;
    Result r = sRun(store, {"-D", "-r", "D272031D", "-t", "TCP"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              kVersion +
                  "Searching for Quillcore Network devices connected to D272031D\n"
                  "Discovered Devices: (TCPIP)\n" +
                  kIpHeader +
                  "    B0000004  04       02      Kaltrin        1.2.3 (0) [127.0.0.22]\n"
                  "    B0000006  06       02      Kaltrin        1.2.3 (1006) [127.0.0.22]\n");
}

// A router that refuses to route: the error line and an empty table.
TEST(Discover, RouterRefusesRouting)
{
    QC_REQUIRE_PRIVATE_NETWORK(qctest::NetNamespaceOptions());
    TcpModules net({sIdent(2, 0xD272031D, 15, aVersion_Pack(1, 2, 3), 900),
                    sIdent(4, 0xB0000004, 5, aVersion_Pack(1, 2, 3), 1004, 2)},
                   "127.0.0.21", 15);
    net.network.find(2)->addI2CDevice(4, {0});
    net.refuse(2, kOptRoute, module_emu::kEmuErrPermission);
    ASSERT_TRUE(net.start());
    TempDir store;
    Result r = sRun(store, {"-D", "-r", "D272031D", "-t", "TCP"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kVersion + "Searching for Quillcore Network devices connected to D272031D\n"
                                "Discovered Devices: (TCPIP)\n    No devices found.\n");
    EXPECT_EQ(r.err, "Error " + std::to_string(int(module_emu::kEmuErrPermission))
                         + " on route to me\n");
    // No module behind it was asked anything.
    EXPECT_TRUE(net.network.find(4)->requests().empty());
}
