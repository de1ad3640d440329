// The updater binary from outside: each command line of a table runs with a fresh store
// directory, standard output and error on pipes (no terminal), and its output and exit status
// are compared exactly.
#include <gtest/gtest.h>

#include "ChildPipes.h"
#include "ScratchDir.h"
#include "aError.h"
#include "SkipOrFail.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kUpdater = QC_BINARY_DIR "/Updater/updater";

const std::string kVersion = "Updater (Version: 2.10.8 Sep 13 2024)\n";

const std::string kShortUsage = R"(
Application Usage:
Updater <-B | -D | -G | -U > [-Hh | --help] [-b build_num]
    [-d serial_num]
    [-t transport] [-r router_serial]
    [-s serial_port] [-o baud_rate]

  Quillcore Update and Maintenance Application
    -H -h or --help for full usage information.

)";

// The first -i line ends in a blank after "storage of".
const std::string kParameters = "  Parameters to commands:\n"
"     -i <velmoran_directory>  - The Velmoran directory used for storage of \n"
R"(                                firmware files. [Default: ~/.velmoran ].
     -b <build number>        - Build version of the firmware to transfer.
                                [Default: latest version available].
     -d <device>              - Device serial number of the device to access.
     -t <transport type>      - communications method [USB,TCP,RECOVER].
     -f <bird file>           - Firmware file to be transferred to device.
     -r <router serial>       - indirect connection through router device
     -s <serial port>         - name of serial port to use for recovery
     -o <baud rate>           - baud rate for serial port (2400, 4800, 9600,
                                19200, 38400, 57600, 115200, 230400)
  Commands:
     -B                       - list the Builds available for given device.

     -L                       - list the local Builds available for given device.

     -D                       - Discover devices that are currently connected.

     -G                       - Get build file from the Velmoran server and
                                store on local machine for download to device.
                                Must specify a specific device ["-d" option].
                                Default is to obtain the latest build for the
                                given device, override with "-b" option.

     -U                       - Update the firmware on device specified.
                                Must specify a specific device ["-d" option].
                                Default is to download the latest build for the
                                given device, override with "-b" option or
                                specify specific BIRD file using "-f" option.
     -H or -h                 - Display extended usage information.

)";

const std::string kExtended = R"(  Extended Parameters:
     -e                       - echoing of bytes enabled during recovery.

     -l 'log message'         - message to place in device history log
     -k <filename>            - log messages written into given filename
                                Default:[APP.log]
     -u <host:port>           - The hostname and port of the update server
                                Default: http://update.velmoran.example/cgi/u
  Extended Commands:
     -I                       - View stored device information.
                                Must either use DISCOVER command ["-D"] or
                                specify a specific device ["-d" option].

     -OVERRIDE                - Override the model checks for BIRD firmware files.
                                This option should only be used when authorized by
                                Velmoran development engineers.

     -N                       - Get fingerprint from a device, requires -s

     -X <BIT_MASK>            - Bitmask for Logging
                                DEBUG_Updater       0x00000001
                                DEBUG_History       0x00000002
                                DEBUG_Attributes    0x00000004
                                DEBUG_BirdFile      0x00000008
                                DEBUG_Network       0x00000010
                                DEBUG_ServerComm    0x00000020

                                DEBUG_Network       0x00000100
                                DEBUG_Network_SR    0x00000200
                                DEBUG_Network_FIRM  0x00000400

                                DEBUG_NXPSerial     0x00001000
                                DEBUG_NXPSerial_E   0x00002000
                                DEBUG_NXPSerial_SR  0x00004000

                                DEBUG_APP           0x00010000

                                DEBUG_iMXSerial     0x10000000

     -C                       - Check the given BIRDFILE

)";

const std::string kSamples = R"( Sample usage:

-D                             Discover all devices connected by either USB or TCPIP.
                               Records the device information into the settings for that device.

-D -t USB                      Discover all the devices connected by USB. Records the
                               device information into the settings for that device.

-D -t USB -d 0F5849A           Discover settings of the specific device (serial number 0x40F5849A)

-G -d 40F5849A                 Get the latest firmware for the given device.
                               Downloads the firmware file into the updater specific device directory.

-U -d 40F5849A                 Update the firmware on the specific device.
                               Without other options, this command will try to locate
                               the latest firmware version to be used for updating the device.

