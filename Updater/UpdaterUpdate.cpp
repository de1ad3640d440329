// The firmware update of a running module: the image is chosen and checked, the loader goes
// in and starts, the firmware blocks follow through the UPGRADE entity, the module reboots and
// the transfer is recorded in the device's store entry.
#include <ctime>
#include <functional>
#include <stdexcept>
#include <string>

#include "Log.h"
#include "Module.h"
#include "SystemClass.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterEntity.h"
#include "UpdaterStore.h"
#include "aDefs.h"
#include "aTime.h"

using Velmoran::Quillcore::Module;
using Velmoran::Quillcore::SystemClass;

static const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
static const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// The search for a module whose link dropped after LOAD or during a block: 15 attempts, each
// trying its own link and the default serial number with a pause after each, 1 s an attempt.
static const unsigned int sSEARCH_ATTEMPTS = 15;
static const unsigned int sSEARCH_DELAY_MS = 500;
static const int sFIRMWARE_BLOCK_ATTEMPTS = 5;

static bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& image, Module& module,
                               unsigned int serial)
{
    if (image.blockCount == 0)
        return false;
    if (!image.hasSerialBlock && !image.ValidateSerialNumber(serial))
        return false;
    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&module, 0);
    unsigned int deviceSerial = 0;
    aErr err = system.getSerialNumber(&deviceSerial);
    if (deviceSerial != serial) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n", err);
        return false;
    }
    unsigned char model = 0;
    err = system.getModel(&model);
    const char* name = aDefs_GetModelName(model);
    if (!image.ValidateModel(name)) {
        display.message(ERROR, "Connected device model and Bird file model do not match [%s] (%d)",
                        name, err);
        return false;
    }
    return true;
}

// reported is set when the failure got an error line of its own.
static aErr _transfer_loader(UpdaterDisplayInterface& display, UpdaterEntity& entity,
                             BirdFile& image, bool* reported)
{
    aErr err = entity.LoaderInit();
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", err, aError_GetErrorText(err));
        return err;
    }
    display.message(INFO, "Transferring loader to device");
    std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BIRD_BLOCK_LOADER);
    int n = (int)blocks.size();
    display.display_progress(true);
    int number = 1, total = 0;
    for (const BirdBlock& block : blocks) {
        display.message(INFO, "Transferring loader block %d of %d, %d bytes", number, n,
                        (int)block.length);
        unsigned short blockSize = 0;
        err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
        // A silent PREPARE is tolerated: the block is sent anyway.
        if (err != aErrNone && err != aErrTimeout) {
            Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", err,
                     aError_GetErrorText(err));
            break;
        }
        err = entity.LoaderTransfer(block.data, block.length);
        if (err != aErrNone) {
            // A loader missing a piece, or holding one that arrived damaged, must not be
            // started: the module would run it and write the firmware with it.
            Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", err,
                     aError_GetErrorText(err));
            break;
        }
        total += (int)block.length;
        number += 1;
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", number - 1, total);
    display.display_progress(false);
    if (err == aErrNone) {
        display.message(INFO, "Starting Load on Device");
        err = entity.LoaderStart();
        if (err == aErrTimeout) {
            Log::log(DEBUG_Updater,
                     "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
            err = aErrNone;
        }
        if (err != aErrNone) {
            display.message(ERROR, "Error starting loader [%d, %s]", err, aError_GetErrorText(err));
            *reported = true;
        }
    }
    return err;
}

