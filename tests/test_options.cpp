// The command-line parser as _get_params applies it: values, defaults, failures and the log.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "CLI_Display.h"
#include "Log.h"
#include "Parameters.h"
#include "ServerUrl.h"

namespace {

struct Parsed {
    int rc = -1;
    Parameters params;
    std::vector<std::string> argvAfter;  // the vector as the parser left it
    std::string log;
    unsigned int logMask = 0;
};

// Parses argv0 and words with the log going to a temporary file; errors go to stderr.
Parsed sParse(const std::vector<std::string>& words, const char* argv0 = "updater")
{
    std::vector<std::vector<char>> storage;
    if (argv0)
        storage.emplace_back(argv0, argv0 + strlen(argv0) + 1);
    for (const std::string& w : words)
        storage.emplace_back(w.c_str(), w.c_str() + w.size() + 1);
    std::vector<char*> argv;
    for (auto& s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    Parsed p;
    FILE* logFile = tmpfile();
    Log::package_bitmask = 0;
    Log::SetOutput(logFile);
    CLI_Display display;
    p.rc = _get_params(display, (int)storage.size(), argv.data(), &p.params);
    p.logMask = Log::package_bitmask;
    Log::SetOutput(nullptr);
    Log::package_bitmask = 0;
    for (size_t i = 0; i < storage.size(); ++i)
        p.argvAfter.push_back(argv[i]);
    rewind(logFile);
    char chunk[512];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, logFile)) > 0)
        p.log.append(chunk, n);
    fclose(logFile);
    return p;
}

std::string sHex(uint32_t v)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", v);
    return text;
}

uint32_t sCommandBits(const CommandsClass& c)
{
    uint32_t bits = 0;
    for (int i = 0; i < 32; ++i)
        if (c.IsSet(1u << i))
            bits |= 1u << i;
    return bits;
}

// One field of the record as text, so a table row can name what it checks.
std::string sField(const Parsed& p, const std::string& field)
{
    const Parameters& r = p.params;
    if (field == "commands") return sHex(sCommandBits(r.commands));
    if (field == "serialNumber") return sHex(r.serialNumber);
    if (field == "routerSerialNumber") return sHex(r.routerSerialNumber);
    if (field == "transport") return std::to_string(r.transport);
    if (field == "transportGiven") return std::to_string(r.transportGiven);
    if (field == "serialPort") return r.serialPort;
    if (field == "baudRate") return std::to_string(r.baudRate);
    if (field == "birdFile") return r.birdFile;
    if (field == "logMessage") return r.logMessage;
    if (field == "build") return r.build;
    if (field == "echo") return std::to_string(r.echo);
    if (field == "serverUrl") return r.serverUrl;
    if (field == "optionN") return std::to_string(r.optionN);
    if (field == "storeRoot") return r.storeRoot;
    if (field == "appName") return r.appName;
    if (field == "logFile") return r.logFile;
    if (field == "override") return std::to_string(r.override);
    if (field == "debugMask") return sHex(r.debugMask);
    if (field == "debugMaskGiven") return std::to_string(r.debugMaskGiven);
    if (field == "helpRequested") return std::to_string(r.helpRequested);
    if (field == "logMask") return sHex(p.logMask);
    ADD_FAILURE() << "no field " << field;
    return "";
}

struct Row {
    std::vector<std::string> words;
    int rc;
    const char* field;
    std::string expected;
};

std::string sWords(const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& w : words)
        text += "[" + w + "]";
    return text;
}

void sCheckRows(const std::vector<Row>& rows)
{
    for (const Row& row : rows) {
        Parsed p = sParse(row.words);
        EXPECT_EQ(p.rc, row.rc) << sWords(row.words);
        EXPECT_EQ(sField(p, row.field), row.expected) << sWords(row.words) << " " << row.field;
    }
}

}  // namespace

