// A device on the virtual USB: identity, location and, for an adapter, the model behind it.
#pragma once
#include <cstdint>
#include <libusb.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "adapter_model.hpp"

namespace vad {

struct EndpointLayout {
    std::uint8_t address;
    std::uint16_t max_packet;  // at high speed
    std::uint8_t attributes = LIBUSB_TRANSFER_TYPE_BULK;
    std::uint8_t interval = 0;
};

struct InterfaceLayout {
    std::uint8_t number;
    std::uint8_t cls;
    std::vector<EndpointLayout> endpoints;
};

struct VirtualDevice {
    std::uintptr_t token = 0;  // the libusb_device* handed out
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    std::uint8_t device_class = 0;
    std::uint8_t bus = 1;
    std::uint8_t address = 1;
    std::uint8_t port = 1;     // 0: a root hub, which hangs off no port
    std::string manufacturer;
    std::string product;
    std::vector<InterfaceLayout> interfaces;
    std::shared_ptr<Adapter> adapter;  // null for other vendors' devices
    int adapter_index = -1;

    // Guarded by the registry's mutex.
    bool retired = false;
    int refs = 0;
    int configuration = 1;
    std::map<int, std::uintptr_t> claimed;  // interface -> handle token

    bool has_serial() const { return adapter && adapter->has_serial(); }
    bool is_hub() const { return device_class == LIBUSB_CLASS_HUB; }
    // A hub draws its power from its own supply; everything else here is bus powered.
    bool self_powered() const { return is_hub(); }
    const EndpointLayout* endpoint(std::uint8_t address) const;
};

// String descriptor indexes.
inline constexpr std::uint8_t STR_MANUFACTURER = 1;
inline constexpr std::uint8_t STR_PRODUCT = 2;
inline constexpr std::uint8_t STR_SERIAL = 3;

// nullptr with `error` set when the adapter's CAN bus cannot be opened.
std::shared_ptr<VirtualDevice> make_adapter_device(const AdapterConfig& cfg, int index, std::string& error);
std::shared_ptr<VirtualDevice> make_other_device(const OtherDeviceConfig& cfg);

}  // namespace vad
