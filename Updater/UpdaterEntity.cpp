#include "UpdaterEntity.h"

#include <cstring>

#include "Log.h"
#include "aLink.h"
#include "aTime.h"
#include "discover.h"
#include "qcusb_driver.h"

using Velmoran::Quillcore::Module;

// Smallest reply (data bytes, command included) each wait reads from.
static const unsigned char sINIT_REPLY = 6;     // load base in bytes 2-5
static const unsigned char sPREPARE_REPLY = 5;  // status, block size
static const unsigned char sDATA_REPLY = 3;     // count taken
static const unsigned char sSUM_REPLY = 7;      // status, device sum
static const unsigned char sWRITE_REPLY = 3;    // status
static const unsigned char sLOAD_REPLY = 2;

static const unsigned int sRECONNECT_ATTEMPTS = 5;
static const u32 sDEFAULT_SERIAL = 0xDEADDEAD;
// The link is looked at this often after REBOOT; the spinner turns every sREBOOT_PASS_MS.
static const unsigned int sREBOOT_POLL_MS = 10;
static const unsigned int sREBOOT_PASS_MS = 250;

static inline u32 sBE32(const unsigned char* p)
{
    return ((u32)p[0] << 24) | ((u32)p[1] << 16) | ((u32)p[2] << 8) | (u32)p[3];
}

// Selects queued UPGRADE replies with the sub-command ref points to.
static unsigned char sStaleReply(const aPacket* packet, const void* ref)
{
    const unsigned char sub = *(const unsigned char*)ref;
    return packet && packet->length >= 2 && packet->data[0] == cmdUPGRADE &&
           packet->data[1] == sub;
}

UpdaterEntity::UpdaterEntity()
    : module(NULL), verifySum(true), noWaitForDrop(false), rebootWaitMs(REBOOT_WAIT_MS), home(),
      hasHome(false), identityBound(false), homePath(), refusedDefault(false), lateReply(-1),
      lateUntil(0)
{
}

UpdaterEntity::~UpdaterEntity() {}

void UpdaterEntity::init(Module* m, unsigned char index, bool sum, bool noWait)
{
    EntityClass::init(m, cmdUPGRADE, index);
    module = m;
    verifySum = sum;
    noWaitForDrop = noWait;
    // Taken now: a connect under the default serial number replaces the module's own.
    if (!identityBound)
        hasHome = m && m->getLinkSpecifier(&home) == aErrNone;
    lateReply = -1;
}

namespace {

// What a USB search under the default serial number and the module's own one finds.
struct UsbSeen {
    u32 own;
    bool ownSeen;
    aUSBPortPath ownPath;
    std::vector<aUSBPortPath> defaults;
};

bool sCollectUsb(const linkSpec* specifier, bool* found, void* ref)
{
    UsbSeen* seen = (UsbSeen*)ref;
    if (specifier->serialNumber == sDEFAULT_SERIAL) {
        seen->defaults.push_back(specifier->t.usb.path);
        *found = true;
    } else if (specifier->serialNumber == seen->own && !seen->ownSeen) {
        seen->ownSeen = true;
        seen->ownPath = specifier->t.usb.path;
        *found = true;
    }
    return true;
}

UsbSeen sSearchUsb(u32 own)
{
    UsbSeen seen{own, false, aUSBPortPath(), {}};
    aDiscovery_EnumerateModules(USB, sCollectUsb, &seen, 0);
    return seen;
}

}  // namespace

void UpdaterEntity::bindIdentity()
{
    if (!module)
        return;
    hasHome = module->getLinkSpecifier(&home) == aErrNone;
    memset(&homePath, 0, sizeof(homePath));
    UsbSeen seen = sSearchUsb(hasHome ? home.serialNumber : 0);
    if (hasHome && home.type == USB) {
        // Found again under its own serial number wherever it is.
        home.t.usb.atPath = 0;
        homePath = home.t.usb.path.count ? home.t.usb.path : seen.ownPath;
    }
    defaultsAtBinding = seen.defaults;
    identityBound = true;
    Log::log(DEBUG_Network2,
             "NETWORK: Module bound at USB port path of %d ports; %d device(s) "
             "under the default serial number\n",
             (int)homePath.count, (int)defaultsAtBinding.size());
}

// A device without a port path, or one among devices without, cannot be told apart.
bool UpdaterEntity::_wasThereAtBinding(const aUSBPortPath& path) const
{
    for (const aUSBPortPath& before : defaultsAtBinding)
        if (before.count == 0 || path.count == 0 || qcusb_same_port_path(&before, &path))
            return true;
    return false;
}

