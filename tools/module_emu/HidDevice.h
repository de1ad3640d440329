// An emulated USB HID device on the USB testbed (umockdev): a hidraw node with its hid parent in
// sysfs, so that the real hidapi (hidraw back end) enumerates it, opens it, writes output reports
// to it and reads input reports from it. The program must run under umockdev-wrapper.
//
// umockdev makes the node a pseudo-terminal and hands the host's reads, writes and ioctls to
// the handler here; it does not see poll(), which hidapi waits in. So every queued input report
// also puts one byte into the terminal (and a report handed out takes one back): the host's
// poll wakes for each report and a time-out with nothing queued really elapses.
#ifndef MODULE_EMU_HIDDEVICE_H
#define MODULE_EMU_HIDDEVICE_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct _UMockdevTestbed;

namespace module_emu {

struct HidDeviceConfig {
    uint16_t vendorId = 0x1FC9;
    uint16_t productId = 0x0130;
    std::string name = "Emulated HID device";
    // Empty: output reports 1 (16 bytes) and 2 (1024), input reports 3 (4) and 4 (64).
    std::vector<uint8_t> reportDescriptor;
};

// What the host did to a HID device so far. A close is seen when the handle's connection is
// found gone, at the latest when the activity is asked.
struct HidActivity {
    int opens = 0;
    int closes = 0;
    std::vector<std::vector<uint8_t>> writes;   // every write while on the bus, failed too
    std::vector<unsigned long> ioctls;          // request of every ioctl
};

class HidDevice {
public:
    using Report = std::vector<uint8_t>;
    // Takes one output report as written (report id first); returns the input reports it
    // causes, queued for the host in order. Runs on umockdev's thread.
    using ReportHandler = std::function<std::vector<Report>(const Report&)>;

    ~HidDevice();
    HidDevice(const HidDevice&) = delete;
    HidDevice& operator=(const HidDevice&) = delete;

    const HidDeviceConfig& config() const { return config_; }
    const std::string& devnode() const;

    void setHandler(ReportHandler handler);
    // Queues an input report for the host's reads.
    void queueInput(const Report& report);
    size_t queuedForHost() const;
    // Writes fail (EPIPE) from the n-th one on, counted from now (1 = the next); 0 never.
    void failWritesFrom(int n);

    // Leaves the bus for good: every read, write and ioctl fails with "no device". With
    // hangUp the terminal behind the node is hung up too, so a host waiting in poll() wakes
    // at once; without it (for a host that is a session leader, which the hang-up would kill)
    // the host only sees its next call fail.
    bool unplug(bool hangUp = true);
    bool plugged() const;

    // Forgets the record, the handles seen so far and the queued reports and ends any write
    // fault, for the next case.
    void reset();

    // What the host did so far, taken at one moment.
    HidActivity activity() const;

    struct Impl;

private:
    friend class UsbTestbed;
    HidDevice(const HidDeviceConfig& config, int number);
    // Puts it in the testbed as hidraw<number>; false with the reason in `error`.
    bool attach(_UMockdevTestbed* testbed, int number, std::string* error);
    HidDeviceConfig config_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace module_emu

#endif
