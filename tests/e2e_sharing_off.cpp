// The updater turns link sharing off: a run of the real binary that connects to a USB module
// must never make a ZeroMQ context (no sharing server, client stream or beacon can exist
// without one). The binary runs under strace; ZeroMQ names its background threads "ZMQbg/..."
// as it makes a context, so their names in the trace show that one was made. A probe run of
// this program that does make a context shows that the trace would catch it.
#include "e2e_ops_support.h"

#include <czmq.h>

#include <chrono>
#include <memory>
#include <thread>

#include "NetNamespace.h"
#include "module_emu/EntityHost.h"
#include "module_emu/EntityModule.h"
#include "module_emu/ModuleCore.h"
#include "module_emu/UsbTransport.h"
#include "qcusb_driver.h"
#include "SkipOrFail.h"

using namespace opstest;
using module_emu::UsbDevice;
using module_emu::UsbTestbed;

namespace {

const char* const kStrace = "/usr/bin/strace";
const char* const kProbeVariable = "QC_ZMQ_CONTEXT_PROBE";

struct Traced {
    int status = -1;     // -1: did not exit by itself within the bound
    std::string out;     // the program's standard output and error
    std::string trace;   // the strace record of its thread names
};

// Runs program with words under strace (every thread followed, only prctl recorded), its
// output to a file, for at most limitMs.
Traced sRunTraced(const std::string& program, const std::vector<std::string>& words,
                  const std::string& dir, bool probe, int limitMs = 60000)
{
    Traced t;
    std::string tracePath = dir + "/trace", outPath = dir + "/out";
    std::vector<std::string> args = {kStrace, "-f", "-qq", "-e", "trace=prctl", "-o", tracePath,
                                     program};
    args.insert(args.end(), words.begin(), words.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    // Everything the child needs is made before fork: under umockdev-wrapper open() and close()
    // take a lock of its preload library that another thread may hold at the fork, and the
    // child could wait on it for ever. The child only dup2()s and execs.
    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    // The leak checker refuses to run under a tracer; the other options stay.
    const char* given = getenv("ASAN_OPTIONS");
    std::string options = given && *given ? std::string(given) + ":detect_leaks=0"
                                          : std::string("detect_leaks=0");
    std::vector<std::string> env = {"ASAN_OPTIONS=" + options};
    if (probe)
        env.push_back(std::string(kProbeVariable) + "=1");
    for (char** e = environ; *e; ++e)
        if (strncmp(*e, "ASAN_OPTIONS=", 13) != 0 &&
            (!probe || strncmp(*e, kProbeVariable, strlen(kProbeVariable)) != 0 ||
             (*e)[strlen(kProbeVariable)] != '='))
            env.push_back(*e);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);
    pid_t pid = in >= 0 && out >= 0 ? fork() : -1;
    if (pid == 0) {
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        execve(kStrace, argv.data(), envp.data());
        _exit(127);
    }
    if (in >= 0)
        close(in);
    if (out >= 0)
        close(out);
    if (pid < 0) {
        ADD_FAILURE() << "cannot start " << kStrace << " with " << outPath;
        return t;
    }
    int status = 0;
    bool exited = false;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!exited && std::chrono::steady_clock::now() < end) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            exited = true;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!exited) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    } else if (WIFEXITED(status)) {
        t.status = WEXITSTATUS(status);
    }
    ReadFile(outPath, &t.out);
    ReadFile(tracePath, &t.trace);
    return t;
}

bool sMadeZeroMQContext(const std::string& trace)
{
    return trace.find("\"ZMQbg/") != std::string::npos;
}

}  // namespace

// Only in the probe run: makes a ZeroMQ context as any sharing piece would.
TEST(SharingOff, ContextProbe)
{
    if (!getenv(kProbeVariable))
        GTEST_SKIP() << "run by SharingOff.UpdaterMakesNoZeroMQContext only";
    zsock_t* socket = zsock_new(ZMQ_DEALER);
    ASSERT_NE(socket, nullptr);
    zsock_destroy(&socket);
}

TEST(SharingOff, UpdaterMakesNoZeroMQContext)
{
    // A veth address gives the namespace a non-loopback interface, on which a server or a
    // search would use a beacon; every search of the run stays inside the namespace.
    qctest::NetNamespaceOptions net;
    net.veths = {{"qcoff0", "10.77.0.1/24"}};
    QC_REQUIRE_PRIVATE_NETWORK(net);
    if (access(kStrace, X_OK) != 0)
        QC_SKIP_OR_FAIL("no " << kStrace);
    if (!UsbTestbed::instance().ok())
        QC_SKIP_OR_FAIL(UsbTestbed::instance().error());

    TempDir scratch;
    char self[4096] = {0};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
    Traced control = sRunTraced(self, {"--gtest_filter=SharingOff.ContextProbe"},
                                scratch.path, true);
    ASSERT_EQ(control.status, 0) << control.out;
    ASSERT_TRUE(sMadeZeroMQContext(control.trace)) << "the trace cannot see a context:\n"
                                                   << control.trace;

    module_emu::UsbDeviceConfig c;
    c.vendorId = QCUSB_VENDOR_ID;
    c.productId = 0x0104;
    c.serial = "40F5849A";
    UsbDevice* dev = UsbTestbed::instance().addDevice(c);
    ASSERT_NE(dev, nullptr) << UsbTestbed::instance().error();
    module_emu::ModuleCore core(6);
    module_emu::ModuleNetwork network;
    module_emu::ModuleIdentity id;
    id.address = 6;
    id.serialNumber = 0x40F5849A;
    id.model = 4;
    network.add(id);
    module_emu::EntityHost host(core, network);
    core.attach(*dev);

    TempDir store;
    // The device table connects to every device found, over USB and TCP/IP.
    Traced run = sRunTraced(UpdaterPath(), {"-D", "-u", "http://127.0.0.1:9/cgi/u", "-i",
                                            store.path},
                            scratch.path, false);
    core.detach(*dev);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("    40F5849A  06       00      Dorvel"), std::string::npos)
        << "the device was not connected:\n" << run.out;
    EXPECT_FALSE(sMadeZeroMQContext(run.trace)) << run.trace;
}