aErr UpdaterEntity::_connectDefault(bool* refused)
{
    if (!identityBound)
        return module->connect(USB, sDEFAULT_SERIAL);
    UsbSeen seen = sSearchUsb(0);
    const aUSBPortPath* pick = NULL;
    if (homePath.count) {
        for (const aUSBPortPath& path : seen.defaults)
            if (qcusb_same_port_path(&path, &homePath))
                pick = &path;
    } else if (seen.defaults.size() == 1 && !_wasThereAtBinding(seen.defaults[0])) {
        pick = &seen.defaults[0];
    }
    if (!pick) {
        if (!seen.defaults.empty()) {
            *refused = true;
            Log::log(DEBUG_Network2,
                     "NETWORK: %d device(s) under the default serial number, none of them "
                     "this module's\n",
                     (int)seen.defaults.size());
        }
        return aErrNotFound;
    }
    linkSpec specifier;
    memset(&specifier, 0, sizeof(specifier));
    specifier.type = USB;
    specifier.serialNumber = sDEFAULT_SERIAL;
    specifier.t.usb.usbId = sDEFAULT_SERIAL;
    specifier.t.usb.path = *pick;
    // The sole device without a path is taken by its serial number.
    specifier.t.usb.atPath = pick->count ? 1 : 0;
    return module->connectFromSpec(specifier);
}

aErr UpdaterEntity::_request(unsigned char replySub, unsigned char length,
                             const unsigned char* payload)
{
    // A reply that came after its wait gave up is still queued and would be taken by the
    // next wait that matches it.
    if (module && module->getLink()) {
        aLinkId id = module->getLink()->getLinkId();
        // One that is still on its way would be taken instead of this request's reply (a
        // WRITE's STATUS reply for the PREPARE of its retry), so it is let in first.
        // Only after a wait gave up: the DATA loop reads no clock per request.
        if (lateReply >= 0) {
            u64 now = aTime_GetMSTicks();
            if (id && lateReply == replySub && now < lateUntil) {
                aPacket* packet =
                    aLink_AwaitFirst(id, sStaleReply, &replySub, (unsigned long)(lateUntil - now));
                if (packet)
                    aPacket_Destroy(&packet);
            }
            if (lateReply == replySub || now >= lateUntil)
                lateReply = -1;
        }
        if (id)
            aLink_DrainPackets(id, sStaleReply, &replySub);
    }
    return sendPacket(cmdUPGRADE, length, payload);
}

aErr UpdaterEntity::_await(unsigned char sub, unsigned char* reply, unsigned char* length)
{
    unsigned char match[2] = {cmdUPGRADE, sub};
    memset(reply, 0, aPACKETMAXDATA);
    *length = 2;
    aErr err = receivePacket(match, length, reply);
    if (err != aErrNone)
        *length = 0;
    if (err == aErrTimeout) {
        lateReply = sub;
        lateUntil = aTime_GetMSTicks() + LATE_REPLY_WAIT_MS;
    }
    return err;
}

aErr UpdaterEntity::LoaderInit()
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
    unsigned char payload[1] = {val_UPGRADE_INIT};
    aErr err = _request(val_UPGRADE_INIT, 1, payload);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", err);
        return err;
    }
    unsigned char reply[aPACKETMAXDATA];
    unsigned char length;
    err = _await(val_UPGRADE_INIT, reply, &length);
    if (err != aErrNone)
        return err;
    if (length < sINIT_REPLY)
        return aErrPacket;
    u32 base = sBE32(&reply[2]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", (int)base, base);
    return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const unsigned char* block, unsigned int length,
                                    unsigned char flags, unsigned short& blockSize)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", (int)length, flags,
             (int)blockSize);
    if (!block || length < 4)
        return aErrParam;
    unsigned char payload[6] = {val_UPGRADE_PREPARE, flags, block[0], block[1], block[2], block[3]};
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n",
             flags, block[0], block[1], block[2], block[3]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", (int)sBE32(block));
    aErr err = _request(val_UPGRADE_STATUS, sizeof payload, payload);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", err);
        return err;
    }
    unsigned char reply[aPACKETMAXDATA];
    unsigned char got;
    err = _await(val_UPGRADE_STATUS, reply, &got);
    // A refusal is one even without a block size; an acceptance without one is as good as
    // no reply.
    if (err == aErrNone && got < sPREPARE_REPLY)
        err = got > 2 && reply[2] != 0 ? aErrInvalidOption : aErrTimeout;
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return err;
    }
    if (reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return aErrInvalidOption;
    }
    // Delivered as it is, 0 too: a loader block goes without WRITE and has no use for it.
    blockSize = (unsigned short)((reply[3] << 8) | reply[4]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n",
             (int)blockSize);
    return aErrNone;
}

