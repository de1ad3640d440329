// Emulated USB device under umockdev: sysfs attributes and descriptors for enumeration, and an
// ioctl handler that plays the usbfs side of libusb's calls (capabilities, claim, release,
// clear halt, URB submit, reap and discard). Each time the device comes on the bus it gets a
// node and a handler of its own; the handlers of earlier appearances stay and answer every
// call with ENODEV, as usbfs does for a handle whose device is gone.
#include "module_emu/UsbTransport.h"

#include "module_emu/HidDevice.h"
#include "module_emu/IoctlClients.h"

#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <thread>

namespace module_emu {

using Clock = std::chrono::steady_clock;

// A reap that finds nothing is held this long before it answers "nothing yet", so that
// libusb's event loop (which sees the emulated node always writable) does not spin.
static const auto kReapHold = std::chrono::milliseconds(2);

namespace {

struct Urb {
    UMockdevIoctlClient* client;
    UMockdevIoctlData* data;     // the urb; modified locally, synced back when reaped
    UMockdevIoctlData* buffer;   // its data buffer (NULL for an empty one)
    bool done = false;
    bool stuck = false;          // OUT transfer that stopped taking data: ends by discard only
    usbdevfs_urb* urb() const { return (usbdevfs_urb*)data->data; }
};

struct Reap {
    UMockdevIoctlClient* client;
    UMockdevIoctlData* slot;
    Clock::time_point since;
};

std::vector<uint8_t> utf16(const std::string& s)
{
    std::vector<uint8_t> d = {(uint8_t)(2 + 2 * s.size()), 3};
    for (char c : s) {
        d.push_back((uint8_t)c);
        d.push_back(0);
    }
    return d;
}

}  // namespace

struct UsbDevice::Impl {
    // One appearance on the bus: its node, sysfs path and ioctl handler.
    struct Plug {
        Impl* impl;
        std::string node, sys;
        UMockdevIoctlBase* handler = nullptr;
    };

    UsbDevice* owner;
    std::vector<uint8_t> deviceDescriptor, configDescriptor;

    mutable std::mutex m;
    std::condition_variable wake;
    std::deque<uint8_t> toHost;
    std::deque<Urb> urbs;
    std::vector<Reap> reaps;
    UsbFault fault = UsbFault::None;
    bool limitNext = false;
    size_t limitBytes = 0;
    bool stallAfter = false;    // the limited transfer ends in a stall instead of a time-out
    std::vector<size_t> outs, ins;
    std::vector<uint8_t> halts;
    int claims = 0, releases = 0, overflows = 0;
    bool stop = false;
    std::thread completer;

    std::string serial;                       // the serial-number string reported now
    uint8_t port = 0;                         // its port on bus 1, set when first plugged
    std::vector<std::unique_ptr<Plug>> plugs; // every appearance so far; the last is current
    bool onBus = false;
    // The host's handles (one per open of a node), kept until their connection is found gone.
    IoctlClients clients;

