// The parsed command line: its command bits and every option's value.
#ifndef _Parameters_H_
#define _Parameters_H_

#include <cstdint>
#include <string>

#include "ServerUrl.h"

class CLI_Display;

enum COMMANDS : uint32_t {
    CMD_DISCOVER = 0x1,            // -D
    CMD_UPDATE = 0x2,              // -U
    CMD_LIST_BUILDS = 0x4,         // -B
    CMD_GET_BUILD = 0x8,           // -G
    CMD_VIEW_INFO = 0x10,          // -I (recorded only)
    CMD_CHECK_BIRDFILE = 0x20,     // -C (recorded only)
    CMD_FINGERPRINT = 0x40,        // -N
    CMD_Z = 0x80,                  // -Z (recorded only)
    CMD_LIST_LOCAL_BUILDS = 0x200, // -L
    CMD_HELP = 0x80000000u,        // -h, -H, --help
};

// Every command bit but CMD_HELP: a run with none of them only prints the usage.
static const uint32_t CMD_MASK = CMD_DISCOVER | CMD_UPDATE | CMD_LIST_BUILDS | CMD_GET_BUILD
    | CMD_VIEW_INFO | CMD_CHECK_BIRDFILE | CMD_FINGERPRINT | CMD_Z | CMD_LIST_LOCAL_BUILDS;

class CommandsClass {
public:
    CommandsClass() : bits(0) {}
    void Set(uint32_t command) { bits |= command; }
    // true when any bit of the argument is set.
    bool IsSet(uint32_t commands) const { return (bits & commands) != 0; }

private:
    uint32_t bits;
};

// Transport values of -t.
enum {
    TRANSPORT_INVALID = 0,  // after a -t that names none
    TRANSPORT_USB = 1,
    TRANSPORT_TCPIP = 2,
    TRANSPORT_RECOVER = 255,
};

// Fields start at the defaults _get_params sets again before it parses.
struct Parameters {
    CommandsClass commands;
    uint32_t serialNumber = 0;          // -d; 0 when not given
    uint32_t routerSerialNumber = 0;    // -r; 0 when not given
    uint32_t transport = TRANSPORT_USB; // -t
    bool transportGiven = false;
    std::string serialPort;             // -s
    uint32_t baudRate = 115200;         // -o
    uint8_t moduleAddress = 0;          // nothing sets it
    std::string birdFile;               // -f
    std::string logMessage;             // -l (recorded only)
    std::string build;                  // -b as decimal text; empty for "latest"
    bool echo = false;                  // -e (recorded only)
    std::string serverUrl = UPDATER_DEFAULT_SERVER_URL;  // -u
    bool optionN = false;               // -n (recorded only)
    std::string storeRoot;              // -i; once main has made it, the updater directory
    std::string appName = "Updater";    // argv[0] after its last slash or backslash
    std::string logFile = "Updater.log";  // -k (recorded only)
    void* extraBuffer = nullptr;        // never set; freed by _release_params
    bool override = false;              // -OVERRIDE
    uint32_t debugMask = 0;             // -X, the last value given
    bool debugMaskGiven = false;        // -X
    bool helpRequested = false;         // -h, -H, --help
};

// Sets every default, then parses argv (rearranging it in place). Error lines go to display;
// returns 0 on success, 1 when a value was rejected. A help option ends the parse at once
// with 0. -X activates its log packages at once.
int _get_params(CLI_Display& display, int argc, char** argv, Parameters* parameters);
// The final check of a successful parse; every combination passes it (0).
int _validate_params(Parameters* parameters);
// Frees extraBuffer when set and nulls it.
void _release_params(Parameters* parameters);

// strtoul of text when it is all hexadecimal (resp. decimal) digits, cut to 32 bits, with *end
// set behind it; 0 (end untouched) otherwise or when end is null. The empty text gives 0.
uint32_t _get_hex_arg(const char* text, char** end);
uint32_t _get_int_arg(const char* text, char** end);

#endif
