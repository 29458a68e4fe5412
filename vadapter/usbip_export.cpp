#include "usbip_export.hpp"

#include <cstdio>

#include "registry.hpp"
#include "usb_descriptors.hpp"

namespace vad::usbip {
namespace {

// Adapters sit on USB/IP bus 1, the other devices on bus 2, whatever the model's own locations.
std::uint32_t busnum_of(DeviceRef ref) { return ref.adapter ? 1 : 2; }

}  // namespace

ExportedDevice::ExportedDevice(DeviceRef ref)
    : ref_(ref), busid_(std::to_string(busnum_of(ref)) + "-" + std::to_string(ref.index + 1)) {}

std::string ExportedDevice::label() const {
    if (ref_.adapter) {
        const auto a = Registry::get().adapter(ref_.index);
        return a ? a->serial() : std::string();
    }
    const auto d = Registry::get().device_of(ref_);
    if (!d) return {};
    char text[10];
    std::snprintf(text, sizeof text, "%04x:%04x", d->vid, d->pid);
    return text;
}

Device ExportedDevice::describe() const {
    Device out;
    out.busid = busid_;
    // Not a sysfs path: where the device comes from, and an adapter's serial, for `usbip list -r`.
    out.path = "/fdhost-usbip/" + busid_;
    if (ref_.adapter) out.path.append("/").append(label());
    out.busnum = busnum_of(ref_);
    const auto d = Registry::get().device_of(ref_);
    if (!d) return out;
    out.devnum = d->address;
    const auto dev = device_descriptor_bytes(*d);
    out.bcd_device = static_cast<std::uint16_t>(dev[12] | dev[13] << 8);
    out.cls = dev[4];
    out.subclass = dev[5];
    out.protocol = dev[6];
    out.num_configurations = dev[17];
    out.configuration = CONFIG_VALUE;
    out.vid = d->vid;
    out.pid = d->pid;
    // The interfaces as the configuration descriptor has them (alternate setting 0 each).
    const auto cfg = config_descriptor_bytes(*d);
    for (std::size_t at = 0; at + 8 < cfg.size() && cfg[at] >= 2; at += cfg[at])
        if (cfg[at + 1] == LIBUSB_DT_INTERFACE && cfg[at + 3] == 0)
            out.interfaces.push_back(Interface{cfg[at + 5], cfg[at + 6], cfg[at + 7]});
    return out;
}

libusb_device_handle* ExportedDevice::import() {
    Registry& reg = Registry::get();
    auto d = reg.device_of(ref_);
    // An adapter the model unplugged meanwhile comes back as a fresh device first.
    if (d && ref_.adapter && !reg.is_present(*d) && reg.replug(ref_.index) == 0) d = reg.device_of(ref_);
    if (!d) return nullptr;
    libusb_device_handle* h = nullptr;
    // The open fault stands for the host's open, which happens in the importing host's kernel.
    if (reg.open(reinterpret_cast<libusb_device*>(d->token), &h, /*open_fault=*/false) != 0) return nullptr;
    device_ = std::move(d);
    handle_ = h;
    return h;
}

bool ExportedDevice::present() const { return device_ && Registry::get().is_present(*device_); }

void ExportedDevice::release() {
    if (!handle_) return;
    Registry& reg = Registry::get();
    reg.close(handle_);
    handle_ = nullptr;
    device_.reset();
    if (ref_.adapter && reg.replug(ref_.index) != 0)
        std::fprintf(stderr, "fdhost-usbip: %s cannot be plugged in again: %s\n", busid_.c_str(),
                     reg.last_error().c_str());
}

}  // namespace vad::usbip
