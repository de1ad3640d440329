// The chip fingerprint and the recovery of a module whose firmware is gone, both through the
// chip's boot ROM: an NXP LPC over its serial in-system programming, or an i.MX through a
// live loader started in RAM that then runs as an ordinary module on USB.
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "HID_SDPLoader.h"
#include "Log.h"
#include "Module.h"
#include "NXPSerial.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader_unix.h"
#include "SystemClass.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterRecovery.h"
#include "UpdaterStore.h"
#include "aTime.h"

using Velmoran::Quillcore::Module;
using Velmoran::Quillcore::SystemClass;

static const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
static const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// Stands for a missing serial number: the default live loader is stored and searched under it.
static const unsigned int sBLANK_SERIAL = 0xDEADDEAD;
static const unsigned int sDEFAULT_LOADER_START = 0x20000400;
static const unsigned short sROM_VENDOR = 0x1FC9;
static const unsigned short sROM_PRODUCT = 0x0130;
static const int sLOADER_ATTEMPTS = 15;
static const unsigned int sLOADER_ATTEMPT_DELAY_MS = 1000;
static const unsigned char sOPTION_FINGERPRINT = 39;

// The LPC boot ROM is synchronised at this rate by the probe and keeps it, so programming
// must use it too, whatever -o says.
static const unsigned int sLPC_RATE = 115200;
static const unsigned int sLPC_CHUNK = 4096;
static const unsigned int sLPC_PAGE = 256;  // smallest copy and the flash address alignment

static bool _get_fingerprint_lpc(std::string serialPort, unsigned int baudRate,
                                 Fingerprint& fingerprint)
{
    NXPSerialClass nxp;
    aErr err = nxp.Connect(serialPort.c_str(), baudRate);
    if (err != aErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", err);
        return false;
    }
    Log::log(DEBUG_APP, "\n\tSync to Device:\n");
    err = nxp.Sync();
    if (err != aErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n",
                 err);
        return false;
    }
    fingerprint.lpcEcho = nxp.echo;
    Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
    err = nxp.GetDeviceID();
    if (err != aErrNone) {
        Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
        return false;
    }
    for (int k = 0; k < 4; k++)
        fingerprint.word[k] = nxp.deviceId[k];
    return true;
}

// *why receives the transport's reason when a device call failed on the way.
static aErr _transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& image,
                                      std::string serialPort, std::string* why)
{
    (void)display;
    Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
    SDPLoader sdp;
    // The path text lives in serialPort until this function returns, as does the transport.
    SDPLoader_Interface* transport = nullptr;
    if (serialPort == "USB")
        transport = new HID_SDPLoader(sROM_VENDOR, sROM_PRODUCT);
    else
        transport = new Serial_SDPLoader(serialPort.c_str());
    if (!sdp.setLoader(transport)) {
        delete transport;
        return aErrNotReady;
    }
    if (sdp.init() != SDPLoader::SDP_OK) {
        *why = transport->failure();
        return aErrNotReady;
    }

    unsigned int address = 0;
    unsigned char number = 0;
    for (const BirdBlock& block : image.FindBlocks(BirdFile::BIRD_BLOCK_LOADER)) {
        if (block.length <= 3) {
            // No load address to put these bytes at.
            Log::log(DEBUG_Updater, "Skipping loader block %d of %u bytes\n", number++,
                     (unsigned)block.length);
            continue;
        }
        address = block.address;
        std::vector<unsigned char> payload(block.data + 4, block.data + block.length);
        Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\n", number++,
                 payload.size(), (int)address);
        // An address with no bytes after it has nothing to write.
        if (!payload.empty() && sdp.writeLoader(payload, address) != SDPLoader::SDP_OK) {
            *why = transport->failure();
            return aErrConnection;
        }
    }

    unsigned int start = sDEFAULT_LOADER_START;
    std::vector<BirdBlock> starts = image.FindBlocks(BirdFile::BIRD_BLOCK_START_ADDRESS);
    if (!starts.empty() && starts[0].length > 3) {
        const unsigned char* d = starts[0].data;
        start = (unsigned int)d[0] << 24 | (unsigned int)d[1] << 16 | (unsigned int)d[2] << 8 |
                (unsigned int)d[3];
    }
    if (sdp.startLoader(start) != SDPLoader::SDP_OK) {
        *why = transport->failure();
        return aErrConnection;
    }
    return aErrNone;
}