aErr UpdaterEntity::_block_transfer(const unsigned char* data, unsigned int length,
                                    unsigned int& counter)
{
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
    u32 sum = 0;
    unsigned int remaining = length;
    unsigned int resends = 0;
    aErr err = aErrNone;
    unsigned char packet[2 + DATA_BYTES];
    unsigned char reply[aPACKETMAXDATA];
    unsigned char got;
    packet[0] = val_UPGRADE_DATA;
    while (remaining > 0 && err == aErrNone) {
        unsigned int n = remaining < DATA_BYTES ? remaining : DATA_BYTES;
        memcpy(&packet[1], data, n);
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n",
                 (int)n);
        err = _request(val_UPGRADE_DATA, (unsigned char)(n + 1), packet);
        if (err != aErrNone) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", err);
            return err;
        }
        if (_await(val_UPGRADE_DATA, reply, &got) != aErrNone || got < sDATA_REPLY) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
            err = aErrPacket;
            break;
        }
        if (reply[2] != n) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n",
                     (int)reply[2], (int)n);
            // The same bytes go again, a bounded number of times.
            if (++resends > MAX_DATA_RESENDS) {
                Log::log(DEBUG_Network_FIRM,
                         "\nNETWORK: DATA packet not taken after %u resends.\n", MAX_DATA_RESENDS);
                err = aErrPacket;
            }
            continue;
        }
        resends = 0;
        for (unsigned int i = 0; i < n; i++)
            sum += data[i];
        data += n;
        remaining -= n;
        counter += 1;
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                 (int)n, (int)remaining, (int)length);
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", (int)(length - remaining),
             (int)length);
    if (err != aErrNone || !verifySum)
        return err;
    return _verify_sum(sum, counter);
}

aErr UpdaterEntity::_verify_sum(u32 sum, unsigned int counter)
{
    unsigned char reply[aPACKETMAXDATA];
    unsigned char got;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
    unsigned char sumRequest[1] = {val_UPGRADE_SUM};
    aErr err = _request(val_UPGRADE_STATUS, 1, sumRequest);
    if (err != aErrNone)
        return err;
    if (_await(val_UPGRADE_STATUS, reply, &got) != aErrNone || got < sSUM_REPLY) {
        // A cut-off reply has no sum to compare: never a good one.
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return aErrPacket;
    }
    u32 deviceSum = sBE32(&reply[3]);
    if (reply[2] != 0 || deviceSum != sum) {
        Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", reply[2], sum,
                 deviceSum);
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n",
             reply[2], sum, deviceSum, (int)counter);
    return aErrNone;
}

aErr UpdaterEntity::LoaderTransfer(const unsigned char* block, unsigned int length)
{
    if (!block || length < 4)
        return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", sBE32(block),
             (int)(length - 4));
    unsigned int counter = 0;
    return _block_transfer(block + 4, length - 4, counter);
}

aErr UpdaterEntity::FirmwareTransfer(const unsigned char* block, unsigned int length,
                                     unsigned short blockSize, UpdaterDisplayInterface& display)
{
    if (!block || length < 4)
        return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", sBE32(block),
             (int)(length - 4));
    aErr err = aErrNone;
    if (blockSize == 0)
        err = aErrInvalidOption;  // no piece could ever advance
    unsigned int remaining = length - 4;
    const unsigned char* at = block + 4;
    unsigned int counter = 0;
    display.display_progress(true);
    while (remaining > 0 && err == aErrNone) {
        unsigned int piece = remaining < blockSize ? remaining : blockSize;
        err = _block_transfer(at, piece, counter);
        if (err != aErrNone)
            break;
        at += piece;
        remaining -= piece;
        counter += 1;
        display.update_progress((double)(length - remaining) / (double)length, NULL);
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                 (int)piece, (int)remaining, (int)length);
        err = FirmwareWrite(piece);
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n",
             (int)(length - 4 - remaining), (int)(length - 4));
    display.display_progress(false);
    return err;
}

