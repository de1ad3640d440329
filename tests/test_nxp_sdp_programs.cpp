// The standalone boot ROM emulators (build/tools/lpc_isp, build/tools/imx_sdp) as end-to-end
// tests run them: started as programs, driven over their pty by the clients, stopped with
// SIGTERM, then judged by the files they write.
#include "NXPSerial.h"
#include "SDPLoader.h"
#include "ScratchDir.h"
#include "Serial_SDPLoader_unix.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace {

// A running emulator program; its pty path from the "PTY <path>" line it prints. With
// errFile, its standard error goes there.
class Program {
public:
    explicit Program(std::vector<std::string> args, const std::string& errFile = "")
    {
        int out[2];
        if (pipe(out) != 0)
            return;
        int err = errFile.empty() ? -1 : open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            if (err >= 0)
                dup2(err, 2);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        if (err >= 0)
            close(err);
        FILE* f = fdopen(out[0], "r");
        char line[512] = {0};
        if (f && fgets(line, sizeof line, f) && strncmp(line, "PTY ", 4) == 0) {
            path = line + 4;
            path.erase(path.find_last_not_of("\n") + 1);
        }
        if (f)
            fclose(f);
    }
    // SIGTERM; the exit status.
    int stop()
    {
        if (pid <= 0)
            return -1;
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ~Program() { stop(); }
    std::string path;

private:
    pid_t pid = -1;
};

std::string sRead(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class EmulatorPrograms : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir.empty()); }
    ScratchDir scratch{"qc_rom"};
    const std::string dir = scratch.path;
};

TEST_F(EmulatorPrograms, LpcIspProgramRecordsTheJob)
{
    Program emu({QC_BINARY_DIR "/tools/lpc_isp", "--link", dir + "/link", "--report", dir + "/report", "--flash-out",
                 dir + "/flash", "--counts-out", dir + "/counts", "--device-id", "1,2,3,4", "--force", "C:10:1:1"});
    ASSERT_FALSE(emu.path.empty());
    std::vector<unsigned char> data(256);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = (unsigned char)i;
    {
        NXPSerialClass nxp;
        ASSERT_EQ(nxp.Connect((dir + "/link").c_str(), 115200), aErrNone);
        ASSERT_EQ(nxp.Sync(), aErrNone);
        ASSERT_EQ(nxp.GetDeviceID(), aErrNone);
        EXPECT_EQ(nxp.deviceId[3], 4u);
    }
    {
        // A second host finds the chip as the first left it.
        NXPSerialClass nxp;
        ASSERT_EQ(nxp.Connect(emu.path.c_str(), 115200), aErrNone);
        ASSERT_EQ(nxp.Unlock(), aErrNone);
        ASSERT_EQ(nxp.Prepare(0, 0), aErrNone);
        ASSERT_EQ(nxp.Erase(0, 0), aErrNone);
        ASSERT_EQ(nxp.SetEcho(false), aErrNone);
        ASSERT_EQ(nxp.Write(NXPSerialClass::WRITE_ADDRESS, 256, data.data()), aErrNone);
        ASSERT_EQ(nxp.Prepare(0, 0), aErrNone);
        ASSERT_EQ(nxp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 256), aErrNone);
        ASSERT_EQ(nxp.Prepare(0, 0), aErrNone);
        EXPECT_EQ(nxp.CopyToFlash(0x100, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam);  // forced 10
    }
    ASSERT_EQ(emu.stop(), 0);
    std::string report = sRead(dir + "/report");
    for (const char* want : {"synchronised=1\n", "unlocked=1\n", "erases=1\n", "double_programmed=0\n",
                             "data_lines=6\n", "checksums=1\n",
                             "line=?\nline=Synchronized\nline=14746\nline=N\nline=U 23130\nline=P 0 0\nline=E 0 0\n"
                             "line=A 0\nline=W 268439552 256\nline=P 0 0\nline=C 0 268439552 256\nline=P 0 0\n"
                             "line=C 256 268439552 256\n"})
        EXPECT_NE(report.find(want), std::string::npos) << want << "\nin\n" << report;
    std::string flash = sRead(dir + "/flash");
    ASSERT_EQ(flash.size(), 0x80000u);
    EXPECT_EQ(flash.substr(0, 256), std::string(data.begin(), data.end()));
    EXPECT_EQ(flash.substr(256, 0x1000 - 256), std::string(0x1000 - 256, '\xFF'));
    std::string counts = sRead(dir + "/counts");
    ASSERT_EQ(counts.size(), 0x80000u);
    EXPECT_EQ(counts.substr(0, 256), std::string(256, '\x01'));
    EXPECT_EQ(counts[256], 0);
}