// The live-loader image of the device's store entry; false when the entry names none or it
// cannot be read.
static bool sReadLatest(UpdaterStoreItem& item, BirdFile& image)
{
    std::string name = item.attributes.GetString("LATEST_DOWNLOAD", "");
    if (name.empty())
        return false;
    try {
        image = item.ReadBirdFile(name.c_str());
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_APP, "%s\n", e.what());
        return false;
    }
    return image.blockCount != 0;
}

// The live loader to start: birdFile when named, else the latest download of the device's
// store entry (search), fetched anew when the entry has none or it cannot be read. False when
// there is none, after an error line when birdFile is named without a serial number.
static bool _live_loader_image(UpdaterDisplayInterface& display, Updater& updater,
                               UpdaterStore& store, unsigned int search,
                               const std::string& birdFile, BirdFile& image)
{
    try {
        UpdaterStoreItem item;
        bool found = store.FindDevice(search, &item);
        if (!birdFile.empty()) {
            if (search == sBLANK_SERIAL) {
                display.message(ERROR, "Add serial number or remove the bird filename to use a "
                                       "default recovery image.");
                return false;
            }
            image = BirdFile(birdFile.c_str());
        } else if (!(found && item.IsValid() && sReadLatest(item, image))) {
            // No entry, or one whose latest download is missing or unreadable: fetch it anew.
            display.mute_messages(true);
            Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
            unsigned int build = updater.Download_Firmware(search, "", false, false);
            std::string name;
            if (build != 0) {
                name = std::to_string(build) + ".bird";
                store.FindDevice(search, &item);
            }
            display.mute_messages(false);
            image = item.ReadBirdFile(name.c_str());
        }
    } catch (const std::runtime_error& e) {
        display.mute_messages(false);
        Log::log(DEBUG_APP, "%s\n", e.what());
        return false;
    }
    return true;
}

// The started live loader, found on USB under serial within the loader's attempts.
static bool _connect_live_loader(UpdaterDisplayInterface& display, Module& module,
                                 unsigned int serial)
{
    if (_disableEther(module, display) != aErrNone)
        return false;
    for (int attempt = 0; attempt < sLOADER_ATTEMPTS; attempt++) {
        module.discoverAndConnect(USB, serial);
        if (module.isConnected())
            break;
        aTime_MSSleep(sLOADER_ATTEMPT_DELAY_MS);
    }
    if (!module.isConnected()) {
        Log::log(DEBUG_APP, "Could not connect to device.\n");
        return false;
    }
    return true;
}

static bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater,
                                 std::string serialPort, unsigned int serialNumber,
                                 std::string birdFile, Fingerprint& fingerprint, bool reset)
{
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, updater.storeDir, "_get_fingerprint_imx");
    if (!store)
        return false;
    unsigned int search = serialNumber != 0 ? serialNumber : sBLANK_SERIAL;
    BirdFile image;
    if (!_live_loader_image(display, updater, *store, search, birdFile, image))
        return false;
    if (_transfer_recovery_loader(display, image, serialPort, &updater.probeFailure) != aErrNone) {
        Log::log(DEBUG_APP, "Error loading liveloader.\n");
        return false;
    }
    Module module(0, 0);
    if (!_connect_live_loader(display, module, search))
        return false;

    SystemClass system;
    system.init(&module, 0);
    for (unsigned char k = 0; k < 4; k++) {
        unsigned int value = 0;
        aErr err = system.getUEI32(sOPTION_FINGERPRINT, k, &value);
        if (err != aErrNone) {
            Log::log(DEBUG_APP, "Error getting Identifier %d.\n", (int)k);
            return false;
        }
        fingerprint.word[3 - k] = value;
    }
    if (reset)
        system.reset();
    return true;
}

bool Updater::Get_Fingerprint(Fingerprint& fingerprint, std::string serialPort,
                              unsigned int serialNumber, std::string birdFile,
                              unsigned int baudRate, bool reset)
{
    probeFailure.clear();
    if (_get_fingerprint_lpc(serialPort, baudRate, fingerprint)) {
        chipType = 2;
        return true;
    }
    chipType = 1;
    return _get_fingerprint_imx(*display, *this, serialPort, serialNumber, birdFile, fingerprint,
                                reset);
}

