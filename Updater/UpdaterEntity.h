// The host side of the UPGRADE protocol (entity command 0x5F): a loader goes into a running
// module (INIT, PREPARE, DATA with a byte-sum check, LOAD), then the loader takes the firmware
// blocks in device-sized pieces (PREPARE, DATA, SUM, WRITE) and reboots into them (REBOOT).
// One method per exchange; every wait is bounded and a reply too short for what is read from
// it counts as no reply.
#ifndef _UpdaterEntity_H_
#define _UpdaterEntity_H_

#include <vector>

#include "Entity.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"

#define cmdUPGRADE 95

#define val_UPGRADE_INIT 0
#define val_UPGRADE_DATA 1
#define val_UPGRADE_LOAD 2
#define val_UPGRADE_PREPARE 3
#define val_UPGRADE_SUM 4
#define val_UPGRADE_WRITE 5
#define val_UPGRADE_REBOOT 6
#define val_UPGRADE_STATUS 7

class UpdaterEntity : public Velmoran::Quillcore::EntityClass {
public:
    // Image bytes one DATA packet carries (with command and sub-command: a full packet).
    static const unsigned int DATA_BYTES = 26;
    // Resends of one DATA packet whose count the device does not confirm, then aErrPacket.
    static const unsigned int MAX_DATA_RESENDS = 10;
    // How long LoaderReboot waits for the link to drop.
    static const unsigned int REBOOT_WAIT_MS = 15000;
    // How much longer a reply whose wait gave up may still come before the next request.
    static const unsigned int LATE_REPLY_WAIT_MS = 1000;

    UpdaterEntity();
    ~UpdaterEntity() override;

    // Binds the entity to the module's UPGRADE entity (command 95) at index. verifySum sends
    // a SUM after each block transfer; noWaitForDrop makes LoaderReboot look once instead of
    // waiting for the link to drop (a module behind a router: the router's link stays up).
    void init(Velmoran::Quillcore::Module* module, unsigned char index, bool verifySum,
              bool noWaitForDrop);

    // INIT. The send's error; aErrTimeout without a reply; aErrPacket for a reply without
    // the load base.
    aErr LoaderInit();
    // LOAD. aErrNone when the loader confirms (at once, or after a reconnect); aErrTimeout for
    // every other outcome, which a loader that starts silently also gives.
    aErr LoaderStart();
    // PREPARE of one block (4 address bytes, then its bytes; length counts all). Delivers the
    // device's block size (0 included: only a firmware block needs one). aErrTimeout without
    // a usable reply; aErrInvalidOption when the device refuses the block.
    aErr TransferPrepare(const unsigned char* block, unsigned int length, unsigned char flags,
                         unsigned short& blockSize);
    // Sends a loader block's bytes in DATA packets with one SUM at the end.
    aErr LoaderTransfer(const unsigned char* block, unsigned int length);
    // Sends a firmware block in pieces of blockSize bytes, each DATA, SUM and WRITE, with the
    // progress bar. aErrInvalidOption for block size 0.
    aErr FirmwareTransfer(const unsigned char* block, unsigned int length,
                          unsigned short blockSize, UpdaterDisplayInterface& display);
    // WRITE of the count bytes sent since the last PREPARE or WRITE; aErrInvalidOption when
    // not confirmed.
    aErr FirmwareWrite(unsigned int count);
    // REBOOT, then waits (at most REBOOT_WAIT_MS) for the module's link to drop. The send's
    // result; linkStayedUp, when given, tells whether the whole wait passed with the link up
    // (never with noWaitForDrop, which does not wait).
    aErr LoaderReboot(UpdaterDisplayInterface& display, bool* linkStayedUp = nullptr);

    // Binds the module's own identity for the rest of the entity's life, while the module is
    // reached as itself (an update binds it before LOAD): its link specifier, its USB port path
    // when one can be read, and the devices that answer under the default serial number
    // 0xDEADDEAD now. From then on a search takes a device under the default serial number
    // only when it is provably this module: at the module's own port path, or, when the module
    // has none, the only such device on the bus and one that was not there at binding.
    // Without a binding (a blank module reached as 0xDEADDEAD on purpose) any such device is
    // taken.
    void bindIdentity();
    // True when the last search failed and left alone a device under the default serial number
    // that could not be told from another module.
    bool refusedDefaultDevice() const { return refusedDefault; }

    // Finds the module again after its link dropped or failed (a module that restarts into its
    // loader leaves the bus and comes back, under its own serial number or the default one,
    // 0xDEADDEAD): lets the link go, then makes up to attempts attempts, each first under the
    // module's own link specifier (the bound identity's, else the one it had at init) and then
    // under the default serial number over USB (see bindIdentity), sleeping delay ms after
    // each failed try. aErrNone once connected, else the last try's error; attempts x 2 x
    // delay ms (and the USB searches) bound it.
    aErr Reconnect(unsigned int attempts, unsigned int delay);

    // The bound on LoaderReboot's wait (tests shorten it).
    void setRebootWait(unsigned int milliseconds) { rebootWaitMs = milliseconds; }

protected:
    // The exchange's two halves, the only parts that touch the link (a test can stand in
    // for the device by replacing them).
    // Drops queued replies the wait for sub's reply would take, then sends [0x5F][payload].
    // After a wait for sub's reply that gave up, first lets that reply come (until
    // LATE_REPLY_WAIT_MS after the wait ended).
    virtual aErr _request(unsigned char replySub, unsigned char length,
                          const unsigned char* payload);
    // Waits for [0x5F sub]; reply holds 28 bytes, zeroed beyond the reply's length.
    virtual aErr _await(unsigned char sub, unsigned char* reply, unsigned char* length);

private:
    aErr _block_transfer(const unsigned char* data, unsigned int length, unsigned int& counter);
    // The module's sum of the block just sent, against sum; counter is the block's packet count.
    aErr _verify_sum(u32 sum, unsigned int counter);
    aErr _reconnect(unsigned int delay);
    // One try under the default serial number with the bound identity's rules; sets
    // refusedDefault's cause when it leaves a device alone.
    aErr _connectDefault(bool* refused);
    bool _wasThereAtBinding(const aUSBPortPath& path) const;

    Velmoran::Quillcore::Module* module;
    bool verifySum;
    bool noWaitForDrop;
    unsigned int rebootWaitMs;
    // How the module was reached when the entity was bound: what Reconnect looks for first.
    linkSpec home;
    bool hasHome;
    // The identity bindIdentity took: the module's USB port path (count 0: none), and the port
    // paths of the devices under the default serial number at that moment.
    bool identityBound;
    aUSBPortPath homePath;
    std::vector<aUSBPortPath> defaultsAtBinding;
    bool refusedDefault;
    // Sub-command of the last reply that did not come within its wait, -1 for none, and until
    // when it may still come: a device busy past the wait still sends it, ahead of the reply
    // to the next request.
    int lateReply;
    u64 lateUntil;
};

#endif
