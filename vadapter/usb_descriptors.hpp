// Standard USB descriptors of a virtual device, as libusb structures and as wire bytes,
// and the standard requests of endpoint 0.
#pragma once
#include <cstdint>
#include <libusb.h>
#include <vector>

#include "virtual_device.hpp"

namespace vad {

libusb_device_descriptor device_descriptor(const VirtualDevice& d);
std::vector<std::uint8_t> device_descriptor_bytes(const VirtualDevice& d);

// One heap block holding the whole tree; release with delete_config_descriptor.
libusb_config_descriptor* new_config_descriptor(const VirtualDevice& d);
void delete_config_descriptor(libusb_config_descriptor* c) noexcept;
std::vector<std::uint8_t> config_descriptor_bytes(const VirtualDevice& d);

// String 0 lists the language (0x0409); the others are UTF-16LE. LIBUSB_ERROR_PIPE for no such string.
int string_descriptor(const VirtualDevice& d, std::uint8_t index, std::vector<std::uint8_t>& out);

// A standard device request on endpoint 0 (the caller holds the registry lock): the number of
// bytes moved, or a libusb error (LIBUSB_ERROR_PIPE for a request the device stalls).
int standard_request(VirtualDevice& d, const libusb_control_setup& setup, std::uint8_t* data);

}  // namespace vad
