#include "imx_sdp/ImxHidEmulator.h"

#include "module_emu/UsbTransport.h"

#include <map>
#include <memory>

using module_emu::HidDevice;

namespace {
std::mutex sInstances;
std::string sError;
}

ImxHidEmulator* ImxHidEmulator::instance(uint16_t vid, uint16_t pid)
{
    static std::map<uint32_t, std::unique_ptr<ImxHidEmulator>> emulators;
    std::lock_guard<std::mutex> lock(sInstances);
    const uint32_t key = uint32_t(vid) << 16 | pid;
    auto it = emulators.find(key);
    if (it != emulators.end())
        return it->second.get();
    module_emu::UsbTestbed& testbed = module_emu::UsbTestbed::instance();
    if (!testbed.ok()) {
        sError = testbed.error();
        return nullptr;
    }
    module_emu::HidDeviceConfig c;
    c.vendorId = vid;
    c.productId = pid;
    c.name = "i.MX boot ROM";
    HidDevice* device = testbed.addHidDevice(c);
    if (!device) {
        sError = testbed.error();
        return nullptr;
    }
    ImxHidEmulator* emu = new ImxHidEmulator(device);
    emulators[key].reset(emu);
    return emu;
}

const std::string& ImxHidEmulator::error()
{
    return sError;
}

ImxHidEmulator::ImxHidEmulator(HidDevice* device) : device_(device)
{
    device_->setHandler([this](const HidDevice::Report& report) {
        std::vector<HidDevice::Report> replies;
        std::lock_guard<std::mutex> lock(m_);
        rom_.hidReport(report.data(), report.size(), replies);
        return replies;
    });
}

void ImxHidEmulator::reset()
{
    {
        std::lock_guard<std::mutex> lock(m_);
        rom_ = SdpRom();
    }
    device_->reset();
}

void ImxHidEmulator::locked(const std::function<void(SdpRom&)>& fn)
{
    std::lock_guard<std::mutex> lock(m_);
    fn(rom_);
}
