// The virtual USB as libusb sees it: the devices, the opaque pointers handed out for them and
// their handles, and the configuration they were made from.
#pragma once
#include <atomic>
#include <cstdint>
#include <libusb.h>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "config.hpp"
#include "control_requests.hpp"
#include "virtual_device.hpp"

namespace vad {

struct Handle {
    std::uintptr_t token = 0;  // the libusb_device_handle* handed out
    std::shared_ptr<VirtualDevice> dev;
    std::atomic<bool> closed{false};
};

class Registry {
public:
    // The process-wide registry, configured from FDHOST_VADAPTER on first use.
    static Registry& get();

    int configure(std::string_view text);  // 0, or -1 with last_error() set
    std::string last_error();
    void set_error(std::string msg);

    // libusb side. Unknown or stale pointers give LIBUSB_ERROR_NO_DEVICE, never a crash.
    ssize_t device_list(libusb_device*** list);
    void free_device_list(libusb_device** list, bool unref);
    libusb_device* ref(libusb_device* dev);
    void unref(libusb_device* dev);
    std::shared_ptr<VirtualDevice> device(libusb_device* dev);
    libusb_device* parent(libusb_device* dev);  // the root hub of its bus, when there is one
    std::shared_ptr<Handle> handle(libusb_device_handle* h);

    // open_fault: whether an `open` fault may refuse it (a libusb caller's open; the USB/IP server's
    // open stands for no host's).
    int open(libusb_device* dev, libusb_device_handle** out, bool open_fault = true);
    void close(libusb_device_handle* h);
    int claim(libusb_device_handle* h, int interface_number);
    int release(libusb_device_handle* h, int interface_number);
    int set_alt_setting(libusb_device_handle* h, int interface_number, int alt);
    int set_configuration(libusb_device_handle* h, int configuration);
    int get_configuration(libusb_device_handle* h, int* configuration);
    int control(libusb_device_handle* h, const libusb_control_setup& setup, std::uint8_t* data);
    int bulk(libusb_device_handle* h, std::uint8_t ep, std::uint8_t* data, int len, int* transferred,
             unsigned timeout_ms);
    int clear_halt(libusb_device_handle* h, std::uint8_t ep);
    int reset(libusb_device_handle* h);
    int check_open(libusb_device_handle* h);  // 0 when the handle's device is still there

    // Control side.
    std::shared_ptr<Adapter> adapter(int index);
    int adapter_count();
    int replug(int index);
    // A fresh adapter plugged in now, on the named CAN bus, configured by per-adapter items:
    // its index, or -1 with last_error() set.
    int plug(const std::string& can_bus, std::string_view items);
    std::string can_bus_of(int index);  // empty for a bus of its own
    // The device an adapter's or another device's configuration index stands for now (a re-plugged
    // adapter is a new device); nullptr when there is no such device.
    std::shared_ptr<VirtualDevice> device_of(DeviceRef ref);
    bool is_present(const VirtualDevice& d);  // plugged in and not replaced

private:
    Registry();
    std::uintptr_t next_token() { return kTokenBase + (++tokens_ << 4); }
    std::shared_ptr<Handle> live_handle(libusb_device_handle* h);  // mu_ held
    bool present(const VirtualDevice& d) const;                     // mu_ held
    void forget_if_unused(const std::shared_ptr<VirtualDevice>& d); // mu_ held
    void install(const std::shared_ptr<VirtualDevice>& d);          // mu_ held
    HubPorts hub_ports(const VirtualDevice& hub) const;             // mu_ held
    std::vector<const VirtualDevice*> present_on(std::uint8_t usb_bus) const;  // mu_ held
    int free_plug_index() const;                                    // mu_ held

    static constexpr std::uintptr_t kTokenBase = 0x7AD000000000;

    std::mutex mu_;
    std::uintptr_t tokens_ = 0;
    WorldConfig config_;
    std::vector<std::shared_ptr<VirtualDevice>> enumeration_;  // in enumeration order
    std::vector<std::shared_ptr<VirtualDevice>> adapters_;     // by configuration index
    std::vector<std::shared_ptr<VirtualDevice>> others_;       // by configuration index
    std::size_t configured_ = 0;  // adapters_ from here on were plugged at run time
    std::unordered_map<std::uintptr_t, std::shared_ptr<VirtualDevice>> devices_;  // present or referenced
    std::unordered_map<std::uintptr_t, std::shared_ptr<Handle>> handles_;
    std::string error_;
};

}  // namespace vad
