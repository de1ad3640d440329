// The handles a host holds on an emulated device node, counted as opened and closed.
#ifndef MODULE_EMU_IOCTLCLIENTS_H
#define MODULE_EMU_IOCTLCLIENTS_H

#include <umockdev.h>

#include <algorithm>
#include <vector>

namespace module_emu {

// Not locked: the device that owns it holds its own lock around every call.
class IoctlClients {
public:
    IoctlClients() = default;
    IoctlClients(const IoctlClients&) = delete;
    IoctlClients& operator=(const IoctlClients&) = delete;
    ~IoctlClients() { clear(); }

    // Counts a handle the first time it is seen; closed handles are swept first, so a
    // descriptor number reused by the host counts as a new open.
    template <class OnClosed>
    void seen(UMockdevIoctlClient* client, OnClosed onClosed)
    {
        sweep(onClosed);
        if (std::find(held_.begin(), held_.end(), client) == held_.end()) {
            held_.push_back((UMockdevIoctlClient*)g_object_ref(client));
            opens++;
        }
    }

    // umockdev 0.17 declares "client-vanished" but never emits it: a closed handle shows only
    // in its connection state, so the handles are looked at whenever the device is used or asked.
    template <class OnClosed>
    void sweep(OnClosed onClosed)
    {
        for (auto it = held_.begin(); it != held_.end();) {
            if (umockdev_ioctl_client_get_connected(*it)) {
                ++it;
                continue;
            }
            onClosed(*it);
            g_object_unref(*it);
            it = held_.erase(it);
            closes++;
        }
    }
    void sweep()
    {
        sweep([](UMockdevIoctlClient*) {});
    }

    // Forgets every handle (their later closes are not counted) and the counts.
    void clear()
    {
        for (UMockdevIoctlClient* c : held_)
            g_object_unref(c);
        held_.clear();
        opens = closes = 0;
    }

    const std::vector<UMockdevIoctlClient*>& held() const { return held_; }

    int opens = 0;
    int closes = 0;

private:
    std::vector<UMockdevIoctlClient*> held_;
};

}  // namespace module_emu

#endif