    void buildDescriptors(const UsbDeviceConfig& c);
    void onIoctl(UMockdevIoctlClient* client, const Plug* plug);
    void forget(UMockdevIoctlClient* client);
    void sweep() { clients.sweep([this](UMockdevIoctlClient* c) { forget(c); }); }
    void gone(UMockdevIoctlClient* client, unsigned long request);
    void submit(UMockdevIoctlClient* client, std::vector<uint8_t>* delivered);
    void control(Urb& u);
    bool fillIn(Urb& u);
    bool finishOne(UMockdevIoctlClient* client, UMockdevIoctlData* slot);
    // The ioctls that take more than a count and a completion (called with m held).
    void capabilities(UMockdevIoctlClient* client);
    void discard(UMockdevIoctlClient* client);
    void reap(UMockdevIoctlClient* client);
    bool endedByFault(Urb& u, usbdevfs_urb* r, UsbFault stallOnce);
    void completerLoop();
};

void UsbDevice::Impl::buildDescriptors(const UsbDeviceConfig& c)
{
    deviceDescriptor = {18, 1, 0x00, 0x02, 0, 0, 0, 64,
                        (uint8_t)c.vendorId, (uint8_t)(c.vendorId >> 8),
                        (uint8_t)c.productId, (uint8_t)(c.productId >> 8),
                        0x00, 0x01, 1, 2, 3, 1};
    const uint8_t type = c.interruptEndpoints ? 3 : 2;
    std::vector<uint8_t> body;
    uint8_t interfaces = 0;
    if (c.extraInterfaceFirst) {
        const uint8_t hid[] = {9, 4, interfaces, 0, 1, 0x03, 0, 0, 0, 7, 5, 0x83, 3, 8, 0, 10};
        body.insert(body.end(), hid, hid + sizeof(hid));
        interfaces++;
    }
    uint8_t endpoints = (uint8_t)(1 + (c.withInEndpoint ? 1 : 0));
    const uint8_t ours[] = {9, 4, interfaces, 0, endpoints, c.interfaceClass, c.interfaceSubclass,
                            c.interfaceProtocol, 0};
    body.insert(body.end(), ours, ours + sizeof(ours));
    interfaces++;
    if (c.withInEndpoint) {
        const uint8_t in[] = {7, 5, c.inEndpoint, type, (uint8_t)c.maxPacket,
                              (uint8_t)(c.maxPacket >> 8), 1};
        body.insert(body.end(), in, in + sizeof(in));
    }
    const uint8_t out[] = {7, 5, c.outEndpoint, type, (uint8_t)c.maxPacket,
                           (uint8_t)(c.maxPacket >> 8), 1};
    body.insert(body.end(), out, out + sizeof(out));
    size_t total = 9 + body.size();
    configDescriptor = {9, 2, (uint8_t)total, (uint8_t)(total >> 8), interfaces, 1, 0, 0x80, 50};
    configDescriptor.insert(configDescriptor.end(), body.begin(), body.end());
}

struct UsbTestbed::Impl {
    UMockdevTestbed* testbed = nullptr;
    std::string error;
    std::vector<std::unique_ptr<UsbDevice>> devices;
    std::vector<std::unique_ptr<HidDevice>> hidDevices;
    int nextDevnum = 2;
    int nextPort = 0;
    std::mutex m;