TEST_F(EmulatorPrograms, ImxSdpProgramRecordsTheLoader)
{
    Program emu({QC_BINARY_DIR "/tools/imx_sdp", "--throttle", "11520", "--report", dir + "/report", "--on-jump",
                 "touch " + dir + "/jumped"});
    ASSERT_FALSE(emu.path.empty());
    {
        SDPLoader sdp;
        ASSERT_TRUE(sdp.setLoader(new Serial_SDPLoader(emu.path.c_str(), 0)));
        ASSERT_EQ(sdp.init(), 0);
        std::vector<unsigned char> file(2500, 0x11);
        ASSERT_EQ(sdp.writeLoader(file, 0x20000400), 0);
        EXPECT_EQ(sdp.startLoader(0x20000400), 0);
    }
    ASSERT_EQ(emu.stop(), 0);
    EXPECT_EQ(sRead(dir + "/report"), "cmd=ERROR_STATUS\ncmd=WRITE_FILE 0x20000400 2500\ncmd=JUMP_ADDRESS 0x20000400\n"
                                      "write=0x20000400 2500 " +
                                          [] {
                                              char hex[16];
                                              std::vector<unsigned char> f(2500, 0x11);
                                              snprintf(hex, sizeof hex, "%08lX", crc32(0, f.data(), 2500));
                                              return std::string(hex);
                                          }() +
                                          " complete\njumps=1\ndropped=0\n");
    EXPECT_EQ(access((dir + "/jumped").c_str(), F_OK), 0);
}

// A number option whose value is no number ends the program before it starts, naming the
// option, rather than running a chip other than the one asked for.
TEST_F(EmulatorPrograms, ANumberOptionThatIsNoNumberIsRefused)
{
    struct Case {
        const char* program;
        const char* option;
        const char* value;
    };
    const Case cases[] = {
        {"lpc_isp", "--erase-ms", "2s"},   {"lpc_isp", "--resend", "first"},
        {"lpc_isp", "--resend", "-1"},     {"lpc_isp", "--throttle", "fast"},
        {"lpc_isp", "--erase-ms", ""},     {"lpc_isp", "--erase-ms", "4294967296"},
        {"imx_sdp", "--bad-status", "x1"}, {"imx_sdp", "--throttle", "115200 baud"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.program) + " " + c.option + " '" + c.value + "'");
        Program emu({std::string(QC_BINARY_DIR "/tools/") + c.program, c.option, c.value},
                    dir + "/stderr");
        EXPECT_TRUE(emu.path.empty()) << "the emulator started";
        EXPECT_EQ(emu.stop(), 2);
        EXPECT_EQ(sRead(dir + "/stderr"), std::string(c.program) + ": " + c.option +
                                              " needs a number, not " + c.value + "\n");
    }
    // Numbers as the options take them still start the emulator.
    Program ok(
        {QC_BINARY_DIR "/tools/imx_sdp", "--bad-status", "0x12345678", "--throttle", "11520"});
    EXPECT_FALSE(ok.path.empty());
    EXPECT_EQ(ok.stop(), 0);
}

// An output file that cannot be written ends the program with status 1 and a line on standard
// error naming it; the other files are still written.
TEST_F(EmulatorPrograms, AnOutputFileThatCannotBeWrittenIsNamed)
{
    const std::string missing = dir + "/missing/file";
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::string> written;
    };
    const Case cases[] = {
        {"lpc_isp report",
         {QC_BINARY_DIR "/tools/lpc_isp", "--report", missing, "--flash-out", dir + "/flash",
          "--counts-out", dir + "/counts"},
         {dir + "/flash", dir + "/counts"}},
        {"lpc_isp flash",
         {QC_BINARY_DIR "/tools/lpc_isp", "--report", dir + "/report", "--flash-out", missing,
          "--counts-out", dir + "/counts"},
         {dir + "/report", dir + "/counts"}},
        {"lpc_isp counts", {QC_BINARY_DIR "/tools/lpc_isp", "--counts-out", missing}, {}},
        {"imx_sdp report", {QC_BINARY_DIR "/tools/imx_sdp", "--report", missing}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const char* f : {"/report", "/flash", "/counts"})
            unlink((dir + f).c_str());
        Program emu(c.args, dir + "/stderr");
        ASSERT_FALSE(emu.path.empty());
        EXPECT_EQ(emu.stop(), 1);
        std::string err = sRead(dir + "/stderr");
        EXPECT_NE(err.find("cannot write " + missing), std::string::npos) << err;
        for (const std::string& f : c.written)
            EXPECT_EQ(access(f.c_str(), F_OK), 0) << f << " was not written";
    }
}
}
