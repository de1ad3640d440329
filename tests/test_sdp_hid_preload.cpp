// The hidapi stand-in preloaded into a program that uses the real hidapi library, as an
// end-to-end test of the updater would run it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

namespace {

// crc32 of the client's pattern, byte i = i * 7.
std::string sPatternCrc(size_t n)
{
    std::string bytes;
    for (size_t i = 0; i < n; ++i)
        bytes.push_back(char(i * 7));
    char hex[16];
    snprintf(hex, sizeof hex, "%08lX", crc32(0, (const Bytef*)bytes.data(), uInt(n)));
    return hex;
}

struct ClientRun {
    int exitCode;
    std::string report;
};

ClientRun sRun(const std::string& env, const std::string& args)
{
    char dir[] = "/tmp/qc_hid_XXXXXX";
    if (!mkdtemp(dir))
        return ClientRun{-1, ""};
    std::string report = std::string(dir) + "/report";
    std::string marker = std::string(dir) + "/jumped";
    std::string cmd = "env LD_PRELOAD=" QC_HID_PRELOAD_LIB " QC_HID_REPORT=" + report +
                      " QC_HID_ON_JUMP='touch " + marker + "' " + env + " " QC_HID_CLIENT " " + args;
    int status = system(cmd.c_str());
    ClientRun run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream in(report);
    std::stringstream text;
    text << in.rdbuf();
    run.report = text.str();
    if (access(marker.c_str(), F_OK) == 0)
        run.report += "on_jump_ran\n";
    unlink(report.c_str());
    unlink(marker.c_str());
    rmdir(dir);
    return run;
}

TEST(SdpHidPreload, LoaderThroughTheRealProgramPath)
{
    ClientRun r = sRun("", "0x20000400 2500 0x20000404");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.report, "cmd=ERROR_STATUS\n"
                        "cmd=WRITE_FILE 0x20000400 2500\n"
                        "cmd=JUMP_ADDRESS 0x20000404\n"
                        "write=0x20000400 2500 " + sPatternCrc(2500) + " complete\n"
                        "jumps=1\n"
                        "on_jump_ran\n");
}

TEST(SdpHidPreload, Failures)
{
    struct Case {
        const char* env;
        int exitCode;
    };
    const Case cases[] = {{"QC_HID_ABSENT=1", 6}, {"QC_HID_SILENT=1", 2}, {"QC_HID_STATUS=12345678", 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.env);
        ClientRun r = sRun(c.env, "0x20000400 100 0x20000400");
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(r.report.find("on_jump_ran"), std::string::npos);
    }
}

}
