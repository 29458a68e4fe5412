// One device of the model offered under a USB/IP bus id: adapter k as 1-<k+1>, other device j as
// 2-<j+1>. While a connection has it imported, the server drives it through a handle of the
// model's own, exactly as a libusb caller of the stand-in library would; when the connection
// ends, it is plugged in afresh (a fresh model, the same serial and CAN bus) for the next import.
#pragma once
#include <libusb.h>
#include <memory>
#include <string>

#include "config.hpp"
#include "usbip_protocol.hpp"
#include "virtual_device.hpp"

namespace vad::usbip {

class ExportedDevice {
public:
    explicit ExportedDevice(DeviceRef ref);

    const std::string& busid() const noexcept { return busid_; }
    bool is_adapter() const noexcept { return ref_.adapter; }
    int index() const noexcept { return ref_.index; }
    // An adapter's serial, another device's vendor:product.
    std::string label() const;
    // The device as the device list and the import reply show it.
    Device describe() const;

    // A connection imports it: the handle its URBs go to, or nullptr when the model has no such
    // device (a CAN bus that cannot be opened on re-plugging, say).
    libusb_device_handle* import();
    bool imported() const noexcept { return handle_ != nullptr; }
    libusb_device_handle* handle() const noexcept { return handle_; }
    // The imported device (its endpoints); only while imported.
    const VirtualDevice& device() const noexcept { return *device_; }
    // False once the imported device is gone (the model's own unplug).
    bool present() const;
    // The connection has ended and nothing of it is in flight: plugged in afresh.
    void release();

private:
    DeviceRef ref_;
    std::string busid_;
    std::shared_ptr<VirtualDevice> device_;
    libusb_device_handle* handle_ = nullptr;
};

}  // namespace vad::usbip