TEST(Options, Defaults)
{
    Parsed p = sParse({});
    EXPECT_EQ(p.rc, 0);
    const std::vector<std::pair<const char*, std::string>> expected = {
        {"commands", "00000000"}, {"serialNumber", "00000000"},
        {"routerSerialNumber", "00000000"}, {"transport", "1"}, {"transportGiven", "0"},
        {"serialPort", ""}, {"baudRate", "115200"}, {"birdFile", ""}, {"logMessage", ""},
        {"build", ""}, {"echo", "0"}, {"serverUrl", UPDATER_DEFAULT_SERVER_URL},
        {"optionN", "0"}, {"storeRoot", ""}, {"appName", "updater"},
        {"logFile", "Updater.log"}, {"override", "0"}, {"debugMask", "00000000"},
        {"debugMaskGiven", "0"}, {"helpRequested", "0"}, {"logMask", "00000000"},
    };
    for (const auto& e : expected)
        EXPECT_EQ(sField(p, e.first), e.second) << e.first;
    EXPECT_EQ(p.params.moduleAddress, 0);
    EXPECT_EQ(p.params.extraBuffer, nullptr);
}

TEST(Options, OptionNamesAndPrefixes)
{
    sCheckRows({
        {{"-OVERRIDE"}, 0, "override", "1"},
        {{"-OV"}, 0, "override", "1"},
        {{"-O"}, 0, "override", "1"},
        {{"-OVERRIDEX"}, 0, "override", "0"},
        {{"-ov"}, 0, "override", "0"},
        {{"--he"}, 0, "commands", "80000000"},
        {{"--h"}, 0, "helpRequested", "1"},
        {{"--help"}, 0, "helpRequested", "1"},
        {{"-h"}, 0, "commands", "80000000"},
        {{"-H"}, 0, "helpRequested", "1"},
        // An argument attached to an option that takes none makes the word unusable.
        {{"--help=x"}, 0, "commands", "00000000"},
        {{"-h=1"}, 0, "helpRequested", "0"},
        {{"-help"}, 0, "commands", "00000000"},
        {{"---help"}, 0, "commands", "00000000"},
        {{"-"}, 0, "commands", "00000000"},
        {{"--"}, 0, "commands", "00000000"},
        {{"-u"}, 0, "serverUrl", UPDATER_DEFAULT_SERVER_URL},
        // No clumping and no argument in the same word.
        {{"-DU"}, 0, "commands", "00000000"},
        {{"-d40F5849A"}, 0, "serialNumber", "00000000"},
        {{"-B", "-L", "-D", "-G", "-I", "-U", "-N", "-C", "-Z", "z"}, 0, "commands", "000002FF"},
        {{"-U", "40F5849A"}, 0, "commands", "00000002"},
        {{"-U", "40F5849A"}, 0, "serialNumber", "00000000"},
        {{"-Z", "x"}, 0, "commands", "00000080"},
        {{"-Z"}, 0, "commands", "00000000"},
        {{"-Y"}, 1, "commands", "00000000"},
        {{"-Y", "-D"}, 1, "commands", "00000001"},
        {{"-n"}, 0, "optionN", "1"},
        {{"-e"}, 0, "echo", "0"},
        {{"-e", "yes"}, 0, "echo", "1"},
        {{"-e", "-D"}, 0, "echo", "0"},
        {{"-e", "-D"}, 0, "commands", "00000001"},
    });
}

TEST(Options, SerialNumbers)
{
    sCheckRows({
        {{"-d=40F5849A"}, 0, "serialNumber", "40F5849A"},
        {{"-d", "40F5849A"}, 0, "serialNumber", "40F5849A"},
        {{"-d", "0x40F5849A"}, 0, "serialNumber", "40F5849A"},
        {{"-d", "0X40f5849a"}, 0, "serialNumber", "40F5849A"},
        // More than 8 significant digits would name another device once cut to 32 bits;
        // leading zeros name none.
        {{"-d", "123456789"}, 1, "serialNumber", "00000000"},
        {{"-d", "140F5849A"}, 1, "serialNumber", "00000000"},
        {{"-d", "0x140F5849A"}, 1, "serialNumber", "00000000"},
        {{"-d", "1234567890ABCDEF"}, 1, "serialNumber", "00000000"},
        {{"-d", "1234567890ABCDEF0123456789"}, 1, "serialNumber", "00000000"},
        {{"-d", "000040F5849A"}, 0, "serialNumber", "40F5849A"},
        {{"-d", "0x0040f5849a"}, 0, "serialNumber", "40F5849A"},
        {{"-d", "FFFFFFFF"}, 0, "serialNumber", "FFFFFFFF"},
        {{"-d", "140F5849A", "-d", "40F5849A"}, 1, "serialNumber", "40F5849A"},
        {{"-d", "1", "-d", "2"}, 0, "serialNumber", "00000002"},
        {{"-d", "0x"}, 1, "serialNumber", "00000000"},
        {{"-d", "12345678Z"}, 1, "serialNumber", "00000000"},
        {{"-d", "0"}, 1, "serialNumber", "00000000"},
        {{"-d="}, 1, "serialNumber", "00000000"},
        {{"-d", "xyz", "-d", "1"}, 1, "serialNumber", "00000001"},
        {{"-d"}, 0, "serialNumber", "00000000"},
        {{"-d", "-U"}, 0, "serialNumber", "00000000"},
        {{"-d", "-U"}, 0, "commands", "00000002"},
        {{"-r", "0xD272031D"}, 0, "routerSerialNumber", "D272031D"},
        {{"-r=d272031d"}, 0, "routerSerialNumber", "D272031D"},
        {{"-r", "xyz"}, 1, "routerSerialNumber", "00000000"},
        {{"-r", "0x0"}, 1, "routerSerialNumber", "00000000"},
        {{"-r", "1D272031D"}, 1, "routerSerialNumber", "00000000"},
        {{"-r", "00D272031D"}, 0, "routerSerialNumber", "D272031D"},
        // Help ends the parse with success even after a rejected value.
        {{"-d", "xyz", "-h"}, 0, "commands", "80000000"},
    });
}

