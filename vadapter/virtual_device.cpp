#include "virtual_device.hpp"

#include <cstdio>

#include "can_buses.hpp"
#include "constants.hpp"

namespace vad {

const EndpointLayout* VirtualDevice::endpoint(std::uint8_t address) const {
    for (const auto& i : interfaces)
        for (const auto& e : i.endpoints)
            if (e.address == address) return &e;
    return nullptr;
}

std::shared_ptr<VirtualDevice> make_adapter_device(const AdapterConfig& cfg, int index, std::string& error) {
    auto bus = can_bus(cfg.can_bus, cfg.can_bus_local, error);
    if (!bus) return nullptr;
    auto d = std::make_shared<VirtualDevice>();
    d->vid = fdh::KQ_USBD_VID;
    d->pid = fdh::KQ_USBD_PID;
    d->bus = cfg.bus;
    d->address = cfg.address;
    d->port = cfg.port;
    d->manufacturer = "fdhost virtual hardware";
    d->product = "RU-ZEDUZ USB to CAN FD (virtual)";
    // Interface n owns the endpoint pair n+1: OUT 0x0n+1, IN 0x8n+1.
    for (std::uint8_t n = 0; n < 3; ++n)
        d->interfaces.push_back(InterfaceLayout{n, 0xFF,
                                                {EndpointLayout{static_cast<std::uint8_t>(n + 1), 512},
                                                 EndpointLayout{static_cast<std::uint8_t>(0x81 + n), 512}}});
    d->adapter = std::make_shared<Adapter>(cfg, std::move(bus));
    d->adapter_index = index;
    return d;
}

std::shared_ptr<VirtualDevice> make_other_device(const OtherDeviceConfig& cfg) {
    auto d = std::make_shared<VirtualDevice>();
    d->vid = cfg.vid;
    d->pid = cfg.pid;
    d->bus = cfg.bus;
    d->address = cfg.address;
    d->manufacturer = "fdhost virtual hardware";
    char name[48];
    std::snprintf(name, sizeof name, "Virtual device %04x:%04x", cfg.vid, cfg.pid);
    d->product = name;
    if (cfg.vid == 0x1D6B) {
        // The usual root hub: no upstream port, and one interrupt endpoint for port status changes.
        d->device_class = LIBUSB_CLASS_HUB;
        d->port = 0;
        d->interfaces.push_back(InterfaceLayout{
            0, LIBUSB_CLASS_HUB, {EndpointLayout{0x81, 4, LIBUSB_TRANSFER_TYPE_INTERRUPT, 12}}});
    } else {
        d->interfaces.push_back(InterfaceLayout{0, LIBUSB_CLASS_VENDOR_SPEC, {}});
    }
    return d;
}

}  // namespace vad
