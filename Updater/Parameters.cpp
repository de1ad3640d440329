#include "Parameters.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include <curl/curl.h>

#include "CLI_Display.h"
#include "Log.h"
#include "SimpleOpt.h"

enum { OPTION_HELP = 0, OPTION_COMMAND = 1, OPTION_PARAMETER = 2 };
enum { ARG_NONE = SO_NONE, ARG_SEPARATE = SO_REQ_SEP };

typedef CSimpleOptTempl<char> CSimpleOpt;

// -e and -Z take an argument word although nothing uses it.
static const CSimpleOpt::SOption g_rgOptions[] = {
    {OPTION_COMMAND, "-B", ARG_NONE},
    {OPTION_COMMAND, "-L", ARG_NONE},
    {OPTION_COMMAND, "-D", ARG_NONE},
    {OPTION_COMMAND, "-G", ARG_NONE},
    {OPTION_COMMAND, "-I", ARG_NONE},
    {OPTION_COMMAND, "-U", ARG_NONE},
    {OPTION_COMMAND, "-OVERRIDE", ARG_NONE},
    {OPTION_COMMAND, "-N", ARG_NONE},
    {OPTION_COMMAND, "-Y", ARG_NONE},
    {OPTION_COMMAND, "-C", ARG_NONE},
    {OPTION_HELP, "-h", ARG_NONE},
    {OPTION_HELP, "-H", ARG_NONE},
    {OPTION_PARAMETER, "-n", ARG_NONE},
    {OPTION_PARAMETER, "-X", ARG_SEPARATE},
    {OPTION_PARAMETER, "-Z", ARG_SEPARATE},
    {OPTION_PARAMETER, "-i", ARG_SEPARATE},
    {OPTION_PARAMETER, "-b", ARG_SEPARATE},
    {OPTION_PARAMETER, "-d", ARG_SEPARATE},
    {OPTION_PARAMETER, "-t", ARG_SEPARATE},
    {OPTION_PARAMETER, "-f", ARG_SEPARATE},
    {OPTION_PARAMETER, "-r", ARG_SEPARATE},
    {OPTION_PARAMETER, "-s", ARG_SEPARATE},
    {OPTION_PARAMETER, "-o", ARG_SEPARATE},
    {OPTION_PARAMETER, "-e", ARG_SEPARATE},
    {OPTION_PARAMETER, "-l", ARG_SEPARATE},
    {OPTION_PARAMETER, "-k", ARG_SEPARATE},
    {OPTION_PARAMETER, "-u", ARG_SEPARATE},
    {OPTION_HELP, "--help", ARG_NONE},
    SO_END_OF_OPTIONS,
};