    bool plug(UsbDevice* dev);
};

static void sComplete(UMockdevIoctlClient* client, long result, int err)
{
    umockdev_ioctl_client_complete(client, result, err);
}

// Reads an unsigned int the ioctl argument points to.
static bool sArgUInt(UMockdevIoctlClient* client, unsigned* value)
{
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* p = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
    if (!p)
        return false;
    memcpy(value, p->data, sizeof(unsigned));
    return true;
}

void UsbDevice::Impl::control(Urb& u)
{
    usbdevfs_urb* r = u.urb();
    uint8_t* buf = u.buffer ? u.buffer->data : nullptr;
    r->actual_length = 0;
    r->status = 0;
    if (!buf || r->buffer_length < 8)
        return;
    const uint8_t requestType = buf[0], request = buf[1];
    const unsigned value = buf[2] | (buf[3] << 8), length = buf[6] | (buf[7] << 8);
    if (requestType != 0x80 || request != 6)
        return;   // no data stage: accepted
    std::vector<uint8_t> d;
    const unsigned kind = value >> 8, index = value & 0xFF;
    if (kind == 1) {
        d = deviceDescriptor;
    } else if (kind == 2 && index == 0) {
        d = configDescriptor;
    } else if (kind == 3 && index == 0) {
        d = {4, 3, 0x09, 0x04};
    } else if (kind == 3 && index == 1) {
        d = utf16("Velmoran");
    } else if (kind == 3 && index == 2) {
        d = utf16("Module emulator");
    } else if (kind == 3 && index == 3 && owner->config_.serialReadable) {
        d = utf16(serial);
    } else {
        r->status = -EPIPE;
        return;
    }
    size_t n = std::min<size_t>({d.size(), length, (size_t)r->buffer_length - 8});
    memcpy(buf + 8, d.data(), n);
    r->actual_length = (int)n;
}

// The faults a bulk or interrupt transfer meets before any data moves (a stall of this
// direction only once); true when one of them ended the transfer.
bool UsbDevice::Impl::endedByFault(Urb& u, usbdevfs_urb* r, UsbFault stallOnce)
{
    if (fault == UsbFault::Unplugged) {
        r->status = -ENODEV;
    } else if (fault == UsbFault::TransferErrors || fault == UsbFault::BusErrors) {
        r->status = -EPROTO;
    } else if (fault == stallOnce) {
        fault = UsbFault::None;
        r->status = -EPIPE;
    } else {
        return false;
    }
    u.done = true;
    return true;
}

void UsbDevice::Impl::submit(UMockdevIoctlClient* client, std::vector<uint8_t>* delivered)
{
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (!data) {
        sComplete(client, -1, EFAULT);
        return;
    }
    usbdevfs_urb* r = (usbdevfs_urb*)data->data;
    UMockdevIoctlData* buffer = nullptr;
    if (r->buffer_length > 0) {
        buffer = umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer),
                                             (gsize)r->buffer_length, nullptr);
        if (!buffer) {
            sComplete(client, -1, EFAULT);
            return;
        }
    }
    Urb u;
    u.client = (UMockdevIoctlClient*)g_object_ref(client);
    u.data = (UMockdevIoctlData*)g_object_ref(data);
    u.buffer = buffer;
    r->status = 0;
    r->actual_length = 0;
    if (r->type == USBDEVFS_URB_TYPE_CONTROL) {
        control(u);
        u.done = true;
    } else if (!(r->endpoint & 0x80)) {
        outs.push_back((size_t)r->buffer_length);
        if (endedByFault(u, r, UsbFault::StallNextOut)) {
            // no byte reaches the device
        } else if (limitNext) {
            limitNext = false;
            size_t k = std::min(limitBytes, (size_t)r->buffer_length);
            delivered->assign(buffer->data, buffer->data + k);
            r->actual_length = (int)k;
            if (stallAfter) {
                // The packets before the stall were taken (and acknowledged) by the device.
                r->status = -EPIPE;
                u.done = true;
            } else {
                u.stuck = true;
            }
        } else {
            if (buffer)
                delivered->assign(buffer->data, buffer->data + r->buffer_length);
            r->actual_length = r->buffer_length;
            u.done = true;
        }
    } else {
        ins.push_back((size_t)r->buffer_length);
        endedByFault(u, r, UsbFault::StallNextIn);
    }
    urbs.push_back(u);
    sComplete(client, 0, 0);
}

// Fills a waiting IN transfer from the queued bytes, packet by packet.
bool UsbDevice::Impl::fillIn(Urb& u)
{
    usbdevfs_urb* r = u.urb();
    if (toHost.empty() || !u.buffer)
        return false;
    const size_t mps = owner->config_.maxPacket ? owner->config_.maxPacket : 64;
    size_t room = (size_t)r->buffer_length, actual = 0;
    while (!toHost.empty()) {
        size_t packet = std::min(mps, toHost.size());
        if (packet > room) {
            // The device sent more than the buffer had room for: babble.
            toHost.erase(toHost.begin(), toHost.begin() + (long)packet);
            r->status = -EOVERFLOW;
            overflows++;
            break;
        }
        std::copy(toHost.begin(), toHost.begin() + (long)packet, u.buffer->data + actual);
        toHost.erase(toHost.begin(), toHost.begin() + (long)packet);
        actual += packet;
        room -= packet;
        if (packet < mps || room == 0)
            break;
    }
    r->actual_length = (int)actual;
    u.done = true;
    return true;
}