unsigned int Updater::Download_Firmware(Fingerprint fingerprint, std::string build, bool override)
{
    unsigned int number = 0;
    try {
        number = (unsigned int)std::stoul(build, nullptr, 10);
    } catch (const std::logic_error&) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", build.c_str());
        number = 0;
    }
    unsigned int serial = 0, serverBuild = 0;
    std::string why;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.word, &serial, &serverBuild,
                                              serverUrl.c_str(), &why)) {
        display->message(ERROR,
                         "Failed to retrieve recovery information from Velmoran update server");
        _display_reason(*display, why);
        return 0;
    }
    if (number == 0)
        number = serverBuild;
    return Download_Firmware(serial, std::to_string(number), override, false);
}

static bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& image,
                                  unsigned int serialNumber)
{
    Module module(0, 0);
    aErr err = _disableEther(module, display);
    if (err == aErrNone) {
        for (int attempt = 0; attempt < sLOADER_ATTEMPTS; attempt++) {
            module.discoverAndConnect(USB, sBLANK_SERIAL);
            if (!module.isConnected() && serialNumber != 0 && serialNumber != sBLANK_SERIAL)
                module.discoverAndConnect(USB, serialNumber);
            if (module.isConnected())
                break;
            aTime_MSSleep(sLOADER_ATTEMPT_DELAY_MS);
        }
        if (!module.isConnected()) {
            display.message(ERROR, "Could not connect to device");
            _display_reason(display, _usb_open_failure());
            return false;
        }
        err = _transfer_firmware(display, module, image, false);
    }
    if (err != aErrNone) {
        display.message(ERROR, "Failed to transfer firmware");
        return false;
    }
    return true;
}

static unsigned int sFlashSize()
{
    unsigned int size = 0;
    for (const NXPSector* s = NXP_LPC17XX_sectors; s->start != 0xFFFFFFFF; ++s)
        size = s->start + s->size;
    return size;
}

bool _plan_lpc(UpdaterDisplayInterface& display, const std::vector<BirdBlock>& blocks,
               std::vector<LpcChunk>& plan, unsigned int& programmed)
{
    const unsigned int flashSize = sFlashSize();
    std::vector<std::pair<unsigned int, unsigned int>> ranges;
    programmed = 0;
    for (unsigned int b = 0; b < blocks.size(); b++) {
        const BirdBlock& block = blocks[b];
        if (block.length < 8) {
            display.message(ERROR, "Firmware block %u has no data to program (%u bytes)", b + 1,
                            (unsigned)block.length);
            return false;
        }
        unsigned int len = block.length - 4;
        if (len == 4)
            break;  // the end marker
        unsigned int flash = block.address;
        if (flash % sLPC_PAGE != 0 || flash >= flashSize || len > flashSize - flash) {
            display.message(ERROR, "Firmware block %u (%u bytes at 0x%08X) does not fit the "
                                   "chip's flash", b + 1, len, flash);
            return false;
        }
        unsigned int end = flash + (len + sLPC_PAGE - 1) / sLPC_PAGE * sLPC_PAGE;
        for (const auto& r : ranges)
            if (flash < r.second && r.first < end) {
                display.message(ERROR, "Firmware block %u (at 0x%08X) overlaps another block",
                                b + 1, flash);
                return false;
            }
        ranges.push_back(std::make_pair(flash, end));
        programmed++;
        for (unsigned int offset = 0; offset < len;) {
            LpcChunk chunk;
            chunk.block = b;
            chunk.offset = offset;
            chunk.length = len - offset < sLPC_CHUNK ? len - offset : sLPC_CHUNK;
            if (chunk.length == sLPC_CHUNK) {
                chunk.staged = sLPC_CHUNK;
                chunk.copies.push_back({flash + offset, NXPSerialClass::WRITE_ADDRESS, sLPC_CHUNK});
            } else {
                chunk.staged = (chunk.length + sLPC_PAGE - 1) / sLPC_PAGE * sLPC_PAGE;
                for (unsigned int done = 0; done < chunk.staged;) {
                    unsigned int left = chunk.staged - done;
                    unsigned int count = left >= 1024 ? 1024 : left >= 512 ? 512 : 256;
                    chunk.copies.push_back(
                        {flash + offset + done, NXPSerialClass::WRITE_ADDRESS + done, count});
                    done += count;
                }
            }
            offset += chunk.length;
            plan.push_back(chunk);
        }
    }
    if (programmed == 0) {
        display.message(ERROR, "The image holds no firmware to program");
        return false;
    }
    return true;
}