-G -d 40F5849A -b 99528558     Get the specified build's firmware for the given device.
                               Downloads the firmware file into the updater's specific
                               device directory with the build number as the filename.

-G -U -d 40F5849A              Get the latest firmware for the given device.
                               Downloads the firmware file into the updater specific
                               device directory. After download, update the firmware
                               using the latest release.

-U -t RECOVER -s /dev/serial   Update the firmware as described above, but uses the serial interface
                               in communicating with the device to install the latest firmware.

 Sample usage for network discovery and updates:

-D -r D272031D                 Discover all devices connected to the I2C Quillcore network
                               of the given routing device D272031D.

-G -U -d 2181F0EE -r D272031D
                               Get and Update to the latest firmware for device 2181F0EE
                               indirectly through routing device D272031D.

)";

const std::string kFullUsage = kShortUsage + kParameters + kSamples;
const std::string kExtendedUsage = kShortUsage + kParameters + kExtended + kSamples;

using Result = ChildResult;

struct RunOptions {
    const char* argv0 = kUpdater;
    bool merged = false;          // standard error into the same pipe as standard output
    const char* home = nullptr;   // HOME for the child; unset when null
    uid_t uid = 0;                // run as this user when not 0
    bool closedOut = false;       // standard output a pipe whose reader has gone
};

// Runs the updater with words, for at most 20 s. Modes are checked exactly: no umask.
Result sRun(const std::vector<std::string>& words, const RunOptions& options = RunOptions())
{
    std::vector<std::string> argv;
    if (options.argv0)
        argv.push_back(options.argv0);
    argv.insert(argv.end(), words.begin(), words.end());
    ChildSetup setup;
    setup.merged = options.merged;
    setup.replaceHome = true;
    setup.home = options.home;
    setup.noUmask = true;
    setup.uid = options.uid;
    setup.closedOut = options.closedOut;
    return RunProgram(kUpdater, argv, 20000, setup);
}

// A fresh directory per case, open to the user a case runs the updater as.
struct TempDir : ScratchDir {
    TempDir() : ScratchDir("e2e_cli", 0755) {}
};

bool sIsDirectory(const std::string& path, mode_t* mode = nullptr)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    if (mode)
        *mode = st.st_mode & 07777;
    return true;
}

bool sIsEmptyDirectory(const std::string& path)
{
    std::error_code ec;
    return std::filesystem::is_empty(path, ec) && !ec;
}

std::string sReplace(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string sJoin(const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& w : words)
        text += (text.empty() ? "" : " ") + w;
    return text;
}

struct Case {
    std::vector<std::string> words;  // "@" stands for the case's fresh store root
    std::string out;
    std::string err;                 // "@" as in words
    int status;
    bool storeMade;                  // @/updater exists afterwards (else @ stays empty)
};

void sRunCases(const std::vector<Case>& cases, const RunOptions& options = RunOptions())
{
    for (const Case& c : cases) {
        TempDir store;
        ASSERT_FALSE(store.path.empty());
        std::vector<std::string> words;
        for (const std::string& w : c.words)
            words.push_back(sReplace(w, "@", store.path));
        SCOPED_TRACE(sJoin(words));
        Result r = sRun(words, options);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, sReplace(c.err, "@", store.path));
        if (c.storeMade) {
            mode_t mode = 0;
            EXPECT_TRUE(sIsDirectory(store.path + "/updater", &mode));
            EXPECT_EQ(mode, 0755u);
        } else {
            EXPECT_TRUE(sIsEmptyDirectory(store.path));
        }
    }
}

}  // namespace

