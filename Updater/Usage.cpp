#include "Usage.h"

#include <cstdio>

#include "CLI_Display.h"
#include "Log.h"
#include "ServerUrl.h"

#define APP_NAME "Updater"
#define APP_VERSION "Version: 2.10.8 Sep 13 2024"

void _display_app_version(CLI_Display& display)
{
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s (%s)", APP_NAME, APP_VERSION);
}

// An option entry: the option in a 25-column field behind five blanks, then its description;
// further description lines line up under the first.
static void sEntry(const char* option, const char* const* lines, bool blankAfter)
{
    fprintf(stderr, "     %-25s- %s\n", option, lines[0]);
    for (int i = 1; lines[i]; ++i)
        fprintf(stderr, "%32s%s\n", "", lines[i]);
    if (blankAfter)
        fprintf(stderr, "\n");
}

#define ENTRY(option, blank, ...)                                   \
    do {                                                            \
        static const char* const _lines[] = {__VA_ARGS__, nullptr}; \
        sEntry(option, _lines, blank);                              \
    } while (0)

// A sample: the command line in 31 columns, then its explanation; a command line that fills
// the field gets the explanation on the next line.
static void sSample(const char* command, const char* const* lines, bool ownLine)
{
    if (ownLine)
        fprintf(stderr, "%s\n%31s%s\n", command, "", lines[0]);
    else
        fprintf(stderr, "%-31s%s\n", command, lines[0]);
    for (int i = 1; lines[i]; ++i)
        fprintf(stderr, "%31s%s\n", "", lines[i]);
    fprintf(stderr, "\n");
}

#define SAMPLE(command, ownLine, ...)                               \
    do {                                                            \
        static const char* const _lines[] = {__VA_ARGS__, nullptr}; \
        sSample(command, _lines, ownLine);                          \
    } while (0)

static void sShortUsage()
{
    fprintf(stderr, "\n");
    fprintf(stderr, "Application Usage:\n");
    fprintf(stderr, "%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n", APP_NAME);
    fprintf(stderr, "    [-d serial_num]\n");
    fprintf(stderr, "    [-t transport] [-r router_serial]\n");
    fprintf(stderr, "    [-s serial_port] [-o baud_rate]\n");
    fprintf(stderr, "\n");
    fprintf(stderr, "  Quillcore Update and Maintenance Application\n");
    fprintf(stderr, "    -H -h or --help for full usage information.\n");
    fprintf(stderr, "\n");
}

static void sParametersAndCommands()
{
    fprintf(stderr, "  Parameters to commands:\n");
    ENTRY("-i <velmoran_directory>", false, "The Velmoran directory used for storage of ",
          "firmware files. [Default: ~/.velmoran ].");
    ENTRY("-b <build number>", false, "Build version of the firmware to transfer.",
          "[Default: latest version available].");
    ENTRY("-d <device>", false, "Device serial number of the device to access.");
    ENTRY("-t <transport type>", false, "communications method [USB,TCP,RECOVER].");
    ENTRY("-f <bird file>", false, "Firmware file to be transferred to device.");
    ENTRY("-r <router serial>", false, "indirect connection through router device");
    ENTRY("-s <serial port>", false, "name of serial port to use for recovery");
    ENTRY("-o <baud rate>", false, "baud rate for serial port (2400, 4800, 9600,",
          "19200, 38400, 57600, 115200, 230400)");
    fprintf(stderr, "  Commands:\n");
    ENTRY("-B", true, "list the Builds available for given device.");
    ENTRY("-L", true, "list the local Builds available for given device.");
    ENTRY("-D", true, "Discover devices that are currently connected.");
    ENTRY("-G", true, "Get build file from the Velmoran server and",
          "store on local machine for download to device.",
          "Must specify a specific device [\"-d\" option].",
          "Default is to obtain the latest build for the",
          "given device, override with \"-b\" option.");
    ENTRY("-U", false, "Update the firmware on device specified.",
          "Must specify a specific device [\"-d\" option].",
          "Default is to download the latest build for the",
          "given device, override with \"-b\" option or",
          "specify specific BIRD file using \"-f\" option.");
    ENTRY("-H or -h", false, "Display extended usage information.");
    fprintf(stderr, "\n");
}

static void sPackage(const char* name, unsigned int bit)
{
    fprintf(stderr, "%32s%-20s0x%08X\n", "", name, bit);
}

