// USB transport of the module emulator: an emulated USB device under umockdev, so that the
// library's real libusb code path (enumeration, descriptors, claim, bulk or interrupt
// transfers, halts, time-outs) runs against it. The program must run under
// umockdev-wrapper (qc_test(... WRAPPER umockdev-wrapper LABELS usb)).
//
// libusb learns the device list when its context is made, so add every device a process
// needs before its first USB use (a later device is announced with an "add" uevent, which
// libusb picks up on its own thread a little later).
//
// Transfers are modelled packet by packet: an OUT transfer is one run of bytes to the
// handler; an IN transfer is filled from the bytes given to send() in packets of the
// endpoint's max packet size and ends on a short packet or a full buffer, and a packet that
// does not fit the room left overflows the transfer, as on a real bus.
//
// A device can leave the bus and come back, as a module does that restarts into its loader:
// the handles the host had open fail with "no device" from then on, and it comes back under a
// new device number (with the same or another serial-number string), so the host must find it
// again and open it anew. It comes back on the port it left (a module is not moved to another
// socket while it restarts), so libusb gives it the same port path.
#ifndef MODULE_EMU_USBTRANSPORT_H
#define MODULE_EMU_USBTRANSPORT_H

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "module_emu/Transport.h"

namespace module_emu {

struct UsbDeviceConfig {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string serial;             // the serial-number string as the device reports it
    bool serialReadable = true;     // false: the string request stalls
    uint8_t interfaceClass = 0xFF, interfaceSubclass = 0x88, interfaceProtocol = 0x10;
    bool interruptEndpoints = false;   // interrupt instead of bulk endpoints
    uint16_t maxPacket = 64;
    uint8_t inEndpoint = 0x81, outEndpoint = 0x02;
    bool withInEndpoint = true;
    bool extraInterfaceFirst = false;  // an unrelated interface (class 0x03) before ours
    // Its port on bus 1's root hub, which libusb reports as its port path; 0 takes the next
    // port no device was given. Two devices on the bus at once never share a port.
    uint8_t port = 0;
    // false: its sysfs entry has a name libusb takes no port number from (no port path).
    bool portPath = true;
};

// Faults the device shows from now on (or once, where said).
enum class UsbFault {
    None,
    StallNextOut,      // the next OUT transfer stalls (once)
    StallNextIn,       // the next IN transfer stalls (once)
    TransferErrors,    // every transfer fails with a protocol error
    BusErrors,         // the same, and the transfers in flight fail with it
    Unplugged,         // every transfer fails: no device
    ClaimBusy,         // claiming the interface: busy (another process has it)
    ClaimNoDevice,     // claiming the interface: no device
    ClaimInvalid,      // claiming the interface: any other error
};

// What the host did to a device so far.
struct UsbActivity {
    std::vector<size_t> outTransfers;    // length of each OUT transfer
    std::vector<size_t> inRequests;      // buffer length of each IN transfer
    std::vector<uint8_t> clearedHalts;   // endpoint of each halt cleared
    int claims = 0;
    int releases = 0;
    // Handles the host opened (enumeration opens devices too) and closed. A close is seen
    // when the handle's connection is found gone, at the latest when activity() is asked.
    int opens = 0;
    int closes = 0;
    int overflows = 0;                   // IN transfers that overflowed
};

class UsbTestbed;
class HidDevice;
struct HidDeviceConfig;

class UsbDevice : public Transport {
public:
    ~UsbDevice() override;
    // The configuration it was added with (a replug may change the serial-number string).
    const UsbDeviceConfig& config() const { return config_; }
    // Its device node now; a replug gives it another one.
    std::string devnode() const;
    // Its port on bus 1 (kept across unplug and replug); 0 before it was first on the bus.
    uint8_t port() const;

    // Queues bytes for the host's IN transfers.
    using Transport::send;
    bool send(const uint8_t* data, size_t n) override;

    void setFault(UsbFault fault);
    // The next OUT transfer takes only this many bytes and then stops taking data (the host's
    // transfer times out having sent that many); once.
    void acceptOnlyNext(size_t bytes);
    // The next OUT transfer takes this many bytes (whole packets, say) and then stalls; once.
    void stallAfterNext(size_t bytes);

    // Leaves the bus: every handle the host has open fails with "no device" from now on (its
    // pending transfers too), bytes queued for the host are lost, and the device goes from
    // sysfs with a "remove" uevent. False when it is not on the bus.
    bool unplug();
    // Comes back on the bus under a new device number with an "add" uevent, reporting the
    // serial-number string given (empty: the one it had). False when it is on the bus.
    bool replug(const std::string& serial = std::string());
    bool plugged() const;

    // What the host did so far, taken at one moment (so opens and closes agree, say).
    UsbActivity activity() const;
    size_t queuedForHost() const;

    struct Impl;

private:
    friend class UsbTestbed;
    explicit UsbDevice(const UsbDeviceConfig& config);
    UsbDeviceConfig config_;
    std::unique_ptr<Impl> impl_;
};

class UsbTestbed {
public:
    // The process's one testbed, made on first use.
    static UsbTestbed& instance();
    // False when not running under umockdev-wrapper (or the testbed could not be made).
    bool ok() const;
    const std::string& error() const;
    // Adds a device on bus 1 at its port; nullptr on failure (the port taken, say). The
    // testbed owns it.
    UsbDevice* addDevice(const UsbDeviceConfig& config);
    // Adds a HID device (module_emu/HidDevice.h) as the next hidraw node; nullptr on failure.
    // The testbed owns it.
    HidDevice* addHidDevice(const HidDeviceConfig& config);

private:
    friend class UsbDevice;   // a replug puts it on the bus again
    UsbTestbed();
    ~UsbTestbed();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace module_emu

#endif