// Hands the oldest finished transfer of this client to a reap; false when there is none.
bool UsbDevice::Impl::finishOne(UMockdevIoctlClient* client, UMockdevIoctlData* slot)
{
    for (auto it = urbs.begin(); it != urbs.end(); ++it) {
        if (it->client != client)
            continue;
        bool in = (it->urb()->endpoint & 0x80) && it->urb()->type != USBDEVFS_URB_TYPE_CONTROL;
        if (!it->done && !(in && !it->stuck && fillIn(*it)))
            continue;
        Urb u = *it;
        urbs.erase(it);
        umockdev_ioctl_data_set_ptr(slot, 0, u.data);
        sComplete(client, 0, 0);
        g_object_unref(u.data);
        g_object_unref(u.client);
        return true;
    }
    return false;
}

// The device of this handle is gone: every call fails with ENODEV, except that a reap still
// hands out the handle's transfers (failed with "no device" at the unplug).
void UsbDevice::Impl::gone(UMockdevIoctlClient* client, unsigned long request)
{
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
        if (slot && finishOne(client, slot))
            return;
    }
    sComplete(client, -1, ENODEV);
}

void UsbDevice::Impl::onIoctl(UMockdevIoctlClient* client, const Plug* plug)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    std::vector<uint8_t> delivered;
    {
        std::unique_lock<std::mutex> lock(m);
        clients.seen(client, [this](UMockdevIoctlClient* c) { forget(c); });
        if (!onBus || plug != plugs.back().get()) {
            gone(client, request);
            return;
        }
        switch (request) {
        case USBDEVFS_GET_CAPABILITIES:
            capabilities(client);
            break;
        case USBDEVFS_CLAIMINTERFACE: {
            claims++;
            int err = fault == UsbFault::ClaimBusy ? EBUSY
                : fault == UsbFault::ClaimNoDevice ? ENODEV
                : fault == UsbFault::ClaimInvalid ? EINVAL : 0;
            sComplete(client, err ? -1 : 0, err);
            break;
        }
        case USBDEVFS_RELEASEINTERFACE:
            releases++;
            sComplete(client, 0, 0);
            break;
        case USBDEVFS_CLEAR_HALT: {
            unsigned ep = 0;
            sArgUInt(client, &ep);
            halts.push_back((uint8_t)ep);
            sComplete(client, 0, 0);
            break;
        }
        case USBDEVFS_SUBMITURB:
            submit(client, &delivered);
            break;
        case USBDEVFS_DISCARDURB:
            discard(client);
            break;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            reap(client);
            break;
        default:
            sComplete(client, -1, ENOTTY);
            break;
        }
    }
    if (!delivered.empty())
        owner->deliver(delivered.data(), delivered.size());
}

void UsbDevice::Impl::capabilities(UMockdevIoctlClient* client)
{
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* p = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
    if (!p) {
        sComplete(client, -1, EFAULT);
        return;
    }
    uint32_t caps = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
    memcpy(p->data, &caps, sizeof(caps));
    sComplete(client, 0, 0);
}

// Cancels one transfer of this handle, named by the address the host submitted it at.
void UsbDevice::Impl::discard(UMockdevIoctlClient* client)
{
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    gulong address = 0;
    memcpy(&address, arg->data, std::min<size_t>(sizeof(address), (size_t)arg->data_len));
    bool found = false;
    for (Urb& u : urbs)
        if (u.client == client && !u.done && u.data->client_addr == address) {
            u.urb()->status = -ENOENT;
            u.done = true;
            found = true;
            break;
        }
    sComplete(client, found ? 0 : -1, found ? 0 : EINVAL);
}

// Hands back a finished transfer, or parks the reap for the completer thread.
void UsbDevice::Impl::reap(UMockdevIoctlClient* client)
{
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
    if (!slot) {
        sComplete(client, -1, EFAULT);
        return;
    }
    if (!finishOne(client, slot)) {
        reaps.push_back({(UMockdevIoctlClient*)g_object_ref(client),
                         (UMockdevIoctlData*)g_object_ref(slot), Clock::now()});
        wake.notify_all();
    }
}