// The one error line of a failed chip step (the ISP client itself only logs): the chip's own
// return code when it refused the command, else the client's error; false.
static bool _lpc_failed(UpdaterDisplayInterface& display, const NXPSerialClass& nxp,
                        const char* step, aErr err)
{
    if (err == aErrParam && nxp.status > 0) {
        int code = nxp.status <= NXPSerialClass::MAX_ERROR ? nxp.status : NXPSerialClass::MAX_ERROR;
        display.message(ERROR, "Recovery failed: %s [%d, %s]", step, (int)nxp.status,
                        NXPSerialClass::ERROR_TEXT[code]);
    } else {
        display.message(ERROR, "Recovery failed: %s [%d, %s]", step, err,
                        aError_GetErrorText(err));
    }
    return false;
}

// Opens the chip the probe synchronised, in the echo state the probe found it in, and erases
// its flash; the chip is left with echo off.
static bool _lpc_open_and_erase(UpdaterDisplayInterface& display, NXPSerialClass& nxp,
                                const std::string& serialPort, unsigned int baudRate,
                                Fingerprint& fingerprint)
{
    aErr err = nxp.Connect(serialPort.c_str(), baudRate);
    if (err != aErrNone) {
        Log::log(DEBUG_Network2, "Could not connect to %s\n", serialPort.c_str());
        return _lpc_failed(display, nxp, "connect", err);
    }
    // Not synchronised again: the probe left the chip ready, in this echo state.
    nxp.echo = fingerprint.lpcEcho;
    Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
    if ((err = nxp.Unlock()) != aErrNone) {
        Log::log(DEBUG_Network2, "Could not unlock\n");
        return _lpc_failed(display, nxp, "unlock", err);
    }
    Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
    if ((err = nxp.Prepare(0, NXPSerialClass::LAST_SECTOR)) != aErrNone) {
        Log::log(DEBUG_Network2, "Could not prepare\n");
        return _lpc_failed(display, nxp, "prepare", err);
    }
    Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
    if ((err = nxp.Erase(0, NXPSerialClass::LAST_SECTOR)) != aErrNone) {
        Log::log(DEBUG_Network2, "Could not erase\n");
        return _lpc_failed(display, nxp, "erase", err);
    }
    nxp.SetEcho(false);
    fingerprint.lpcEcho = nxp.echo;
    // Its result is not looked at: its return code must not be taken for a later step's.
    nxp.status = 0;
    return true;
}

// One chunk's program step: the staged bytes written to RAM, then each copy prepared and
// copied into flash. staged is the RAM image buffer, sLPC_CHUNK bytes.
static bool _lpc_program_chunk(UpdaterDisplayInterface& display, NXPSerialClass& nxp,
                               const LpcChunk& chunk, const BirdBlock& block,
                               std::vector<unsigned char>& staged)
{
    Log::log(DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n",
             (int)chunk.length, block.address + chunk.offset);
    Log::log(DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", (int)chunk.staged,
             NXPSerialClass::WRITE_ADDRESS);
    // Padding with erased-flash bytes keeps stale RAM out of the flash.
    memset(staged.data(), 0xFF, chunk.staged);
    memcpy(staged.data(), block.data + 4 + chunk.offset, chunk.length);
    aErr err = nxp.Write(NXPSerialClass::WRITE_ADDRESS, chunk.staged, staged.data());
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "\t Write to RAM failed\n");
        return _lpc_failed(display, nxp, "write to RAM", err);
    }
    for (const LpcCopy& copy : chunk.copies) {
        int first = NXPSerialClass::SectorFromAddress(copy.flash);
        int last = NXPSerialClass::SectorFromAddress(copy.flash + copy.count - 1);
        Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", first, last);
        if ((err = nxp.Prepare((unsigned)first, (unsigned)last)) != aErrNone) {
            Log::log(DEBUG_Updater, "\t Prepare failed\n");
            return _lpc_failed(display, nxp, "prepare for copy", err);
        }
        Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", (int)copy.count,
                 copy.ram, copy.flash);
        if ((err = nxp.CopyToFlash(copy.flash, copy.ram, copy.count)) != aErrNone) {
            Log::log(DEBUG_Updater, "\t Transfer to flash failed\n");
            return _lpc_failed(display, nxp, "copy to flash", err);
        }
    }
    return true;
}