// One firmware block, PREPARE then its data, tried up to sFIRMWARE_BLOCK_ATTEMPTS times while
// the module leaves the bus and is found again; number of n names it in the lines.
static aErr _transfer_firmware_block(UpdaterDisplayInterface& display, Module& module,
                                     UpdaterEntity& entity, const BirdBlock& block,
                                     unsigned int number, unsigned int n, bool indirect)
{
    aErr err = aErrNone;
    // Whether the try that ended the block failed in its data: a failure a retry absorbs is
    // not one.
    bool dataFailed = false;
    for (int attempt = 0; attempt < sFIRMWARE_BLOCK_ATTEMPTS; attempt++) {
        display.message(INFO, "Transferring firmware block %u of %u, %d bytes", number, n,
                        (int)block.length);
        if (attempt > 0)
            display.message(INFO, "  Retry %d", attempt);
        unsigned short blockSize = 0;
        err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
        // Block size 0 lets no piece advance: the block is refused as by its PREPARE.
        if (err == aErrNone && blockSize == 0)
            err = aErrInvalidOption;
        bool prepared = err == aErrNone;
        if (!prepared) {
            Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", err,
                     aError_GetErrorText(err));
        } else {
            err = entity.FirmwareTransfer(block.data, block.length, blockSize, display);
            if (err == aErrNone)
                break;
            Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", err,
                     aError_GetErrorText(err));
        }
        dataFailed = prepared;
        // A try that failed because the module left the bus (or its USB device failed) is
        // not the module's answer: it is found again and the block goes once more from its
        // PREPARE. Through a router the router's link is the one to keep.
        if (!indirect && !module.isConnected()) {
            if (attempt + 1 == sFIRMWARE_BLOCK_ATTEMPTS)
                break;
            aErr found = entity.Reconnect(sSEARCH_ATTEMPTS, sSEARCH_DELAY_MS);
            if (found != aErrNone) {
                err = found;
                break;
            }
            continue;
        }
        // A PREPARE the module refused is not retried.
        if (!prepared)
            break;
    }
    if (err != aErrNone && dataFailed)
        Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return err;
}

// The firmware blocks through entity, bound to module, then the reboot.
static aErr sTransferFirmware(UpdaterDisplayInterface& display, Module& module,
                              UpdaterEntity& entity, BirdFile& image, bool indirect,
                              bool* linkStayedUp)
{
    if (linkStayedUp)
        *linkStayedUp = false;
    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", image.path.c_str());
    std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE);
    unsigned int n = (unsigned int)blocks.size();
    unsigned int number = 1;
    int total = 0;
    aErr err = aErrNone;
    for (const BirdBlock& block : blocks) {
        err = _transfer_firmware_block(display, module, entity, block, number, n, indirect);
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
            break;
        }
        total += (int)block.length;
        number += 1;
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", (int)(number - 1), total);
    if (err == aErrNone)
        err = entity.LoaderReboot(display, linkStayedUp);
    return err;
}

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& image,
                        bool indirect, bool* linkStayedUp)
{
    UpdaterEntity entity;
    entity.init(&module, 0, true, indirect);
    return sTransferFirmware(display, module, entity, image, indirect, linkStayedUp);
}

// An image whose block stream ends inside a block lacks that block and all after it: written,
// it would leave the module with part of its firmware.
static BirdFile sWholeImage(BirdFile image)
{
    if (image.truncated) {
        Log::log(DEBUG_Updater, "Error: the birdfile ends inside a block.\n");
        throw std::runtime_error("Birdfile ends inside a block");
    }
    return image;
}

BirdFile Updater::load_bird(const char* action, std::string birdFile, unsigned int serial,
                            unsigned int build, bool download)
{
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(*display, storeDir, "load_bird");
    if (!store)
        return BirdFile();
    if (!birdFile.empty()) {
        display->message(INFO, "%s from Birdfile: %s", action, birdFile.c_str());
        return sWholeImage(BirdFile(birdFile.c_str()));
    }
    UpdaterStoreItem item = store->AddDevice(serial);
    display->message(INFO, "%s firmware with build: %u", action, build);
    std::string name = std::to_string(build) + ".bird";
    try {
        return sWholeImage(item.ReadBirdFile(name.c_str()));
    } catch (const std::runtime_error&) {
        if (!download)
            throw std::runtime_error("Error reading birdfile");
    }
    display->message(INFO, "Downloading firmware build %u", build);
    Download_Firmware(serial, std::to_string(build), false, false);
    return sWholeImage(item.ReadBirdFile(name.c_str()));
}

// The build text of the server, as the download reads it; 0 with a log line when it holds no
// build number (none, a negative one or one beyond 32 bits, which cut down would name a build
// the server never gave).
static unsigned int sBuildFromText(const std::string& text)
{
    unsigned int number = 0;
    if (!_to_build_number(text, &number)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
        return 0;
    }
    return number;
}

aErr _connect_direct(const std::function<aErr(linkType)>& connect)
{
    aErr err = connect(USB);
    if (err == aErrNotFound)
        err = connect(TCPIP);
    return err;
}

static aErr sConnectDirect(Module& module, unsigned int serial)
{
    return _connect_direct([&module, serial](linkType type) { return module.connect(type, serial); });
}

