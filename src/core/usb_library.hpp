// A libusb-1.0 library loaded by path, with its function table, its context and its event thread.
// Libraries are loaded once per process and kept for good: the core never unloads one, so its event
// thread and any transfer still in flight at exit keep valid code to run.
//
// Which library: the virtual adapter (the stand-in library, for `virtual:` channels) is named by its
// path; hardware adapters are found on $FDHOST_LIBUSB if set, else on the system's libusb-1.0.so.0.
// Both may be loaded side by side in one process.
#pragma once
#include <memory>
#include <string>

#include "core/event_loop.hpp"
#include "core/libusb_abi.hpp"

namespace fdh::core {

class Library;

struct LoadResult {
    std::shared_ptr<Library> library;  // null on failure
    std::string error;                 // why, in one line
};

class Library {
public:
    // The library at `path` (a path, or a name the dynamic loader looks up), loaded on first use;
    // the same object for every path that names the same file. "" means the hardware library.
    static LoadResult load(const std::string& path);

    // The path hardware adapters are found on: $FDHOST_LIBUSB, else the system's libusb-1.0.so.0 as
    // the dynamic loader finds it for a fresh process. A stand-in library loaded by its path answers
    // to the same name within the process, so the system's is looked up in a namespace of its own.
    static std::string hardware_path();

    const libusb::Api& api() const { return api_; }
    void* context() const { return ctx_; }
    EventLoop& loop() { return *loop_; }
    const std::string& path() const { return path_; }
    // The virtual adapter's stand-in library (it has the vad_* control API): its records carry
    // CLOCK_MONOTONIC microseconds and the bitrate switch and error state bits, and no real adapter
    // needs the pauses of opening.
    bool is_virtual() const { return virtual_; }
    // A function of the library's own beyond libusb's (nullptr when it has none by that name).
    void* symbol(const char* name) const;

    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

private:
    Library() = default;

    void* handle_ = nullptr;
    std::string path_;
    libusb::Api api_;
    void* ctx_ = nullptr;
    bool virtual_ = false;
    std::unique_ptr<EventLoop> loop_;
};

}  // namespace fdh::core