TEST(Cli, UsageVariants)
{
    sRunCases({
        {{}, kVersion, kShortUsage, 0, false},
        {{"-i", "@"}, kVersion, kShortUsage, 0, false},
        {{"-d", "40F5849A", "-i", "@"}, kVersion, kShortUsage, 0, false},
        {{"-h", "-i", "@"}, kVersion, kFullUsage, 0, false},
        {{"-H"}, kVersion, kFullUsage, 0, false},
        {{"--help"}, kVersion, kFullUsage, 0, false},
        {{"--he"}, kVersion, kFullUsage, 0, false},
        // Help wins over commands and ends the parse.
        {{"-D", "-U", "-i", "@", "-h"}, kVersion, kFullUsage, 0, false},
        {{"-X", "1", "-h"}, kVersion, kExtendedUsage, 0, false},
        {{"-h", "-X", "1"}, kVersion, kFullUsage, 0, false},
        {{"-X", "0x2g", "-h"}, kVersion,
         "Invalid format for \"-X\" parameter, unprocessed characters [g]\n" + kExtendedUsage, 0,
         false},
        // Unusable words are skipped silently: no command is left.
        {{"--help=x"}, kVersion, kShortUsage, 0, false},
        {{"-h=1"}, kVersion, kShortUsage, 0, false},
        {{"-help", "-DU", "-Z", "-d", "x", "-i", "@"}, kVersion,
         "Invalid serial number obtained from argument [x]\n" + kShortUsage, 1, false},
        {{"-DU", "-d40F5849A", "-ov", "-OVERRIDEX", "40F5849A", "-", "--", "-i", "@"}, kVersion,
         kShortUsage, 0, false},
        {{"-OVERRIDE", "-n", "-e", "yes", "-b", "007", "-o", "fast", "-i", "@"}, kVersion,
         kShortUsage, 0, false},
    });
}

TEST(Cli, ParseErrors)
{
    sRunCases({
        {{"-d", "xyz", "-D", "-i", "@"}, kVersion,
         "Invalid serial number obtained from argument [xyz]\n" + kShortUsage, 1, false},
        {{"-d", "0x", "-I", "-i", "@"}, kVersion,
         "Invalid serial number obtained from argument []\n" + kShortUsage, 1, false},
        {{"-d", "12345678Z", "-I", "-i", "@"}, kVersion,
         "Invalid serial number obtained from argument [12345678Z]\n" + kShortUsage, 1, false},
        {{"-d", "0", "-I", "-i", "@"}, kVersion,
         "Invalid serial number obtained from argument [0]\n" + kShortUsage, 1, false},
        {{"-r", "0xZZ", "-D", "-i", "@"}, kVersion,
         "Invalid router serial number obtained from argument [ZZ]\n" + kShortUsage, 1, false},
        {{"-t", "usb", "-D", "-i", "@"}, kVersion,
         "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER\n"
             + kShortUsage,
         1, false},
        {{"-Y", "-i", "@"}, kVersion, "Unhandled command: [-Y]\n" + kShortUsage, 1, false},
        // Values that, cut down or read up to their first non-digit, would name another
        // device or build: refused before anything runs.
        {{"-U", "-d", "140F5849A", "-i", "@"}, kVersion,
         "Invalid serial number obtained from argument [140F5849A]\n" + kShortUsage, 1, false},
        {{"-D", "-r", "0x1D272031D", "-i", "@"}, kVersion,
         "Invalid router serial number obtained from argument [1D272031D]\n" + kShortUsage, 1,
         false},
        {{"-G", "-d", "40F5849A", "-b", "4294967296", "-i", "@"}, kVersion,
         "Invalid build number obtained from argument [4294967296]\n" + kShortUsage, 1, false},
        {{"-G", "-d", "40F5849A", "-b", "4294968496", "-i", "@"}, kVersion,
         "Invalid build number obtained from argument [4294968496]\n" + kShortUsage, 1, false},
        {{"-G", "-d", "40F5849A", "-b", "abc", "-i", "@"}, kVersion,
         "Invalid build number obtained from argument [abc]\n" + kShortUsage, 1, false},
        {{"-U", "-d", "40F5849A", "-b", "12x", "-i", "@"}, kVersion,
         "Invalid build number obtained from argument [12x]\n" + kShortUsage, 1, false},
        // The server is asked over http or https only.
        {{"-B", "-d", "40F5849A", "-u", "file:///etc/passwd", "-i", "@"}, kVersion,
         "Invalid server URL obtained from argument [file:///etc/passwd]: only http and https "
         "are allowed\n" + kShortUsage,
         1, false},
        {{"-G", "-d", "40F5849A", "-u", "ftp://127.0.0.1/cgi/u", "-i", "@"}, kVersion,
         "Invalid server URL obtained from argument [ftp://127.0.0.1/cgi/u]: only http and https "
         "are allowed\n" + kShortUsage,
         1, false},
        // Parsing goes on to the last word: every error line, in order.
        {{"-d", "xyz", "-r", "0x", "-t", "foo", "-Y", "-X", "5q", "-I", "-i", "@"}, kVersion,
         "Invalid serial number obtained from argument [xyz]\n"
         "Invalid router serial number obtained from argument []\n"
         "Invalid transport type:[foo]\nMust be one of the following: USB, TCPIP, RECOVER\n"
         "Unhandled command: [-Y]\n"
         "Invalid format for \"-X\" parameter, unprocessed characters [q]\n"
             + kShortUsage,
         1, false},
        // A bad -X alone does not fail the parse.
        {{"-X", "5q", "-I", "-i", "@"}, kVersion,
         "Invalid format for \"-X\" parameter, unprocessed characters [q]\n", 0, true},
        // Help after a failed value: usage, success.
        {{"-d", "xyz", "-h"}, kVersion,
         "Invalid serial number obtained from argument [xyz]\n" + kFullUsage, 0, false},
    });
}