TEST(Options, TransportBuildBaudAndStrings)
{
    sCheckRows({
        {{"-t", "USB"}, 0, "transport", "1"},
        {{"-t", "USBX"}, 0, "transport", "1"},
        {{"-t", "TCP"}, 0, "transport", "2"},
        {{"-t", "TCPIP"}, 0, "transport", "2"},
        {{"-t", "RECOVER"}, 0, "transport", "255"},
        {{"-t", "RECOVERY"}, 0, "transport", "255"},
        {{"-t", "RECOVE"}, 1, "transport", "0"},
        {{"-t", "usb"}, 1, "transport", "0"},
        {{"-t", "usb"}, 1, "transportGiven", "1"},
        {{"-t", "TCP", "-t", "USB"}, 0, "transport", "1"},
        {{"-b", "99528558"}, 0, "build", "99528558"},
        {{"-b", "007"}, 0, "build", "7"},
        {{"-b", "0"}, 0, "build", "0"},
        {{"-b", "4294967295"}, 0, "build", "4294967295"},
        {{"-b", "000004294967295"}, 0, "build", "4294967295"},
        // Anything else would fetch the latest build, or cut to 32 bits another one.
        {{"-b", "12x"}, 1, "build", ""},
        {{"-b", "abc"}, 1, "build", ""},
        {{"-b", "+12"}, 1, "build", ""},
        {{"-b", " 12"}, 1, "build", ""},
        {{"-b=-1"}, 1, "build", ""},
        {{"-b", "4294967296"}, 1, "build", ""},
        {{"-b", "4294967297"}, 1, "build", ""},
        {{"-b", "4294968496"}, 1, "build", ""},
        {{"-b", "123456789012345678901234"}, 1, "build", ""},
        {{"-b="}, 1, "build", ""},
        {{"-b", "1200", "-b", "x"}, 1, "build", "1200"},
        {{"-o", "99999999999999999999999"}, 0, "baudRate", "4294967295"},
        {{"-o", "9600"}, 0, "baudRate", "9600"},
        {{"-o", "fast"}, 0, "baudRate", "0"},
        {{"-f", "fw.bird"}, 0, "birdFile", "fw.bird"},
        {{"-i", "/tmp/x"}, 0, "storeRoot", "/tmp/x"},
        {{"-i", "~/store"}, 0, "storeRoot", "~/store"},
        {{"-k", "my.log"}, 0, "logFile", "my.log"},
        {{"-l", "a message"}, 0, "logMessage", "a message"},
        {{"-s", "/dev/ttyUSB0"}, 0, "serialPort", "/dev/ttyUSB0"},
        {{"-u", "http://127.0.0.1:8080/cgi/u"}, 0, "serverUrl", "http://127.0.0.1:8080/cgi/u"},
        // Only the first "=" separates the name from its argument.
        {{"-u=http://h/cgi/u?a=b"}, 0, "serverUrl", "http://h/cgi/u?a=b"},
        // http and https only, the scheme read as libcurl reads it: without one, a host and
        // port is http, a host named "ftp." something ftp.
        {{"-u", "HTTPS://h/cgi/u"}, 0, "serverUrl", "HTTPS://h/cgi/u"},
        {{"-u", "127.0.0.1:8080/cgi/u"}, 0, "serverUrl", "127.0.0.1:8080/cgi/u"},
        {{"-u", "localhost:8080"}, 0, "serverUrl", "localhost:8080"},
        {{"-u", "file:///etc/passwd"}, 1, "serverUrl", "file:///etc/passwd"},
        {{"-u", "file:/etc/passwd"}, 1, "serverUrl", "file:/etc/passwd"},
        {{"-u", "ftp://127.0.0.1/cgi/u"}, 1, "serverUrl", "ftp://127.0.0.1/cgi/u"},
        {{"-u", "ftp.example.com/cgi/u"}, 1, "serverUrl", "ftp.example.com/cgi/u"},
        {{"-u", "scp://h/x"}, 1, "serverUrl", "scp://h/x"},
        {{"-u", "gopher://h/x"}, 1, "serverUrl", "gopher://h/x"},
        {{"-u", "nosuchscheme://h/x"}, 1, "serverUrl", "nosuchscheme://h/x"},
        {{"-s", std::string(5000, 'p')}, 0, "serialPort", std::string(5000, 'p')},
    });
}

