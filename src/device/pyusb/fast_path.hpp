// The workers' transfers on pyusb's own Device, straight through the libusb its backend loaded.
//
// pyusb's Device.read/write spend tens of microseconds of interpreter work per call (endpoint
// lookup, claim bookkeeping, ctypes marshalling, and a raised exception for every time-out) on
// top of the transfer itself. The workers make a thousand and more of these calls a second, so
// for a device that is exactly pyusb's own Device on its own libusb1 backend, with nothing of
// that machinery replaced, the transfer goes to the same libusb function pyusb would call, with
// the same arguments, and an error is raised by pyusb's own check of the return code. Anything
// else, and any state pyusb would first have to repair (a closed handle, an unclaimed interface,
// an endpoint not yet looked up), goes through the device's own read/write as usual. Every guard
// of that choice lives in this folder.
#pragma once
#include <nanobind/nanobind.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "core/libusb_abi.hpp"

namespace nb = nanobind;

namespace fdh::device {

// The one declaration of libusb's interface, shared with the core.
namespace libusb = fdh::libusb;

// type(dev) is pyusb's usb.core.Device (false when there is no pyusb to compare with).
bool is_pyusb_device(nb::handle dev);

// `dev` is pyusb's own usb.core.Device and its read (`in`) or write is pyusb's own method, not
// replaced on the class or on the device: only then may a call be made otherwise than as asked.
bool pyusb_transfer_method(nb::handle dev, bool in);

// pyusb's Device opens itself again, and claims the interface, on any transfer made after it was
// released. Called once a transfer has returned: when the object no longer holds `dev` (another
// thread ran usb_clear meanwhile), `dev` is released again (see pyusb_device.cpp).
void release_if_withdrawn(nb::handle self, nb::handle dev);

// The loop of the reader and heartbeat workers: `step(dev)` with the object's device until its
// stop_thread is set. A released device (after the other worker's clean-up, an unplug) ends it
// quietly, releasing again the device the last step used; a time-out goes on with the next step;
// any other USB error is printed after `error_prefix` ("<errno>, failed: [<text>]") and ends it
// after usb_clear. Other exceptions pass to the caller.
void run_worker(nb::handle self, const char* error_prefix, const std::function<void(nb::handle dev)>& step);

enum class Direct {
    NotTaken,  // use the device's own read/write
    Done,      // `transferred` bytes moved
    TimedOut,  // nothing moved in time (only when asked to report rather than raise it)
};

// `ep` as an endpoint address when it is a plain int 0..255, else -1 (such a value is left to pyusb).
int endpoint_number(nb::handle ep);

// Where a transfer on `ep` of pyusb's own Device goes when pyusb's machinery may be skipped.
struct Route {
    void* handle = nullptr;          // the libusb device handle pyusb opened
    unsigned char address = 0;       // the endpoint as pyusb found it
    unsigned char type = 0;          // bulk or interrupt
    libusb::TransferFn fn = nullptr; // the synchronous transfer pyusb would call
    nb::object check;                // pyusb's check of a libusb return code: raises its exception
    nb::object keep;                 // pyusb's handle object, referenced while the route is in use
    void* ctx = nullptr;             // the backend's libusb context
    libusb::AsyncApi async;          // the library's asynchronous interface (complete() when it has it all)
    // What the route was found from: pyusb's device context, its backend, the endpoint's entry
    // and the interface number.
    nb::object pyusb_ctx, backend, ep_entry, intf;
};

// The route of a transfer on `ep` (its direction bit says which way), or nullopt when it must go
// through the device's own read/write. Needs the interpreter lock.
std::optional<Route> direct_route(nb::handle dev, int ep);
// Whether a transfer on `ep` would still take route `r`: the cheap check of the same guards,
// made at every wake-up of the queued reads.
bool route_unchanged(nb::handle dev, int ep, const Route& r);

// One transfer of `length` bytes at `data` on endpoint `ep` (its direction bit says which way)
// with a time-out in milliseconds. Needs the interpreter lock; releases it while the transfer
// runs; `data` must stay valid and untouched by others meanwhile. A USB error is raised as pyusb
// raises it (nb::python_error), the time-out too unless `report_timeout` asks for TimedOut: the
// reader passes over a time-out anyway, and an idle bus times out a thousand times a second.
Direct direct_transfer(nb::handle dev, int ep, std::uint8_t* data, int length, unsigned timeout_ms, int& transferred,
                       bool report_timeout = false);

// The write of `bytes` on `ep`, straight to libusb where pyusb allows it, from a copy of them (the
// transfer runs without the interpreter lock); the count written, or an invalid object when the
// device's own write must do it.
nb::object direct_write(nb::handle dev, nb::handle ep, const std::uint8_t* bytes, std::size_t size, unsigned timeout_ms);

// The reads of one worker. For pyusb's own Device the transfer lands in one reusable buffer of
// `rx_length` bytes (pyusb's read into an array returns the count), straight through the libusb
// pyusb loaded where that is possible; the transfer is then what read(endpoint, rx_length) would
// have returned, without allocating and clearing rx_length bytes per read. Any other device object
// is asked for read(endpoint, rx_length, timeout=1) as it is.
class TransferReader {
public:
    enum class Got { TimedOut, Object, Buffer };

    TransferReader() = default;
    TransferReader(const TransferReader&) = delete;
    TransferReader& operator=(const TransferReader&) = delete;
    ~TransferReader();

    // Object: `data` holds what read returned. Buffer: the first `count` bytes of bytes().
    Got read(nb::handle dev, nb::handle endpoint, nb::handle rx_length, nb::object& data, std::size_t& count);

    std::span<const std::uint8_t> bytes(std::size_t count) const {
        return {static_cast<const std::uint8_t*>(view_.buf), count};
    }

private:
    bool reuses_buffer(nb::handle dev, nb::handle rx_length);

    PyObject* dev_seen_ = nullptr;
    nb::object dev_ref_;  // keeps dev_seen_ from being reused by another object
    bool pyusb_device_ = false;
    nb::object buffer_;
    Py_buffer view_{};
    bool pinned_ = false;
    long long buffer_size_ = 0;
};

}  // namespace fdh::device
