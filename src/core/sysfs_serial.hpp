// The serial of a USB device as the kernel read it when the device was enumerated (Linux's sysfs),
// for devices this user may not open: libusb can read a string descriptor only through an opened
// device, sysfs shows it to everybody.
#pragma once
#include <optional>
#include <string>

namespace fdh::core {

// The serial of the device at that bus and address; nothing where there is no sysfs, no such
// device or no serial.
std::optional<std::string> sysfs_serial(int bus, int address, const std::string& root = "/sys/bus/usb/devices");

}  // namespace fdh::core
