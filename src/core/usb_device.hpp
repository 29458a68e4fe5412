// Finding adapters on a loaded libusb, and one adapter opened with its interfaces claimed.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/usb_library.hpp"

namespace fdh::core {

struct AdapterInfo {
    std::string serial;    // "" when it has none or it cannot be read (see error)
    int bus = 0;
    int address = 0;
    std::vector<int> ports;  // the port numbers from the root hub; empty when libusb cannot tell
    int error = 0;           // the libusb error of opening it or reading its serial; 0 when none
};

struct AdapterList {
    std::vector<AdapterInfo> adapters;  // sorted by bus, then address
    std::string error;                  // the list itself could not be had
};

// Every adapter the library sees (by its USB identity), its serial read without claiming anything,
// so listing disturbs no program that uses one.
AdapterList list_adapters(Library& lib);

// An open adapter with interfaces 0, 1 and 2 claimed; released and closed when destroyed.
class OpenDevice {
public:
    OpenDevice(std::shared_ptr<Library> lib, void* device, void* handle);
    ~OpenDevice();
    OpenDevice(const OpenDevice&) = delete;
    OpenDevice& operator=(const OpenDevice&) = delete;

    const libusb::Api& api() const { return lib_->api(); }
    Library& library() const { return *lib_; }
    void* handle() const { return handle_; }

    // Claims 0..count-1; on failure releases what it claimed and says which failed and why.
    bool claim(int count, std::string& error);

private:
    std::shared_ptr<Library> lib_;
    void* device_;
    void* handle_;
    int claimed_ = 0;
};

struct Opened {
    std::unique_ptr<OpenDevice> device;
    AdapterInfo info;
    std::string manufacturer;  // its manufacturer string; "" when it has none
    std::string error;
};

// The manufacturer string of the virtual adapter's model, whichever way it is reached (the stand-in
// library, or a USB/IP device through the kernel): its headers carry what a real adapter's do not.
inline constexpr const char* VIRTUAL_MANUFACTURER = "fdhost virtual hardware";

// The adapter whose serial is `serial` (exactly), opened; the first by bus and address when several
// claim it. Not claimed yet.
Opened open_by_serial(std::shared_ptr<Library> lib, const std::string& serial);

}  // namespace fdh::core