// Drops the transfers and waiting reaps of a handle that is gone.
void UsbDevice::Impl::forget(UMockdevIoctlClient* client)
{
    for (auto it = urbs.begin(); it != urbs.end();) {
        if (it->client == client) {
            g_object_unref(it->data);
            g_object_unref(it->client);
            it = urbs.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = reaps.begin(); it != reaps.end();) {
        if (it->client == client) {
            g_object_unref(it->slot);
            g_object_unref(it->client);
            it = reaps.erase(it);
        } else {
            ++it;
        }
    }
}

void UsbDevice::Impl::completerLoop()
{
    std::unique_lock<std::mutex> lock(m);
    while (!stop) {
        if (reaps.empty())
            wake.wait(lock);
        else
            wake.wait_for(lock, std::chrono::milliseconds(1));
        for (auto it = reaps.begin(); it != reaps.end();) {
            if (finishOne(it->client, it->slot)) {
            } else if (Clock::now() - it->since >= kReapHold) {
                sComplete(it->client, -1, EAGAIN);
            } else {
                ++it;
                continue;
            }
            g_object_unref(it->slot);
            g_object_unref(it->client);
            it = reaps.erase(it);
        }
    }
}

static gboolean sOnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer plug)
{
    UsbDevice::Impl::Plug* p = (UsbDevice::Impl::Plug*)plug;
    p->impl->onIoctl(client, p);
    return TRUE;
}

UsbDevice::UsbDevice(const UsbDeviceConfig& config) : config_(config), impl_(new Impl)
{
    impl_->owner = this;
    impl_->serial = config_.serial;
    impl_->buildDescriptors(config_);
    impl_->completer = std::thread(&Impl::completerLoop, impl_.get());
}

UsbDevice::~UsbDevice()
{
    {
        std::lock_guard<std::mutex> lock(impl_->m);
        impl_->stop = true;
    }
    impl_->wake.notify_all();
    if (impl_->completer.joinable())
        impl_->completer.join();
    impl_->clients.clear();
    for (auto& plug : impl_->plugs)
        if (plug->handler)
            g_object_unref(plug->handler);
}

uint8_t UsbDevice::port() const
{
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->port;
}

std::string UsbDevice::devnode() const
{
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->plugs.empty() ? std::string() : impl_->plugs.back()->node;
}

bool UsbDevice::send(const uint8_t* data, size_t n)
{
    {
        std::lock_guard<std::mutex> lock(impl_->m);
        impl_->toHost.insert(impl_->toHost.end(), data, data + n);
    }
    impl_->wake.notify_all();
    return true;
}

void UsbDevice::setFault(UsbFault fault)
{
    {
        std::lock_guard<std::mutex> lock(impl_->m);
        impl_->fault = fault;
        if (fault == UsbFault::BusErrors) {
            for (Urb& u : impl_->urbs) {
                if (!u.done && u.urb()->type != USBDEVFS_URB_TYPE_CONTROL) {
                    u.urb()->status = -EPROTO;
                    u.done = true;
                }
            }
        }
    }
    impl_->wake.notify_all();
}

void UsbDevice::acceptOnlyNext(size_t bytes)
{
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->limitNext = true;
    impl_->limitBytes = bytes;
    impl_->stallAfter = false;
}

void UsbDevice::stallAfterNext(size_t bytes)
{
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->limitNext = true;
    impl_->limitBytes = bytes;
    impl_->stallAfter = true;
}

UsbActivity UsbDevice::activity() const
{
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->sweep();
    UsbActivity a;
    a.outTransfers = impl_->outs;
    a.inRequests = impl_->ins;
    a.clearedHalts = impl_->halts;
    a.claims = impl_->claims;
    a.releases = impl_->releases;
    a.opens = impl_->clients.opens;
    a.closes = impl_->clients.closes;
    a.overflows = impl_->overflows;
    return a;
}

bool UsbDevice::plugged() const
{
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->onBus;
}

