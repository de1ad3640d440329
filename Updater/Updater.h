// The updater's one working object: the server URL, the store directory and the display that
// every operation of the command line uses, and the helpers those operations share.
#ifndef _Updater_H_
#define _Updater_H_

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"
#include "discover.h"

class UpdaterStore;
class UpdaterStoreItem;

namespace Velmoran {
namespace Quillcore {
class Module;
}
}  // namespace Velmoran

// A device found by discovery. A new record is all zero with an empty model name.
struct DeviceInfo {
    linkSpec specifier;          // full copy of the specifier the device was found with
    unsigned short moduleAddress; // address on the module network behind a router, else 0
    unsigned int build;          // firmware build number, 0 when unknown
    unsigned char major;
    unsigned char minor;
    unsigned int patch;
    std::string modelName;
    int error;                   // aErr of the connection or of a query, 0 when all was read

    DeviceInfo();
};

// A chip identity: the four ISP device-id words of an NXP LPC chip, or system option 39 of a
// running i.MX loader (subindex 3 - k in word k). lpcEcho is the echo state an LPC probe left
// the chip in: the recovery goes on with the chip the probe synchronised, in that state,
// without a new sync.
struct Fingerprint {
    unsigned int word[4];
    bool lpcEcho = true;
};

class Updater {
public:
    // Copies both texts; the display is not owned and must outlive the object.
    Updater(const char* serverUrl, const char* storeDir, UpdaterDisplayInterface& display);
    ~Updater();
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // Writes a stored (or named) image into a running module; true when it was written and
    // the module rebooted into it.
    bool Update_Firmware(unsigned int serial, unsigned int build, std::string birdFile,
                         unsigned char moduleAddress, unsigned int router, bool override);
    // The image to write: birdFile when named, else the build from the device's store entry
    // (downloaded first when download is set and it is missing). Throws std::runtime_error
    // when no image can be loaded.
    BirdFile load_bird(const char* action, std::string birdFile, unsigned int serial,
                       unsigned int build, bool download);

    // Fetches one image from the update server into the device's store directory and records
    // it as the latest download. build is decimal text, empty or "0" for the server's current
    // build; override skips the check that the server lists it. Returns the build stored, 0 on
    // failure (with an error line).
    unsigned int Download_Firmware(unsigned int serial, std::string build, bool override,
                                   bool noCal);
    // The builds the server lists for the device (build text -> version text); empty on
    // failure, with an error line and its reason. *failed, when given, tells a query that
    // failed from a list the server answered empty.
    std::map<std::string, std::string> Get_BuildList(unsigned int serial, bool* failed = nullptr);
    // Every visible entry of the device's store directory, keyed by its name up to ".bird",
    // with the version of the images that carry one.
    std::map<std::string, std::string> Get_BuildListLocal(unsigned int serial);

    // Devices reached directly over one transport, or over USB then TCP/IP for 0, with the
    // version and build each one runs.
    std::vector<DeviceInfo> Discover_Devices(linkType transport);
    // The modules on the module network behind the router module with serial number router;
    // transport 0 lets the router be looked for on USB, then TCP/IP.
    std::vector<DeviceInfo> Discover_QCNetwork_Devices(unsigned int router, linkType transport);

    // Reads the chip fingerprint over serialPort (a serial device or "USB"); true when all
    // four words were read. Sets chipType.
    bool Get_Fingerprint(Fingerprint& fingerprint, std::string serialPort,
                         unsigned int serialNumber, std::string birdFile, unsigned int baudRate,
                         bool reset);
    // The image the server assigns to a fingerprint, into the store; the build, 0 on failure.
    unsigned int Download_Firmware(Fingerprint fingerprint, std::string build, bool override);
    // Rewrites the firmware of a module that cannot run it, through its chip's boot ROM.
    bool Recover_Firmware(std::string serialPort, unsigned int build, unsigned int baudRate,
                          unsigned int serialNumber, std::string birdFile, bool override);

    std::string serverUrl;
    std::string storeDir;
    UpdaterDisplayInterface* display;
    unsigned char chipType;  // 2 NXP LPC, 1 i.MX; set by Get_Fingerprint only
    // Why the last Get_Fingerprint failed when a device library said so (hidapi's reason for
    // the i.MX boot ROM on USB); empty otherwise.
    std::string probeFailure;

private:
    bool _load_update_image(BirdFile& image, const std::string& birdFile, unsigned int serial,
                            unsigned int build);
    unsigned char _find_network_address(unsigned int router, unsigned int serial);
    aErr _connect_update_target(Velmoran::Quillcore::Module& target, unsigned int serial,
                                unsigned int router, bool* fatal);
    aErr _run_update_transfer(Velmoran::Quillcore::Module& target, BirdFile& image,
                              bool indirect, aErr err);
};

// The reason line under an error line: why indented by two spaces; nothing when why is empty.
void _display_reason(UpdaterDisplayInterface& display, const std::string& why);
// libusb's reason for the last failed USB open of this process ("libusb_claim_interface:
// Resource busy"); empty when the last open succeeded or found no such device.
std::string _usb_open_failure();

// A store on storeDir, or null after the error line "Failed to Create UpdaterStore in: <caller>
// - Exception: <text>" when it cannot be made.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& storeDir,
                                                  const char* caller);

// Turns link sharing off for a module that is not yet connected (enabled 0, fallback 0,
// local only), so it runs on a plain USB or TCP link. Its error code, after the error line
// "Failed to SET network configuration".
aErr _disableEther(Velmoran::Quillcore::Module& module, UpdaterDisplayInterface& display);

// Sends the firmware blocks of image through the module's UPGRADE entity; indirect when the
// module is reached through a router module. Shared by the update and the recovery.
// linkStayedUp, when given, tells whether the module's link stayed up through the whole wait
// after the reboot (the module still runs what it ran before).
aErr _transfer_firmware(UpdaterDisplayInterface& display, Velmoran::Quillcore::Module& module,
                        BirdFile& image, bool indirect, bool* linkStayedUp = nullptr);

// The build an update writes when none is named: serverBuild when its image is in the device's
// store entry, else the entry's latest download, else its latest transfer; 0 after an error
// line when there is none. LATEST_TRANSFER is read only when LATEST_DOWNLOAD gives no build
// (a read adds the key when it is missing, and the entry is saved later).
unsigned int _choose_update_build(UpdaterDisplayInterface& display, UpdaterStoreItem& item,
                                  unsigned int serverBuild);

// Decimal text as std::stoul reads it; false when it holds no number, a negative one or one
// beyond 32 bits (a build the server never gave, once cut down to 32 bits).
bool _to_build_number(const std::string& text, unsigned int* number);

// The local build list of a device's store entries, in the order listed: each keyed by its
// name up to the first ".bird", with the version of the image it holds ("" when none). Of the
// entries with one key the image itself, "<key>.bird", counts, else the first listed.
std::map<std::string, std::string> _local_build_list(const std::vector<UpdaterStoreItem>& items);

// A direct connection: connect(USB) first, connect(TCPIP) only when USB does not find the
// module. The last attempt's code.
aErr _connect_direct(const std::function<aErr(linkType)>& connect);

#endif
