#include "core/usb_library.hpp"

#include <cstdlib>
#include <map>
#include <mutex>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#if defined(__GLIBC__)
#include <link.h>
#endif
#endif

namespace fdh::core {

namespace {

#if defined(_WIN32)
void* open_library(const std::string& path, std::string& error) {
    HMODULE h = LoadLibraryA(path.c_str());
    if (!h) error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    return reinterpret_cast<void*>(h);
}
void* find(void* handle, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle), name));
}
constexpr const char* SYSTEM_NAME = "libusb-1.0.dll";
#else
void* open_library(const std::string& path, std::string& error) {
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* why = dlerror();
        error = why ? why : "cannot load " + path;
    }
    return h;
}
void* find(void* handle, const char* name) { return dlsym(handle, name); }
constexpr const char* SYSTEM_NAME = "libusb-1.0.so.0";
#endif

// Where the dynamic loader finds `name` for a process that has loaded nothing yet: looked up in a
// fresh namespace, where a library of the same soname that this process loaded by path does not
// answer for it. "" when that cannot be told.
std::string fresh_lookup(const char* name) {
#if defined(__GLIBC__)
    void* h = dlmopen(LM_ID_NEWLM, name, RTLD_LAZY | RTLD_LOCAL);
    if (!h) return {};
    std::string path;
    struct link_map* map = nullptr;
    if (dlinfo(h, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name) path = map->l_name;
    dlclose(h);
    return path;
#else
    (void)name;
    return {};
#endif
}

template <typename Fn>
bool bind(void* handle, Fn& fn, const char* name, std::string& missing) {
    fn = reinterpret_cast<Fn>(find(handle, name));
    if (!fn && missing.empty()) missing = name;
    return fn != nullptr;
}

struct Registry {
    std::mutex mu;
    std::map<void*, std::shared_ptr<Library>> by_handle;
};

Registry& registry() {
    static auto* r = new Registry;  // kept for good, like the libraries
    return *r;
}

}  // namespace

std::string Library::hardware_path() {
    if (const char* env = std::getenv("FDHOST_LIBUSB"); env && *env) return env;
    static const std::string found = [] {
        std::string p = fresh_lookup(SYSTEM_NAME);
        return p.empty() ? std::string(SYSTEM_NAME) : p;
    }();
    return found;
}

LoadResult Library::load(const std::string& requested) {
    const std::string path = requested.empty() ? hardware_path() : requested;
    std::string error;
    void* handle = open_library(path, error);
    if (!handle) return {nullptr, "cannot load the libusb library " + path + ": " + error};
    Registry& reg = registry();
    std::lock_guard lk(reg.mu);
    if (auto it = reg.by_handle.find(handle); it != reg.by_handle.end()) return {it->second, {}};

    std::shared_ptr<Library> lib(new Library);
    lib->handle_ = handle;
    lib->path_ = path;
    libusb::Api& a = lib->api_;
    std::string missing;
    bind(handle, a.init, "libusb_init", missing);
    bind(handle, a.get_device_list, "libusb_get_device_list", missing);
    bind(handle, a.free_device_list, "libusb_free_device_list", missing);
    bind(handle, a.ref_device, "libusb_ref_device", missing);
    bind(handle, a.unref_device, "libusb_unref_device", missing);
    bind(handle, a.get_device_descriptor, "libusb_get_device_descriptor", missing);
    bind(handle, a.get_bus_number, "libusb_get_bus_number", missing);
    bind(handle, a.get_device_address, "libusb_get_device_address", missing);
    bind(handle, a.get_port_numbers, "libusb_get_port_numbers", missing);
    bind(handle, a.open, "libusb_open", missing);
    bind(handle, a.close, "libusb_close", missing);
    bind(handle, a.claim_interface, "libusb_claim_interface", missing);
    bind(handle, a.release_interface, "libusb_release_interface", missing);
    bind(handle, a.clear_halt, "libusb_clear_halt", missing);
    bind(handle, a.get_string_descriptor_ascii, "libusb_get_string_descriptor_ascii", missing);
    bind(handle, a.bulk_transfer, "libusb_bulk_transfer", missing);
    bind(handle, a.async.alloc_transfer, "libusb_alloc_transfer", missing);
    bind(handle, a.async.free_transfer, "libusb_free_transfer", missing);
    bind(handle, a.async.submit_transfer, "libusb_submit_transfer", missing);
    bind(handle, a.async.cancel_transfer, "libusb_cancel_transfer", missing);
    bind(handle, a.async.handle_events_timeout_completed, "libusb_handle_events_timeout_completed", missing);
    bind(handle, a.async.interrupt_event_handler, "libusb_interrupt_event_handler", missing);
    if (!missing.empty()) return {nullptr, path + " is not a usable libusb-1.0: it lacks " + missing};
    if (const int r = a.init(&lib->ctx_); r < 0)
        return {nullptr, "libusb_init of " + path + " failed: " + libusb::error_name(r)};
    lib->virtual_ = find(handle, "vad_now_us") != nullptr;
    lib->loop_ = std::make_unique<EventLoop>(lib->api_, lib->ctx_);
    reg.by_handle.emplace(handle, lib);
    return {lib, {}};
}

void* Library::symbol(const char* name) const { return find(handle_, name); }

}  // namespace fdh::core
