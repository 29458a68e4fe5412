// Standard USB descriptors of a virtual device, as libusb structures and as wire bytes.
#pragma once
#include <cstdint>
#include <libusb.h>
#include <vector>

#include "virtual_device.hpp"

namespace vad {

// Descriptor types libusb.h has no names for.
inline constexpr std::uint8_t DT_DEVICE_QUALIFIER = 6;
inline constexpr std::uint8_t DT_OTHER_SPEED_CONFIG = 7;
inline constexpr std::uint8_t CONFIG_VALUE = 1;

libusb_device_descriptor device_descriptor(const VirtualDevice& d);
std::vector<std::uint8_t> device_descriptor_bytes(const VirtualDevice& d);
// What a high-speed device that also runs at full speed reports about that other speed.
std::vector<std::uint8_t> device_qualifier_bytes(const VirtualDevice& d);

// One heap block holding the whole tree; release with delete_config_descriptor.
libusb_config_descriptor* new_config_descriptor(const VirtualDevice& d);
void delete_config_descriptor(libusb_config_descriptor* c) noexcept;
// other_speed: the configuration as it would be at full speed (descriptor type 7).
std::vector<std::uint8_t> config_descriptor_bytes(const VirtualDevice& d, bool other_speed = false);

// String 0 lists the language (0x0409); the others are UTF-16LE. LIBUSB_ERROR_PIPE for no such string.
int string_descriptor(const VirtualDevice& d, std::uint8_t index, std::vector<std::uint8_t>& out);

}  // namespace vad