unsigned int _choose_update_build(UpdaterDisplayInterface& display, UpdaterStoreItem& item,
                                  unsigned int serverBuild)
{
    unsigned int build = serverBuild;
    if (build != 0) {
        std::string name = std::to_string(build) + ".bird";
        try {
            item.ReadBirdFile(name.c_str());
        } catch (const std::runtime_error&) {
            display.message(INFO, "New firmware is available.  Updater will proceed if "
                                  "valid firmware is found locally.");
            build = 0;
        }
    }
    if (build == 0) {
        build = (unsigned int)item.attributes.GetInt("LATEST_DOWNLOAD", 0);
        if (build != 0)
            display.message(INFO, "Updating with the Latest Download");
    }
    if (build == 0) {
        build = (unsigned int)item.attributes.GetInt("LATEST_TRANSFER", 0);
        if (build != 0)
            display.message(INFO, "Updating with the Latest Transfer");
    }
    if (build == 0)
        display.message(ERROR, "Could not find valid build for this device.");
    return build;
}

// The image with its serial number written in when it carries a serial block; false after
// an error line.
bool Updater::_load_update_image(BirdFile& image, const std::string& birdFile,
                                 unsigned int serial, unsigned int build)
{
    try {
        image = load_bird("Updating", birdFile, serial, build, false);
    } catch (const std::runtime_error&) {
        display->message(ERROR, "Failed to load bird file");
        return false;
    }
    // An image with nothing to write would end in an update that reports success.
    if (image.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE).empty()) {
        display->message(ERROR, "Failed to load bird file");
        return false;
    }
    if (image.hasSerialBlock) {
        Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
        if (!image.ReplaceSerialNumber(serial)) {
            Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
            display->message(ERROR, "Unable to modify serial number in bird");
            return false;
        }
        Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    }
    return true;
}

// The module address of serial on the network behind router; 0 after an error line.
unsigned char Updater::_find_network_address(unsigned int router, unsigned int serial)
{
    std::vector<DeviceInfo> devices = Discover_QCNetwork_Devices(router, (linkType)0);
    if (devices.empty()) {
        display->message(ERROR, "Unable to find modules on Network");
        return 0;
    }
    unsigned char found = 0;
    for (const DeviceInfo& device : devices)
        if (device.specifier.serialNumber == serial)
            found = (unsigned char)device.moduleAddress;
    if (found == 0)
        display->message(ERROR,
                         "Module address required for indirect firmware update, could "
                         "not find serial number [0x%08X] on network",
                         serial);
    return found;
}

// Connects target directly, or through the router module when router is set. *fatal is set
// when the update ends here with its own error line; a plain error code lets the caller log it.
aErr Updater::_connect_update_target(Module& target, unsigned int serial, unsigned int router,
                                     bool* fatal)
{
    *fatal = false;
    aErr err = _disableEther(target, *display);
    if (err != aErrNone)
        return err;
    if (router == 0) {
        err = sConnectDirect(target, serial);
        if (err != aErrNone) {
            display->message(ERROR, "Failed to connect to module [%08X]", serial);
            _display_reason(*display, _usb_open_failure());
        }
        return err;
    }
    if (target.getModuleAddress() == 0) {
        unsigned char found = _find_network_address(router, serial);
        if (found == 0) {
            *fatal = true;
            return aErrNotFound;
        }
        target.setModuleAddress(found);
    }
    // The router's own object goes on return; the target keeps its use of the shared link.
    std::unique_ptr<Module> linkModule(new Module(0, 0));
    err = _disableEther(*linkModule, *display);
    if (err != aErrNone)
        return err;
    err = sConnectDirect(*linkModule, router);
    if (err != aErrNone) {
        display->message(ERROR, "Failed to connect to link module [%08X]", router);
        *fatal = true;
        return err;
    }
    err = target.connectThroughLinkModule(linkModule.get());
    if (err != aErrNone)
        display->message(ERROR, "Failed to connect to module [%08X]", serial);
    return err;
}

