// Emulated hidraw device under umockdev: the two sysfs records hidapi's enumeration needs (the
// hidraw node and its hid parent with HID_ID, HID_NAME, HID_UNIQ and the report descriptor), and
// a handler for the node's reads, writes and ioctls.
#include "module_emu/HidDevice.h"
#include "module_emu/IoctlClients.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <linux/hidraw.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>
#include <umockdev.h>

#include <algorithm>
#include <deque>
#include <mutex>

namespace module_emu {

namespace {

// Vendor page; output reports 1 (16 bytes) and 2 (1024), input reports 3 (4) and 4 (64).
const uint8_t kDefaultDescriptor[] = {
    0x06, 0x00, 0xFF,  // usage page (vendor)
    0x09, 0x01,        // usage
    0xA1, 0x01,        // collection (application)
    0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,  // 0..255, 8 bits
    0x85, 0x01, 0x09, 0x01, 0x95, 0x10, 0x91, 0x02,        // report 1: 16 out
    0x85, 0x02, 0x09, 0x01, 0x96, 0x00, 0x04, 0x91, 0x02,  // report 2: 1024 out
    0x85, 0x03, 0x09, 0x01, 0x95, 0x04, 0x81, 0x02,        // report 3: 4 in
    0x85, 0x04, 0x09, 0x01, 0x95, 0x40, 0x81, 0x02,        // report 4: 64 in
    0xC0,
};

}  // namespace

struct HidDevice::Impl {
    HidDevice* owner;
    std::string node, sys;
    UMockdevIoctlBase* handler = nullptr;
    int master = -1;   // umockdev's side of the node's terminal: one byte per queued report
    int slave = -1;    // our own end of the terminal, to take those bytes back

    mutable std::mutex m;
    ReportHandler onReport;
    std::deque<Report> input;
    int failFrom = 0;
    int writesSinceFault = 0;
    bool onBus = false;
    IoctlClients clients;
    std::vector<Report> writes;
    std::vector<unsigned long> ioctls;

    bool attach(UMockdevTestbed* testbed, int number, std::string* error);
    void seen(UMockdevIoctlClient* client) { clients.seen(client, [](UMockdevIoctlClient*) {}); }
    void queue(const Report& r);
    void onRead(UMockdevIoctlClient* client);
    void onWrite(UMockdevIoctlClient* client);
    void onIoctl(UMockdevIoctlClient* client);
};

void HidDevice::Impl::queue(const Report& r)
{
    input.push_back(r);
    const char b = 'r';
    if (master >= 0 && write(master, &b, 1) != 1) {
        // The host then sees this report only at its next read: no worse than a slow device.
    }
}

void HidDevice::Impl::onRead(UMockdevIoctlClient* client)
{
    std::lock_guard<std::mutex> lock(m);
    seen(client);
    if (!onBus) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    if (input.empty()) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return;
    }
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    Report r = input.front();
    input.pop_front();
    char b;
    if (slave >= 0 && read(slave, &b, 1) != 1) {
        // Nothing to take back: poll will just not have woken for this one.
    }
    size_t n = std::min(r.size(), (size_t)arg->data_len);
    memcpy(arg->data, r.data(), n);
    umockdev_ioctl_client_complete(client, (long)n, 0);
}

void HidDevice::Impl::onWrite(UMockdevIoctlClient* client)
{
    ReportHandler answer;
    Report report;
    {
        std::lock_guard<std::mutex> lock(m);
        seen(client);
        if (!onBus) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return;
        }
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        report.assign(arg->data, arg->data + arg->data_len);
        writes.push_back(report);
        ++writesSinceFault;
        if (failFrom && writesSinceFault >= failFrom) {
            umockdev_ioctl_client_complete(client, -1, EPIPE);
            return;
        }
        answer = onReport;
    }
    // The handler runs unlocked (it may take its own lock, or ask this device); its reports
    // are queued before the write returns, as a device answers before the host looks.
    std::vector<Report> replies;
    if (answer)
        replies = answer(report);
    {
        std::lock_guard<std::mutex> lock(m);
        for (const Report& r : replies)
            queue(r);
    }
    umockdev_ioctl_client_complete(client, (long)report.size(), 0);
}

void HidDevice::Impl::onIoctl(UMockdevIoctlClient* client)
{
    std::lock_guard<std::mutex> lock(m);
    seen(client);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    ioctls.push_back(request);
    if (!onBus) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    if (request == HIDIOCGRDESCSIZE) {
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        UMockdevIoctlData* p = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), nullptr);
        if (!p) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        int size = (int)owner->config_.reportDescriptor.size();
        memcpy(p->data, &size, sizeof size);
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

static gboolean sOnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer impl)
{
    ((HidDevice::Impl*)impl)->onRead(client);
    return TRUE;
}

static gboolean sOnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer impl)
{
    ((HidDevice::Impl*)impl)->onWrite(client);
    return TRUE;
}

static gboolean sOnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer impl)
{
    ((HidDevice::Impl*)impl)->onIoctl(client);
    return TRUE;
}

bool HidDevice::attach(UMockdevTestbed* testbed, int number, std::string* error)
{
    return impl_->attach(testbed, number, error);
}

