// The download by chip fingerprint (Updater::Download_Firmware with a Fingerprint) against the
// update-server emulator: the server's serial number and build for the chip, a build named
// by the caller winning over the server's, and no download for a chip the server does not
// know.
#include <gtest/gtest.h>

#include <cstring>

#include "BirdBuilder.h"
#include "Updater.h"
#include "e2e_ops_support.h"
#include "update_server/UpdateServerEmulator.h"

using namespace opstest;

namespace {

class Lines : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, char const*) override {}
    void update_spinner(bool, char const*) override {}
    void info_message(char const*) override {}
    void error_message(char const* text) override { errors.push_back(text); }
    std::vector<std::string> errors;
};


TEST(FingerprintDownload, TheServerNamesModuleAndBuild)
{
    TempDir dir;
    UpdateServerEmulator server;
    ASSERT_TRUE(server.start());
    std::string a = dir.path + "/a.bird", b = dir.path + "/b.bird";
    ASSERT_TRUE(BirdBuilder().firmware(0, BirdBuilder::Random(256, 1)).writeTo(a));
    ASSERT_TRUE(BirdBuilder().firmware(0, BirdBuilder::Random(256, 2)).writeTo(b));
    server.setBuilds(kSerial, {{"1200", "1.1.0", a}, {"1300", "1.2.0", b}});
    const uint32_t words[4] = {1, 2, 3, 0xFFFFFFFF};
    server.setRecovery(words, kSerial, "1300");

    struct Case {
        const char* name;
        uint32_t word3;   // last fingerprint word (the server knows 0xFFFFFFFF)
        std::string build;
        unsigned int stored;
        const char* file;  // the image expected in the store, or null
    };
    const std::vector<Case> cases = {
        {"the server's build", 0xFFFFFFFF, "", 1300, "b.bird"},
        {"a build of the caller's", 0xFFFFFFFF, "1200", 1200, "a.bird"},
        {"build text that is no number", 0xFFFFFFFF, "abc", 1300, "b.bird"},
        {"a chip the server does not know", 7, "", 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir store;
        Lines display;
        Updater updater(server.url().c_str(), store.path.c_str(), display);
        Fingerprint fp;
        memcpy(fp.word, words, sizeof words);
        fp.word[3] = c.word3;
        server.clearQueries();
        EXPECT_EQ(updater.Download_Firmware(fp, c.build, false), c.stored);
        std::vector<std::string> q = server.queries();
        ASSERT_FALSE(q.empty());
        char fix[128];
        snprintf(fix, sizeof fix, "brief=true&fp=00000001%%2000000002%%2000000003%%20%08X&op=fix&",
                 c.word3);
        EXPECT_EQ(q[0], fix);
        std::string got;
        if (c.file) {
            EXPECT_TRUE(display.errors.empty()) << display.errors[0];
            std::string want;
            ASSERT_TRUE(ReadFile(dir.path + "/" + c.file, &want));
            ASSERT_TRUE(ReadFile(store.path + "/40F5849A/" + std::to_string(c.stored) + ".bird", &got));
            EXPECT_EQ(got, want);
        } else {
            EXPECT_EQ(q.size(), 1u) << "nothing is downloaded";
            EXPECT_EQ(display.errors,
                      (std::vector<std::string>{
                          "Failed to retrieve recovery information from Velmoran update server",
                          "  the server answered \"error unknown chip\""}));
            EXPECT_FALSE(Exists(store.path + "/40F5849A"));
        }
    }
}

}  // namespace