bool UsbDevice::unplug()
{
    std::string sys;
    {
        std::lock_guard<std::mutex> lock(impl_->m);
        if (!impl_->onBus)
            return false;
        impl_->onBus = false;
        // What was on its way is lost with the device.
        for (Urb& u : impl_->urbs) {
            if (!u.done) {
                u.urb()->status = -ENODEV;
                u.urb()->actual_length = 0;
                u.done = true;
            }
        }
        impl_->toHost.clear();
        impl_->limitNext = false;
        sys = "/sys" + impl_->plugs.back()->sys;
    }
    impl_->wake.notify_all();
    UsbTestbed::Impl& tb = *UsbTestbed::instance().impl_;
    std::lock_guard<std::mutex> lock(tb.m);
    // The uevent is made from the sysfs entry, so it goes first.
    umockdev_testbed_uevent(tb.testbed, sys.c_str(), "remove");
    umockdev_testbed_remove_device(tb.testbed, sys.c_str());
    return true;
}

bool UsbDevice::replug(const std::string& serial)
{
    {
        std::lock_guard<std::mutex> lock(impl_->m);
        if (impl_->onBus)
            return false;
        if (!serial.empty())
            impl_->serial = serial;
    }
    return UsbTestbed::instance().impl_->plug(this);
}

size_t UsbDevice::queuedForHost() const
{
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->toHost.size();
}

UsbTestbed& UsbTestbed::instance()
{
    static UsbTestbed testbed;
    return testbed;
}

UsbTestbed::UsbTestbed() : impl_(new Impl)
{
    const char* preload = getenv("LD_PRELOAD");
    if (!preload || !strstr(preload, "umockdev-preload")) {
        impl_->error = "not running under umockdev-wrapper";
        return;
    }
    impl_->testbed = umockdev_testbed_new();
    if (!impl_->testbed)
        impl_->error = "umockdev testbed could not be made";
}

UsbTestbed::~UsbTestbed()
{
    // Devices first: their handlers must be gone before the testbed that calls them.
    impl_->devices.clear();
    impl_->hidDevices.clear();
    if (impl_->testbed)
        g_object_unref(impl_->testbed);
}

bool UsbTestbed::ok() const
{
    return impl_->testbed != nullptr;
}

const std::string& UsbTestbed::error() const
{
    return impl_->error;
}

// True when a device on the bus other than dev sits at port (called with m held).
static bool sPortTaken(const std::vector<std::unique_ptr<UsbDevice>>& devices, const UsbDevice* dev,
                       uint8_t port)
{
    for (const auto& other : devices)
        if (other.get() != dev && other->plugged() && other->port() == port)
            return true;
    return false;
}