TEST(Cli, StoreDirectoryAndRecordedCommands)
{
    sRunCases({
        {{"-I", "-i", "@"}, kVersion, "", 0, true},
        {{"-C", "-i", "@"}, kVersion, "", 0, true},
        {{"-Z", "x", "-i", "@"}, kVersion, "", 0, true},
        {{"-i=@", "-C", "-d", "0x40F5849A", "-t", "TCPIP"}, kVersion, "", 0, true},
    });

    // Missing ancestors are made too, each with mode 0755.
    {
        TempDir store;
        Result r = sRun({"-I", "-i", store.path + "/a/b/c"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kVersion);
        EXPECT_EQ(r.err, "");
        for (const char* sub : {"/a", "/a/b", "/a/b/c", "/a/b/c/updater"}) {
            mode_t mode = 0;
            EXPECT_TRUE(sIsDirectory(store.path + sub, &mode)) << sub;
            EXPECT_EQ(mode, 0755u) << sub;
        }
    }
    {
        TempDir store;
        std::string file = store.path + "/file";
        FILE* f = fopen(file.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fclose(f);
        Result r = sRun({"-C", "-i", file});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, kVersion);
        EXPECT_EQ(r.err, "Could not find updater directory at " + file + "/updater\n");
    }
}

// Store roots longer than any fixed buffer: a long one that the system can use is made, one
// beyond the system's limit ends with the error line (cut as every message is).
TEST(Cli, LongStoreRoots)
{
    {
        TempDir store;
        std::string root = store.path;
        while (root.size() < 3000)
            root += "/" + std::string(200, 'd');
        Result r = sRun({"-I", "-i", root});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kVersion);
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(sIsDirectory(root + "/updater"));
    }
    {
        TempDir store;
        std::string file = store.path + "/file";
        FILE* f = fopen(file.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fclose(f);
        std::string root = file;
        while (root.size() < 5000)
            root += "/" + std::string(200, 'e');
        Result r = sRun({"-I", "-i", root});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, kVersion);
        std::string line = "Could not find updater directory at " + root + "/updater";
        EXPECT_EQ(r.err, line.substr(0, 2047) + "\n");
    }
}

// Standard error and standard output in one pipe: error lines of the parse, then the version
// line, then the usage.
TEST(Cli, OrderOfLines)
{
    RunOptions merged;
    merged.merged = true;
    struct Row { std::vector<std::string> words; std::string text; int status; };
    const Row rows[] = {
        {{}, kVersion + kShortUsage, 0},
        {{"-d", "xyz", "-Y"},
         "Invalid serial number obtained from argument [xyz]\nUnhandled command: [-Y]\n"
             + kVersion + kShortUsage,
         1},
        {{"-X", "0x2g", "-h"},
         "Invalid format for \"-X\" parameter, unprocessed characters [g]\n" + kVersion
             + kExtendedUsage,
         0},
    };
    for (const Row& row : rows) {
        Result r = sRun(row.words, merged);
        EXPECT_EQ(r.status, row.status) << sJoin(row.words);
        EXPECT_EQ(r.out, row.text) << sJoin(row.words);
    }
}

// The log of the command line (package 0x10000) names the program by its last path part, and
// "Updater" when the program word is empty or missing.
TEST(Cli, ProgramNameInTheLog)
{
    struct Row { const char* argv0; const char* name; };
    const Row rows[] = {
        {"/opt/tools/updater", "updater"},
        {"C:\\tools\\up.exe", "up.exe"},
        {"", "Updater"},
    };
    for (const Row& row : rows) {
        TempDir store;
        RunOptions options;
        options.argv0 = row.argv0;
        Result r = sRun({"-X", "0x10000", "-I", "-i", store.path}, options);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kVersion);
        EXPECT_EQ(r.err, std::string("\nApplication parameters:[") + row.name + "]\n\t["
                             + row.argv0 + "]\n\t[-X]\n\t[0x10000]\n\t[-I]\n\t[-i]\n\t["
                             + store.path + "]\n");
    }

    // No program word at all: the system hands over an empty vector (or supplies an empty word).
    TempDir store;
    RunOptions none;
    none.argv0 = nullptr;
    Result r = sRun({}, none);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kVersion);
    EXPECT_EQ(r.err, kShortUsage);
}

