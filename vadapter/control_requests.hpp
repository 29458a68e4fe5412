// Requests on endpoint 0 as a device answers them: the standard requests, a hub's class requests,
// and a STALL (LIBUSB_ERROR_PIPE) for every request the device does not support.
#pragma once
#include <cstdint>
#include <libusb.h>
#include <vector>

#include "virtual_device.hpp"

namespace vad {

// What a hub sees on its downstream ports: entry n-1 tells whether a device is on port n.
struct HubPorts {
    std::vector<bool> connected;
};

// The caller holds the registry lock; `ports` is only looked at for a hub. Returns the number of
// bytes moved, or a libusb error.
int control_request(VirtualDevice& d, const HubPorts& ports, const libusb_control_setup& setup, std::uint8_t* data);

}  // namespace vad