// Every planned chunk, block by block with a progress bar each; false after the error line of
// the step that failed.
static bool _lpc_program(UpdaterDisplayInterface& display, NXPSerialClass& nxp,
                         const std::vector<BirdBlock>& blocks, const std::vector<LpcChunk>& plan)
{
    int total = (int)blocks.size() - 1;
    int totalBytes = 0;
    std::vector<unsigned char> staged(sLPC_CHUNK);
    size_t next = 0;
    for (unsigned int b = 0; b < blocks.size() && next < plan.size(); b++) {
        const BirdBlock& block = blocks[b];
        unsigned int len = block.length - 4;
        display.message(INFO, "Transferring firmware block %d of %d, %d bytes", (int)b + 1, total,
                        (int)len);
        display.display_progress(true);
        Log::log(DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n",
                 (int)len, block.address);
        unsigned int offset = 0;
        for (; next < plan.size() && plan[next].block == b; next++) {
            if (!_lpc_program_chunk(display, nxp, plan[next], block, staged))
                return false;
            offset = plan[next].offset + plan[next].length;
            display.update_progress((double)offset / len, nullptr);
        }
        display.display_progress(false);
        totalBytes += (int)offset;
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", total, totalBytes);
    return true;
}

// fingerprint carries the echo state the probe left the chip in, and is kept up to date with
// it.
static bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& image,
                                  std::string& serialPort, unsigned int baudRate,
                                  Fingerprint& fingerprint)
{
    std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE);
    std::vector<LpcChunk> plan;
    unsigned int programmed = 0;
    if (!_plan_lpc(display, blocks, plan, programmed))
        return false;

    NXPSerialClass nxp;
    if (!_lpc_open_and_erase(display, nxp, serialPort, baudRate, fingerprint))
        return false;
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", image.path.c_str());
    if (!_lpc_program(display, nxp, blocks, plan))
        return false;

    aErr err = nxp.SetEcho(true);
    if (err != aErrNone) {
        display.message(ERROR, "Recovery Error transfering data to device ==> [%d, %s]", err,
                        aError_GetErrorText(err));
        return false;
    }
    fingerprint.lpcEcho = true;
    display.message(INFO, "Rebooting Device");
    nxp.ExecuteFrom(0);
    return true;
}

bool Updater::Recover_Firmware(std::string serialPort, unsigned int build, unsigned int baudRate,
                               unsigned int serialNumber, std::string birdFile, bool override)
{
    (void)override;
    (void)baudRate;  // the chip keeps the rate the probe synchronised it at
    double start = (double)aTime_GetMSTicks();
    Fingerprint fingerprint{};
    if (!Get_Fingerprint(fingerprint, serialPort, serialNumber, birdFile, sLPC_RATE, false)) {
        display->message(ERROR, "Could not get Device Identifier");
        _display_reason(*display, probeFailure);
        return false;
    }

    if (birdFile.empty()) {
        unsigned int serverBuild = 0;
        std::string why;
        if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.word, &serialNumber, &serverBuild,
                                                  serverUrl.c_str(), &why)) {
            display->message(ERROR,
                             "Failed to retrieve recovery information from Velmoran server");
            _display_reason(*display, why);
            return false;
        }
        if (build == 0)
            build = serverBuild;
    } else {
        build = 0;
    }

    BirdFile image;
    try {
        image = load_bird("Recovering", birdFile, serialNumber, build, true);
    } catch (const std::runtime_error&) {
        display->message(ERROR, "Failed to load bird file");
        return false;
    }
    // An empty image (no store, nothing parsed) would erase the chip and write nothing.
    if (image.blockCount == 0) {
        display->message(ERROR, "Failed to load bird file");
        return false;
    }
    if (image.hasSerialBlock) {
        display->message(ERROR, "Updater does not support offline recovery");
        return false;
    }
    // Without firmware blocks the transfer would write nothing and still look successful.
    if (image.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE).empty()) {
        display->message(ERROR, "Failed to load bird file");
        return false;
    }

    bool result = false;
    if (chipType == 1) {
        result = _recover_firmware_imx(*display, image, serialNumber);
    } else if (chipType == 2) {
        image.DecodeFirmwareBlocks(fingerprint.word);
        result = _recover_firmware_lpc(*display, image, serialPort, sLPC_RATE, fingerprint);
    }
    double now = (double)aTime_GetMSTicks();
    display->message(INFO, "Update time: %.4f sec", (now - start) / 1000.0);
    return result;
}