static int sDigitValue(char c, unsigned base)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (base == 16 && c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (base == 16 && c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Only an all-digit text is converted, by strtoul, and its result cut to the low 32 bits: a
// number beyond unsigned long saturates there (all ones), as strtoul reports it.
static uint32_t sGetArg(const char* text, char** end, unsigned base)
{
    if (!end || !text)
        return 0;
    for (const char* p = text; *p; ++p)
        if (sDigitValue(*p, base) < 0)
            return 0;
    errno = 0;
    return (uint32_t)strtoul(text, end, (int)base);
}

uint32_t _get_hex_arg(const char* text, char** end) { return sGetArg(text, end, 16); }
uint32_t _get_int_arg(const char* text, char** end) { return sGetArg(text, end, 10); }

// Digits of an all-digit text after its leading zeros.
static size_t sSignificantDigits(const char* digits)
{
    while (*digits == '0')
        ++digits;
    return strlen(digits);
}

// A serial number given to -d (router false) or -r; 0, after its error line, when it does not
// convert or needs more than 32 bits (cut down, it would name another device).
static uint32_t sSerialArg(const char* argument, bool router, CLI_Display& display)
{
    const char* rest = argument;
    if (rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
        if (router)
            Log::log(DEBUG_Updater, "Discarding '0x' router serial number prefix\n");
        else
            Log::log(DEBUG_Updater, "Discarding '0x' serial number prefix\n");
        rest += 2;
    }
    char* end = nullptr;
    uint32_t serial = _get_hex_arg(rest, &end);
    if (sSignificantDigits(rest) > 8)
        serial = 0;
    if (serial == 0) {
        if (router)
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Invalid router serial number obtained from argument [%s]", rest);
        else
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Invalid serial number obtained from argument [%s]", rest);
    }
    return serial;
}

// -b: decimal digits only (leading zeros allowed) of a build that fits in 32 bits, kept as its
// decimal text; false after the error line for anything else, which would otherwise fetch the
// latest build or, cut to 32 bits, another one.
static bool sBuildArg(const char* argument, Parameters* parameters, CLI_Display& display)
{
    bool digits = *argument != 0;
    for (const char* p = argument; *p; ++p)
        if (*p < '0' || *p > '9')
            digits = false;
    // Ten significant digits cannot overflow the conversion; the value then says the rest.
    unsigned long long value = 0;
    if (digits && sSignificantDigits(argument) <= 10)
        value = strtoull(argument, nullptr, 10);
    if (!digits || sSignificantDigits(argument) > 10 || value > UINT32_MAX) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid build number obtained from argument [%s]", argument);
        return false;
    }
    parameters->build = std::to_string(value);
    return true;
}

// -u: a URL that the server client reaches over http or https. The scheme is read as libcurl
// reads it, guessed for a URL that names none ("host:port/path" is http, "ftp.host" ftp), so
// no other scheme gets past the command line. A URL that does not parse is left to the
// request, which fails with its own reason.
static bool sServerUrlArg(const char* argument, Parameters* parameters, CLI_Display& display)
{
    parameters->serverUrl = argument;
    CURLU* url = curl_url();
    if (!url)
        return true;
    bool allowed = true;
    char* scheme = nullptr;
    if (curl_url_set(url, CURLUPART_URL, argument, CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME)
            == CURLUE_OK
        && curl_url_get(url, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK && scheme) {
        allowed = strcasecmp(scheme, "http") == 0 || strcasecmp(scheme, "https") == 0;
    }
    curl_free(scheme);
    curl_url_cleanup(url);
    if (!allowed)
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid server URL obtained from argument [%s]: only http and https "
                        "are allowed",
                        argument);
    return allowed;
}

static void sDebugMaskArg(const char* argument, const char* rowText, Parameters* parameters,
                          CLI_Display& display)
{
    parameters->debugMaskGiven = true;
    int base = (argument[0] == '0' && (argument[1] == 'x' || argument[1] == 'X')) ? 16 : 10;
    char* end = nullptr;
    errno = 0;
    unsigned long value = strtoul(argument, &end, base);
    parameters->debugMask = (uint32_t)value;
    if (end && *end) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid format for \"%s\" parameter, unprocessed characters [%s]",
                        rowText, end);
        return;
    }
    Log::ActivatePackage(parameters->debugMask);
}

static void sTransportArg(const char* argument, Parameters* parameters, bool* failed,
                          CLI_Display& display)
{
    parameters->transportGiven = true;
    if (strncmp(argument, "USB", 3) == 0) {
        parameters->transport = TRANSPORT_USB;
    } else if (strncmp(argument, "TCP", 3) == 0) {
        parameters->transport = TRANSPORT_TCPIP;
    } else if (strncmp(argument, "RECOVER", 7) == 0) {
        parameters->transport = TRANSPORT_RECOVER;
    } else {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, "
                        "RECOVER",
                        argument);
        parameters->transport = TRANSPORT_INVALID;
        *failed = true;
    }
}

static std::string sAppName(int argc, char** argv)
{
    if (argc < 1 || !argv || !argv[0])
        return "Updater";
    const char* name = argv[0];
    for (const char* p = argv[0]; *p; ++p)
        if (*p == '/' || *p == '\\')
            name = p + 1;
    // An empty program name (an exec without arguments) would leave the log line nameless.
    return *name ? name : "Updater";
}

static void sSetDefaults(int argc, char** argv, Parameters* parameters)
{
    parameters->serialNumber = 0;
    parameters->routerSerialNumber = 0;
    parameters->transport = TRANSPORT_USB;
    parameters->transportGiven = false;
    parameters->moduleAddress = 0;
    parameters->echo = false;
    parameters->logFile = "Updater.log";
    parameters->birdFile.clear();
    parameters->logMessage.clear();
    parameters->build.clear();
    parameters->serialPort.clear();
    parameters->baudRate = 115200;
    parameters->override = false;
    parameters->serverUrl = UPDATER_DEFAULT_SERVER_URL;
    parameters->optionN = false;
    parameters->appName = sAppName(argc, argv);
    parameters->extraBuffer = nullptr;
    parameters->debugMask = 0;
    parameters->debugMaskGiven = false;
    parameters->helpRequested = false;
}