TEST(Options, LogMask)
{
    sCheckRows({
        {{"-X", "0x20"}, 0, "logMask", "00000020"},
        {{"-X", "0X20"}, 0, "debugMask", "00000020"},
        {{"-X", "32"}, 0, "logMask", "00000020"},
        {{"-X=32"}, 0, "logMask", "00000020"},
        {{"-X", "32"}, 0, "debugMaskGiven", "1"},
        // Characters behind the number: the line is printed, the mask stays off, no failure.
        {{"-X", "0x2g"}, 0, "logMask", "00000000"},
        {{"-X", "0x2g"}, 0, "debugMask", "00000002"},
        {{"-X", "0x2g"}, 0, "debugMaskGiven", "1"},
        {{"-X", "1", "-X", "0x20"}, 0, "logMask", "00000021"},
        {{"-X", "1", "-X", "0x20"}, 0, "debugMask", "00000020"},
        {{"-X", "1", "-h"}, 0, "debugMaskGiven", "1"},
        {{"-h", "-X", "1"}, 0, "debugMaskGiven", "0"},
        {{"-h", "-X", "1"}, 0, "logMask", "00000000"},
    });
}

TEST(Options, AppNameFromProgramWord)
{
    struct NameRow { const char* argv0; const char* expected; };
    const NameRow rows[] = {
        {"updater", "updater"},
        {"/usr/local/bin/updater", "updater"},
        {"C:\\tools\\up.exe", "up.exe"},
        {"mixed/dir\\up", "up"},
        {"", "Updater"},
        {"dir/", "Updater"},
        {nullptr, "Updater"},
    };
    for (const NameRow& r : rows)
        EXPECT_EQ(sParse({}, r.argv0).params.appName, r.expected)
            << (r.argv0 ? r.argv0 : "(none)");
}

// The parser leaves option words in order and moves passed-over words behind them; an option
// written with "=" is cut at it. The log shows the vector that way, and only with packages
// activated before the line is written.
TEST(Options, LogOfTheCommandLine)
{
    Parsed p = sParse({"a", "-X", "0x10001", "b", "-d", "0x1", "-i=dir", "c"}, "prog");
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(sField(p, "serialNumber"), "00000001");
    EXPECT_EQ(sField(p, "storeRoot"), "dir");
    const std::vector<std::string> order = {"prog", "-X", "0x10001", "-d", "0x1", "-i", "c",
                                            "a", "b"};
    EXPECT_EQ(p.argvAfter, order);
    EXPECT_EQ(p.log,
              "Discarding '0x' serial number prefix\n"
              "\nApplication parameters:[prog]\n"
              "\t[prog]\n\t[-X]\n\t[0x10001]\n\t[-d]\n\t[0x1]\n\t[-i]\n\t[c]\n\t[a]\n\t[b]\n");

    Parsed router = sParse({"-X", "1", "-r", "0Xd272031d"});
    EXPECT_EQ(router.log, "Discarding '0x' router serial number prefix\n");

    // The discard line comes before -X is handled: nothing is written.
    EXPECT_EQ(sParse({"-d", "0x1", "-X", "1"}).log, "");
    // Help stops before the log of the command line.
    EXPECT_EQ(sParse({"-X", "0x10000", "-h"}).log, "");
}