// Puts the device on the bus under the next device number at its port: its sysfs entry, a
// handler on its node and the "add" uevent.
bool UsbTestbed::Impl::plug(UsbDevice* dev)
{
    std::lock_guard<std::mutex> lock(m);
    if (!testbed)
        return false;
    UsbDevice::Impl& d = *dev->impl_;
    uint8_t port = dev->port();
    if (port == 0) {
        port = dev->config().port;
        // The ports in turn, each one free at the moment: a device that named its own may
        // hold one.
        for (int tries = 0; port == 0 && tries < 255; tries++) {
            const uint8_t candidate = (uint8_t)(nextPort++ % 255 + 1);
            if (!sPortTaken(devices, dev, candidate))
                port = candidate;
        }
        if (port == 0) {
            error = "no free USB port";
            return false;
        }
    }
    if (sPortTaken(devices, dev, port)) {
        error = "USB port " + std::to_string(port) + " is taken";
        return false;
    }
    {
        std::lock_guard<std::mutex> dl(d.m);
        d.port = port;
    }
    const int devnum = nextDevnum++;
    std::unique_ptr<UsbDevice::Impl::Plug> p(new UsbDevice::Impl::Plug);
    p->impl = &d;
    char node[64], sys[64];
    snprintf(node, sizeof(node), "/dev/bus/usb/001/%03d", devnum);
    // libusb takes the port path from the entry's name ("1-<port>", below the root hub of
    // bus 1); a name without '-' or '.' gives none.
    if (dev->config().portPath)
        snprintf(sys, sizeof(sys), "/devices/usb1/1-%d", (int)port);
    else
        snprintf(sys, sizeof(sys), "/devices/usb1/noport%d", (int)port);
    p->node = node;
    p->sys = sys;
    std::string serial;
    {
        std::lock_guard<std::mutex> dl(d.m);
        serial = d.serial;
    }

    std::string hex;
    std::vector<uint8_t> all = d.deviceDescriptor;
    all.insert(all.end(), d.configDescriptor.begin(), d.configDescriptor.end());
    for (uint8_t b : all) {
        char h[3];
        snprintf(h, sizeof(h), "%02X", b);
        hex += h;
    }
    const UsbDeviceConfig& config = dev->config();
    char vid[8], pid[8];
    snprintf(vid, sizeof(vid), "%04x", config.vendorId);
    snprintf(pid, sizeof(pid), "%04x", config.productId);
    std::string record = std::string("P: ") + sys + "\n"
        + "N: " + (node + 5) + "\n"
        + "E: DEVNAME=" + node + "\n"
        + "E: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\nE: BUSNUM=001\n"
        + "E: DEVNUM=" + (node + strlen(node) - 3) + "\n"
        + "A: busnum=1\\n\nA: devnum=" + std::to_string(devnum) + "\\n\n"
        + "A: speed=480\\n\nA: bConfigurationValue=1\\n\n"
        + "A: idVendor=" + vid + "\\n\nA: idProduct=" + pid + "\\n\n"
        + "A: serial=" + serial + "\\n\n"
        + "A: dev=189:" + std::to_string(devnum - 1) + "\n"
        + "H: descriptors=" + hex + "\n";
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(sOnIoctl), p.get());
    p->handler = handler;
    {
        // Current before its node can be opened.
        std::lock_guard<std::mutex> dl(d.m);
        d.plugs.push_back(std::move(p));
        d.onBus = true;
    }
    // The handler listens before the node and its sysfs entry exist: a host that finds the
    // device in the middle of this (a search runs all the time while a module is away) and
    // opens it would otherwise meet a socket that does not take connections yet, which
    // umockdev's preload answers by ending the host process.
    GError* err = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, node, handler, &err)) {
        error = err ? err->message : "attach_ioctl";
        if (err)
            g_error_free(err);
        std::lock_guard<std::mutex> dl(d.m);
        d.onBus = false;
        return false;
    }
    if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &err)) {
        error = err ? err->message : "add_from_string";
        if (err)
            g_error_free(err);
        umockdev_testbed_detach_ioctl(testbed, node, nullptr);
        std::lock_guard<std::mutex> dl(d.m);
        d.onBus = false;
        return false;
    }
    std::string syspath = std::string("/sys") + sys;
    umockdev_testbed_uevent(testbed, syspath.c_str(), "add");
    return true;
}

UsbDevice* UsbTestbed::addDevice(const UsbDeviceConfig& config)
{
    if (!impl_->testbed)
        return nullptr;
    std::unique_ptr<UsbDevice> dev(new UsbDevice(config));
    if (!impl_->plug(dev.get()))
        return nullptr;
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->devices.push_back(std::move(dev));
    return impl_->devices.back().get();
}

}  // namespace module_emu

namespace module_emu {

HidDevice* UsbTestbed::addHidDevice(const HidDeviceConfig& config)
{
    std::lock_guard<std::mutex> lock(impl_->m);
    if (!impl_->testbed)
        return nullptr;
    const int number = (int)impl_->hidDevices.size();
    std::unique_ptr<HidDevice> dev(new HidDevice(config, number));
    if (!dev->attach(impl_->testbed, number, &impl_->error))
        return nullptr;
    impl_->hidDevices.push_back(std::move(dev));
    return impl_->hidDevices.back().get();
}

}  // namespace module_emu