// A command letter (-B, -C, ...; -O sets the override); false after an error line for a letter
// that is none.
static bool sCommandArg(char letter, const char* text, Parameters* parameters,
                        CLI_Display& display)
{
    switch (letter) {
    case 'B': parameters->commands.Set(CMD_LIST_BUILDS); break;
    case 'C': parameters->commands.Set(CMD_CHECK_BIRDFILE); break;
    case 'D': parameters->commands.Set(CMD_DISCOVER); break;
    case 'G': parameters->commands.Set(CMD_GET_BUILD); break;
    case 'I': parameters->commands.Set(CMD_VIEW_INFO); break;
    case 'L': parameters->commands.Set(CMD_LIST_LOCAL_BUILDS); break;
    case 'N': parameters->commands.Set(CMD_FINGERPRINT); break;
    case 'U': parameters->commands.Set(CMD_UPDATE); break;
    case 'O': parameters->override = true; break;
    default:
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Unhandled command: [%s]", text);
        return false;
    }
    return true;
}

// An option with its argument; sets *failed for an argument the option cannot take.
static void sParameterArg(char letter, const char* text, const char* arg,
                          Parameters* parameters, bool* failed, CLI_Display& display)
{
    char* end = nullptr;
    switch (letter) {
    case 'X': sDebugMaskArg(arg, text, parameters, display); break;
    case 'Z': parameters->commands.Set(CMD_Z); break;
    case 'b':
        if (!sBuildArg(arg, parameters, display))
            *failed = true;
        break;
    case 'd':
        parameters->serialNumber = sSerialArg(arg, false, display);
        if (parameters->serialNumber == 0)
            *failed = true;
        break;
    case 'r':
        parameters->routerSerialNumber = sSerialArg(arg, true, display);
        if (parameters->routerSerialNumber == 0)
            *failed = true;
        break;
    case 'e': parameters->echo = true; break;
    case 'f': parameters->birdFile = arg; break;
    case 'i': parameters->storeRoot = arg; break;
    case 'k': parameters->logFile = arg; break;
    case 'l': parameters->logMessage = arg; break;
    case 's': parameters->serialPort = arg; break;
    case 'u':
        if (!sServerUrlArg(arg, parameters, display))
            *failed = true;
        break;
    case 'n': parameters->optionN = true; break;
    case 'o': parameters->baudRate = _get_int_arg(arg, &end); break;
    case 't': sTransportArg(arg, parameters, failed, display); break;
    default: break;
    }
}

int _get_params(CLI_Display& display, int argc, char** argv, Parameters* parameters)
{
    sSetDefaults(argc, argv, parameters);
    bool failed = false;

    CSimpleOpt args(argc, argv, g_rgOptions, 0);
    while (args.Next()) {
        // Words the parser cannot use are passed over silently; the option has no effect.
        if (args.LastError() != SO_SUCCESS)
            continue;
        const char* text = args.OptionText();
        char letter = text[1];
        switch (args.OptionId()) {
        case OPTION_HELP:
            parameters->commands.Set(CMD_HELP);
            parameters->helpRequested = true;
            return 0;
        case OPTION_COMMAND:
            if (!sCommandArg(letter, text, parameters, display))
                failed = true;
            break;
        case OPTION_PARAMETER:
            sParameterArg(letter, text, args.OptionArg(), parameters, &failed, display);
            break;
        default:
            break;
        }
    }

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", parameters->appName.c_str());
    for (int i = 0; i < argc && argv && argv[i]; ++i)
        Log::log(DEBUG_APP, "\t[%s]\n", argv[i]);

    if (failed)
        return 1;
    return _validate_params(parameters);
}

int _validate_params(Parameters* parameters)
{
    (void)parameters;
    return 0;
}

void _release_params(Parameters* parameters)
{
    if (parameters && parameters->extraBuffer) {
        free(parameters->extraBuffer);
        parameters->extraBuffer = nullptr;
    }
}