aErr UpdaterEntity::FirmwareWrite(unsigned int count)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
             (int)count);
    unsigned char payload[3] = {val_UPGRADE_WRITE, (unsigned char)(count >> 8),
                                (unsigned char)count};
    aErr err = _request(val_UPGRADE_STATUS, sizeof payload, payload);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", err,
                 aError_GetErrorText(err));
        return err;
    }
    unsigned char reply[aPACKETMAXDATA];
    unsigned char got;
    if (_await(val_UPGRADE_STATUS, reply, &got) != aErrNone || got < sWRITE_REPLY ||
        reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return aErrNone;
}

aErr UpdaterEntity::LoaderStart()
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
    unsigned char payload[1] = {val_UPGRADE_LOAD};
    aErr err = _request(val_UPGRADE_LOAD, 1, payload);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", err);
        return err;
    }
    unsigned char reply[aPACKETMAXDATA];
    unsigned char got;
    err = _await(val_UPGRADE_LOAD, reply, &got);
    if (err == aErrNone && got >= sLOAD_REPLY) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return aErrNone;
    }
    // The module may have restarted into the loader before it answered.
    err = _reconnect(500);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", err,
                 aError_GetErrorText(err));
        return aErrTimeout;
    }
    err = _await(val_UPGRADE_LOAD, reply, &got);
    if (err == aErrNone && got >= sLOAD_REPLY) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
        return aErrNone;
    }
    if (err == aErrNone)
        err = aErrTimeout;
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", err,
             aError_GetErrorText(err));
    return aErrTimeout;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display, bool* linkStayedUp)
{
    if (linkStayedUp)
        *linkStayedUp = false;
    Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    unsigned char payload[1] = {val_UPGRADE_REBOOT};
    aErr result = sendPacket(cmdUPGRADE, 1, payload);
    if (result != aErrNone)
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");

    // Every block has been verified by now; the wait only shows the module going away, so
    // it ends on its bound rather than hang on a link that stays up.
    u64 start = aTime_GetMSTicks();
    u64 nextPass = start;
    while (module && module->isConnected()) {
        u64 now = aTime_GetMSTicks();
        if (now - start >= rebootWaitMs) {
            Log::log(DEBUG_Network_FIRM,
                     "NETWORK: Link did not drop within %u ms after REBOOT; going on.\n",
                     rebootWaitMs);
            if (linkStayedUp)
                *linkStayedUp = true;
            break;
        }
        if (now >= nextPass) {
            display.update_spinner(true, "Verifying Update");
            Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
            Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
            nextPass = now + sREBOOT_PASS_MS;
            if (noWaitForDrop) {
                aTime_MSSleep(sREBOOT_PASS_MS);
                break;
            }
        }
        // Looked at often so a dropped link ends the wait at once.
        aTime_MSSleep(sREBOOT_POLL_MS);
    }
    display.update_spinner(false, "Verifying Update");
    return result;
}

aErr UpdaterEntity::_reconnect(unsigned int delay)
{
    return Reconnect(sRECONNECT_ATTEMPTS, delay);
}

aErr UpdaterEntity::Reconnect(unsigned int attempts, unsigned int delay)
{
    if (!module)
        return aErrResource;
    module->disconnect();
    // Nothing of the old link comes on the new one.
    lateReply = -1;
    refusedDefault = false;
    bool refused = false;
    aErr err = aErrConnection;
    // Both numbers in every attempt: a module may come back under either, at any time.
    for (unsigned int attempt = 1; attempt <= attempts; attempt++) {
        for (int asDefault = 0; asDefault < 2; asDefault++) {
            if (asDefault) {
                Log::log(DEBUG_Network2,
                         "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n",
                         (int)attempt, (int)attempts);
                err = _connectDefault(&refused);
            } else {
                Log::log(DEBUG_Network2, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n",
                         (int)attempt, (int)attempts);
                err = hasHome ? module->connectFromSpec(home) : module->reconnect();
            }
            // Connected is what counts: a module that did not report its address is still there.
            if (module->isConnected()) {
                Log::log(DEBUG_Network2, "NETWORK: Reconnected to device\n");
                return aErrNone;
            }
            if (err == aErrNone)
                err = aErrConnection;
            module->disconnect();
            Log::log(DEBUG_Network2, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
                     (int)delay);
            aTime_MSSleep(delay);
        }
    }
    refusedDefault = refused;
    return err;
}