static void sExtended()
{
    fprintf(stderr, "  Extended Parameters:\n");
    ENTRY("-e", true, "echoing of bytes enabled during recovery.");
    ENTRY("-l 'log message'", false, "message to place in device history log");
    ENTRY("-k <filename>", false, "log messages written into given filename",
          "Default:[APP.log]");
    ENTRY("-u <host:port>", false, "The hostname and port of the update server",
          "Default: " UPDATER_DEFAULT_SERVER_URL);
    fprintf(stderr, "  Extended Commands:\n");
    ENTRY("-I", true, "View stored device information.",
          "Must either use DISCOVER command [\"-D\"] or",
          "specify a specific device [\"-d\" option].");
    ENTRY("-OVERRIDE", true, "Override the model checks for BIRD firmware files.",
          "This option should only be used when authorized by",
          "Velmoran development engineers.");
    ENTRY("-N", true, "Get fingerprint from a device, requires -s");
    ENTRY("-X <BIT_MASK>", false, "Bitmask for Logging");
    sPackage("DEBUG_Updater", DEBUG_Updater);
    sPackage("DEBUG_History", DEBUG_History);
    sPackage("DEBUG_Attributes", DEBUG_Attributes);
    sPackage("DEBUG_BirdFile", DEBUG_BirdFile);
    sPackage("DEBUG_Network", DEBUG_Network);
    sPackage("DEBUG_ServerComm", DEBUG_ServerComm);
    fprintf(stderr, "\n");
    sPackage("DEBUG_Network", DEBUG_Network2);
    sPackage("DEBUG_Network_SR", DEBUG_Network_SR);
    sPackage("DEBUG_Network_FIRM", DEBUG_Network_FIRM);
    fprintf(stderr, "\n");
    sPackage("DEBUG_NXPSerial", DEBUG_NXPSerial);
    sPackage("DEBUG_NXPSerial_E", DEBUG_NXPSerial_E);
    sPackage("DEBUG_NXPSerial_SR", DEBUG_NXPSerial_SR);
    fprintf(stderr, "\n");
    sPackage("DEBUG_APP", DEBUG_APP);
    fprintf(stderr, "\n");
    sPackage("DEBUG_iMXSerial", DEBUG_iMXSerial);
    fprintf(stderr, "\n");
    ENTRY("-C", false, "Check the given BIRDFILE");
    fprintf(stderr, "\n");
}

static void sSamples()
{
    fprintf(stderr, " Sample usage:\n");
    fprintf(stderr, "\n");
    SAMPLE("-D", false, "Discover all devices connected by either USB or TCPIP.",
           "Records the device information into the settings for that device.");
    SAMPLE("-D -t USB", false, "Discover all the devices connected by USB. Records the",
           "device information into the settings for that device.");
    SAMPLE("-D -t USB -d 0F5849A", false,
           "Discover settings of the specific device (serial number 0x40F5849A)");
    SAMPLE("-G -d 40F5849A", false, "Get the latest firmware for the given device.",
           "Downloads the firmware file into the updater specific device directory.");
    SAMPLE("-U -d 40F5849A", false, "Update the firmware on the specific device.",
           "Without other options, this command will try to locate",
           "the latest firmware version to be used for updating the device.");
    SAMPLE("-G -d 40F5849A -b 99528558", false,
           "Get the specified build's firmware for the given device.",
           "Downloads the firmware file into the updater's specific",
           "device directory with the build number as the filename.");
    SAMPLE("-G -U -d 40F5849A", false, "Get the latest firmware for the given device.",
           "Downloads the firmware file into the updater specific",
           "device directory. After download, update the firmware",
           "using the latest release.");
    SAMPLE("-U -t RECOVER -s /dev/serial", false,
           "Update the firmware as described above, but uses the serial interface",
           "in communicating with the device to install the latest firmware.");
    fprintf(stderr, " Sample usage for network discovery and updates:\n");
    fprintf(stderr, "\n");
    SAMPLE("-D -r D272031D", false,
           "Discover all devices connected to the I2C Quillcore network",
           "of the given routing device D272031D.");
    SAMPLE("-G -U -d 2181F0EE -r D272031D", true,
           "Get and Update to the latest firmware for device 2181F0EE",
           "indirectly through routing device D272031D.");
}

void _display_usage(bool extended, bool full)
{
    sShortUsage();
    if (!full)
        return;
    sParametersAndCommands();
    if (extended)
        sExtended();
    sSamples();
}