bool HidDevice::Impl::attach(UMockdevTestbed* testbed, int number, std::string* error)
{
    const HidDeviceConfig& c = owner->config_;
    char hidName[32], ids[40];
    snprintf(hidName, sizeof hidName, "0003:%04X:%04X.%04X", c.vendorId, c.productId, number + 1);
    snprintf(ids, sizeof ids, "0003:%08X:%08X", c.vendorId, c.productId);
    const std::string raw = "hidraw" + std::to_string(number);
    const std::string parent = std::string("/devices/virtual/qc-hid/") + hidName;
    node = "/dev/" + raw;
    sys = parent + "/hidraw/" + raw;
    std::string hex;
    for (uint8_t b : c.reportDescriptor) {
        char h[3];
        snprintf(h, sizeof h, "%02X", b);
        hex += h;
    }
    // The node first, then its parent; without the parent's HID_UNIQ (even empty) or the
    // node's device link hidapi finds nothing.
    const std::string record = "P: " + sys + "\n"
        + "N: " + raw + "\n"
        + "E: DEVNAME=" + node + "\n"
        + "E: SUBSYSTEM=hidraw\nE: MAJOR=240\nE: MINOR=" + std::to_string(number) + "\n"
        + "A: dev=240:" + std::to_string(number) + "\n"
        + "L: device=../../../" + hidName + "\n"
        + "\n"
        + "P: " + parent + "\n"
        + "E: SUBSYSTEM=hid\n"
        + "E: HID_ID=" + ids + "\n"
        + "E: HID_NAME=" + c.name + "\n"
        + "E: HID_UNIQ=\n"
        + "H: report_descriptor=" + hex + "\n";
    GError* err = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &err)) {
        *error = err ? err->message : "add_from_string";
        if (err)
            g_error_free(err);
        return false;
    }
    master = umockdev_testbed_get_dev_fd(testbed, node.c_str());
    if (master < 0) {
        *error = "no terminal behind " + node;
        return false;
    }
    // A child that inherited the master would keep the terminal from ever hanging up.
    fcntl(master, F_SETFD, fcntl(master, F_GETFD) | FD_CLOEXEC);
    const char* pts = ptsname(master);
    slave = pts ? open(pts, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC) : -1;
    if (slave < 0) {
        *error = "cannot open the terminal behind " + node;
        return false;
    }
    // Raw, so that each byte wakes the host's poll on its own and nothing is echoed.
    termios t;
    if (tcgetattr(slave, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
    }
    handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-read", G_CALLBACK(sOnRead), this);
    g_signal_connect(handler, "handle-write", G_CALLBACK(sOnWrite), this);
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(sOnIoctl), this);
    {
        std::lock_guard<std::mutex> lock(m);
        onBus = true;
    }
    if (!umockdev_testbed_attach_ioctl(testbed, node.c_str(), handler, &err)) {
        *error = err ? err->message : "attach_ioctl";
        if (err)
            g_error_free(err);
        std::lock_guard<std::mutex> lock(m);
        onBus = false;
        return false;
    }
    return true;
}

HidDevice::HidDevice(const HidDeviceConfig& config, int) : config_(config), impl_(new Impl)
{
    impl_->owner = this;
    if (config_.reportDescriptor.empty())
        config_.reportDescriptor.assign(kDefaultDescriptor,
                                        kDefaultDescriptor + sizeof kDefaultDescriptor);
}

HidDevice::~HidDevice()
{
    // The testbed's worker thread runs the handlers, each under the lock: taking it orders
    // this teardown after the last one that ran, and none runs once they are cut off.
    {
        std::lock_guard<std::mutex> lock(impl_->m);
        impl_->onBus = false;
        impl_->clients.clear();
    }
    if (impl_->handler) {
        g_signal_handlers_disconnect_by_data(impl_->handler, impl_.get());
        g_object_unref(impl_->handler);
    }
    if (impl_->slave >= 0)
        close(impl_->slave);
}

const std::string& HidDevice::devnode() const
{
    return impl_->node;
}

void HidDevice::setHandler(ReportHandler handler)
{
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->onReport = std::move(handler);
}

void HidDevice::queueInput(const Report& report)
{
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->queue(report);
}

size_t HidDevice::queuedForHost() const
{
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->input.size();
}

void HidDevice::failWritesFrom(int n)
{
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->failFrom = n;
    impl_->writesSinceFault = 0;
}

bool HidDevice::unplug(bool hangUp)
{
    std::lock_guard<std::mutex> lock(impl_->m);
    if (!impl_->onBus)
        return false;
    impl_->onBus = false;
    impl_->input.clear();
    if (hangUp && impl_->master >= 0) {
        // The last master closes, which hangs the terminal up; /dev/null takes the number,
        // as umockdev still owns the descriptor and closes it at the end.
        int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, impl_->master);
            fcntl(impl_->master, F_SETFD, FD_CLOEXEC);
            close(null);
        }
        impl_->master = -1;
    }
    return true;
}

bool HidDevice::plugged() const
{
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->onBus;
}

void HidDevice::reset()
{
    std::lock_guard<std::mutex> lock(impl_->m);
    // Handles of an earlier case are forgotten, so their late close is not counted in this one.
    impl_->clients.clear();
    impl_->input.clear();
    char drain[256];
    while (impl_->slave >= 0 && read(impl_->slave, drain, sizeof drain) > 0) {
    }
    impl_->failFrom = 0;
    impl_->writesSinceFault = 0;
    impl_->writes.clear();
    impl_->ioctls.clear();
}

HidActivity HidDevice::activity() const
{
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->clients.sweep();
    HidActivity a;
    a.opens = impl_->clients.opens;
    a.closes = impl_->clients.closes;
    a.writes = impl_->writes;
    a.ioctls = impl_->ioctls;
    return a;
}

}  // namespace module_emu
