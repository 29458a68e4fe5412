#include "core/usb_device.hpp"

#include <algorithm>

#include "core/sysfs_serial.hpp"
#include "protocol/constants.hpp"

namespace fdh::core {

namespace {
constexpr int MAX_PORTS = 7;  // the deepest USB topology

struct Candidate {
    void* device;
    AdapterInfo info;
    std::uint8_t serial_index;
    std::uint8_t manufacturer_index;
};

// The adapters of a device list, sorted; each referenced until the caller unrefs it.
std::vector<Candidate> candidates(const libusb::Api& api, void** list, long count) {
    std::vector<Candidate> found;
    for (long i = 0; i < count; ++i) {
        libusb::DeviceDescriptor d{};
        if (api.get_device_descriptor(list[i], &d) < 0) continue;
        if (d.idVendor != KQ_USBD_VID || d.idProduct != KQ_USBD_PID) continue;
        Candidate c{api.ref_device(list[i]), {}, d.iSerialNumber, d.iManufacturer};
        c.info.bus = api.get_bus_number(list[i]);
        c.info.address = api.get_device_address(list[i]);
        std::uint8_t ports[MAX_PORTS];
        const int n = api.get_port_numbers(list[i], ports, MAX_PORTS);
        for (int p = 0; p < n; ++p) c.info.ports.push_back(ports[p]);
        found.push_back(std::move(c));
    }
    std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
        return std::pair(a.info.bus, a.info.address) < std::pair(b.info.bus, b.info.address);
    });
    return found;
}

// What a user without access to adapters is told to do about it.
constexpr const char* NO_ACCESS_HINT = "; the udev rule of `fdhost-can udev` gives users access";

// The serial of an adapter this user may not open (`error` is why opening failed), as the kernel
// shows it to everybody; "" when it cannot be had that way. The stand-in's devices have no sysfs
// entries (theirs would be another device's).
std::string serial_without_access(const Library& lib, const AdapterInfo& info, int error) {
    if (error != libusb::ERROR_ACCESS || lib.is_virtual()) return {};
    return sysfs_serial(info.bus, info.address).value_or("");
}

// A string of an opened adapter (its serial, say); its error code when it cannot be read.
int read_string(const libusb::Api& api, void* handle, std::uint8_t index, std::string& text) {
    text.clear();
    if (index == 0) return 0;
    unsigned char buf[256];
    const int n = api.get_string_descriptor_ascii(handle, index, buf, sizeof buf);
    if (n < 0) return n;
    text.assign(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
    return 0;
}

// The device list of `lib`, sorted; "" or the reason it cannot be had.
std::vector<Candidate> scan(Library& lib, std::string& error) {
    const libusb::Api& api = lib.api();
    void** list = nullptr;
    const long count = api.get_device_list(lib.context(), &list);
    if (count < 0) {
        error = std::string("cannot list USB devices: ") + libusb::error_name(static_cast<int>(count));
        return {};
    }
    auto found = candidates(api, list, count);
    api.free_device_list(list, 1);
    return found;
}
}  // namespace

AdapterList list_adapters(Library& lib) {
    AdapterList out;
    const libusb::Api& api = lib.api();
    for (Candidate& c : scan(lib, out.error)) {
        void* handle = nullptr;
        c.info.error = api.open(c.device, &handle);
        if (c.info.error == 0) {
            c.info.error = read_string(api, handle, c.serial_index, c.info.serial);
            api.close(handle);
        } else {
            c.info.serial = serial_without_access(lib, c.info, c.info.error);
        }
        api.unref_device(c.device);
        out.adapters.push_back(std::move(c.info));
    }
    return out;
}

OpenDevice::OpenDevice(std::shared_ptr<Library> lib, void* device, void* handle)
    : lib_(std::move(lib)), device_(device), handle_(handle) {}

OpenDevice::~OpenDevice() {
    const libusb::Api& a = api();
    for (int n = claimed_ - 1; n >= 0; --n) a.release_interface(handle_, n);
    a.close(handle_);
    a.unref_device(device_);
}

bool OpenDevice::claim(int count, std::string& error) {
    for (int n = claimed_; n < count; ++n) {
        const int r = api().claim_interface(handle_, n);
        if (r < 0) {
            error = "could not claim interface " + std::to_string(n) + ": " + libusb::error_name(r);
            for (int k = claimed_ - 1; k >= 0; --k) api().release_interface(handle_, k);
            claimed_ = 0;
            return false;
        }
        claimed_ = n + 1;
    }
    return true;
}

Opened open_by_serial(std::shared_ptr<Library> lib, const std::string& serial) {
    Opened out;
    const libusb::Api& api = lib->api();
    auto found = scan(*lib, out.error);
    if (!out.error.empty()) return out;
    int unreadable = 0, last_error = 0;
    const AdapterInfo* denied = nullptr;  // the adapter asked for, which this user may not open
    for (Candidate& c : found) {
        if (!out.device) {
            void* handle = nullptr;
            int r = api.open(c.device, &handle);
            std::string got;
            if (r == 0) r = read_string(api, handle, c.serial_index, got);
            else if (!denied && serial_without_access(*lib, c.info, r) == serial) denied = &c.info;
            if (r == 0 && got == serial) {
                out.device = std::make_unique<OpenDevice>(lib, c.device, handle);  // keeps the reference
                out.info = c.info;
                out.info.serial = got;
                if (read_string(api, handle, c.manufacturer_index, out.manufacturer) < 0) out.manufacturer.clear();
                continue;
            }
            if (handle) api.close(handle);
            if (r < 0) {
                ++unreadable;
                last_error = r;
            }
        }
        api.unref_device(c.device);
    }
    if (!out.device && denied) {
        out.error = "adapter " + serial + " (bus " + std::to_string(denied->bus) + ", address " +
                    std::to_string(denied->address) + ") cannot be opened by this user: " +
                    libusb::error_name(libusb::ERROR_ACCESS) + NO_ACCESS_HINT;
    } else if (!out.device) {
        out.error = "no fdhost adapter with serial " + serial + " (" + std::to_string(found.size()) + " connected";
        if (unreadable)
            out.error += ", " + std::to_string(unreadable) + " of them unreadable: " + libusb::error_name(last_error);
        out.error += ")";
        if (last_error == libusb::ERROR_ACCESS) out.error += NO_ACCESS_HINT;
    }
    return out;
}

}  // namespace fdh::core