// Loader, the search after LOAD, then the firmware blocks. err is the connection's result:
// a failure past the connection gets an error line unless a step reported it already.
aErr Updater::_run_update_transfer(Module& target, BirdFile& image, bool indirect, aErr err)
{
    // Past the connection, a failure would otherwise reach the log only.
    bool transferring = err == aErrNone;
    bool reported = false;
    // One entity for the whole update, its identity bound while the module is reached as
    // itself: every search of the update (LOAD's, the one after LOAD, one after a lost block)
    // looks for this module, never for another that answers under the default serial number.
    // Through a router nothing is searched for.
    UpdaterEntity entity;
    entity.init(&target, 0, true, indirect);
    if (err == aErrNone && !indirect)
        entity.bindIdentity();
    if (err == aErrNone)
        err = _transfer_loader(*display, entity, image, &reported);

    if (err == aErrNone && !target.isConnected()) {
        // The module restarted into its loader and its link dropped (as on USB). One that
        // does not come back ends the update here, not after the firmware phase's own search.
        err = entity.Reconnect(sSEARCH_ATTEMPTS, sSEARCH_DELAY_MS);
    }

    bool stayedUp = false;
    if (err == aErrNone)
        err = sTransferFirmware(*display, target, entity, image, indirect, &stayedUp);
    // Every block is written and checked, so the module runs the image from its next start;
    // until then it runs the old firmware, and the operator must know to power-cycle it.
    if (err == aErrNone && stayedUp)
        display->message(ERROR, "Device did not restart after the update");

    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", err);
        if (transferring && !reported && entity.refusedDefaultDevice()) {
            display->message(ERROR, "Another device answers under the default serial number "
                                    "0xDEADDEAD: modules must be updated one at a time");
            reported = true;
        }
        if (transferring && !reported)
            display->message(ERROR, "Firmware update failed [%d, %s]", err,
                             aError_GetErrorText(err));
    }
    return err;
}

// The record goes into the device's own directory, made now when the device had none;
// never into a ".settings" of the working directory. False after an error line when it
// cannot be saved: a following update or fingerprint would not know what the module runs.
static bool sRecordTransfer(UpdaterDisplayInterface& display, UpdaterStore& store,
                            UpdaterStoreItem& item, unsigned int serial,
                            const std::string& birdFile, unsigned int build)
{
    try {
        if (!item.IsValid())
            item = store.AddDevice(serial);
        // Another updater on this store may save the file at any time (a download's keys):
        // the record reads it again under its lock, so this save does not throw those away.
        std::string transfer = birdFile.empty() ? std::to_string(build) + ".bird" : birdFile;
        aErr err = item.attributes.Record(
            {{"LATEST_TRANSFER", transfer}, {"LAST_TRANSFER_DATE", KeyValueStore::TimeStamp()}});
        if (err == aErrNone)
            return true;
        display.message(ERROR, "Could not record the transfer in %s/%s", item.path.c_str(),
                        item.name.c_str());
        _display_reason(display, item.attributes.ReasonText(err));
    } catch (const std::runtime_error& e) {
        display.message(ERROR, "Could not record the transfer: %s", e.what());
    }
    return false;
}

bool Updater::Update_Firmware(unsigned int serial, unsigned int build, std::string birdFile,
                              unsigned char moduleAddress, unsigned int router, bool override)
{
    if (serial == 0) {
        display->message(ERROR, "Update command must specify the specific device");
        return false;
    }
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(*display, storeDir, "Update_Firmware");
    if (!store)
        return false;
    UpdaterStoreItem item;
    try {
        store->FindDevice(serial, &item);
    } catch (const std::runtime_error&) {
        // An unreadable entry is as good as none here; the record below makes it again.
    }
    double t0 = (double)aTime_GetMSTicks();

    if (birdFile.empty() && build == 0) {
        std::string buildText, versionText;
        UpdateServerRequest::QueryBuild(serial, buildText, versionText, serverUrl.c_str());
        build = _choose_update_build(*display, item, sBuildFromText(buildText));
        if (build == 0)
            return false;
    }
    BirdFile image;
    if (!_load_update_image(image, birdFile, serial, build))
        return false;

    Module target(moduleAddress, 0);
    bool fatal = false;
    aErr err = _connect_update_target(target, serial, router, &fatal);
    if (fatal)
        return false;
    if (err == aErrNone && !override && !_validate_birdfile(*display, image, target, serial)) {
        display->message(ERROR, "Birdfile failed validation");
        return false;
    }
    if (_run_update_transfer(target, image, router != 0, err) != aErrNone)
        return false;

    if (!sRecordTransfer(*display, *store, item, serial, birdFile, build))
        return false;
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    double t1 = (double)aTime_GetMSTicks();
    display->message(INFO, "Update time: %.4f sec", (t1 - t0) / 1000.0);
    return true;
}