// Standard output whose reader has gone (updater ... | head -1): the lines that cannot be
// written are lost, but the run goes on to its own end, status and error lines, instead of being
// killed at the first line it prints.
TEST(Cli, StandardOutputWithoutReader)
{
    RunOptions closedOut;
    closedOut.closedOut = true;
    sRunCases({
                  {{"-I", "-i", "@"}, "", "", 0, true},
                  {{"-L", "-d", "40F5849A", "-i", "@"}, "", "", 0, true},
                  {{"-U", "-d", "40F5849A", "-f", "@/none.bird", "-i", "@"}, "",
                   "Failed to load bird file\n", 1, true},
                  {{"-d", "xyz", "-D", "-i", "@"}, "",
                   "Invalid serial number obtained from argument [xyz]\n" + kShortUsage, 1, false},
              },
              closedOut);
}

// Without -i the store lies in ".velmoran" in the home directory: the password entry's, else
// HOME. A user without a password entry shows the HOME fallback.
TEST(Cli, StoreInTheHomeDirectory)
{
    if (geteuid() != 0)
        QC_SKIP_OR_FAIL("needs root to run as a user without a password entry");
    uid_t uid = 0;
    for (uid_t candidate = 54321; candidate < 54400; ++candidate)
        if (!getpwuid(candidate)) {
            uid = candidate;
            break;
        }
    ASSERT_NE(uid, 0u);

    TempDir base;
    std::string home = base.path + "/home";
    ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
    ASSERT_EQ(chown(home.c_str(), uid, uid), 0);
    RunOptions options;
    options.uid = uid;
    options.home = home.c_str();
    Result r = sRun({"-I"}, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kVersion);
    EXPECT_EQ(r.err, "");
    mode_t mode = 0;
    EXPECT_TRUE(sIsDirectory(home + "/.velmoran/updater", &mode));
    EXPECT_EQ(mode, 0755u);

    // Neither a password entry nor HOME: the failure is logged under 0x10000, its error line
    // follows, and the run ends.
    RunOptions homeless;
    homeless.uid = uid;
    Result lost = sRun({"-X", "0x10000", "-I"}, homeless);
    EXPECT_EQ(lost.status, 1);
    EXPECT_EQ(lost.out, kVersion);
    const std::string prefix = "Updater: FailedaDirectory_GetHomeDirectory()==> ";
    size_t at = lost.err.find(prefix);
    ASSERT_NE(at, std::string::npos) << lost.err;
    size_t end = lost.err.find('\n', at);
    ASSERT_NE(end, std::string::npos) << lost.err;
    std::string code = lost.err.substr(at + prefix.size(), end - at - prefix.size());
    EXPECT_NE(code.find_first_of("123456789"), std::string::npos) << code;
    EXPECT_EQ(code.find_first_not_of("-0123456789"), std::string::npos) << code;
    EXPECT_EQ(lost.err.substr(end + 1),
              "Could not find the home directory for the store [" + code + ", " +
                  aError_GetErrorText(std::stoi(code)) + "]\n");
    // Without the log mask the error line is all there is.
    Result quiet = sRun({"-I"}, homeless);
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.err, lost.err.substr(end + 1));

    // A home directory longer than any usable path would come back cut to the buffer: it is
    // refused (aErrOverrun, 15) instead of making a directory somewhere along the cut path.
    std::string longHome = "/" + std::string(5000, 'h');
    RunOptions tooLong;
    tooLong.uid = uid;
    tooLong.home = longHome.c_str();
    Result cut = sRun({"-X", "0x10000", "-I"}, tooLong);
    EXPECT_EQ(cut.status, 1);
    EXPECT_EQ(cut.out, kVersion);
    EXPECT_NE(cut.err.find(prefix + "15\n"
                           "Could not find the home directory for the store [15, aErrOverrun]\n"),
              std::string::npos)
        << cut.err;
}
