// Bulk transfers on a pyusb device straight through the libusb its backend loaded.
//
// pyusb's Device.read/write spend tens of microseconds of interpreter work per call (endpoint
// lookup, claim bookkeeping, ctypes marshalling, and a raised exception for every time-out) on
// top of the transfer itself. The workers make a thousand and more of these calls a second, so
// for a device that is exactly pyusb's own Device on its own libusb1 backend, with nothing of
// that machinery replaced, the transfer goes to the same libusb function pyusb would call, with
// the same arguments, and an error is raised by pyusb's own check of the return code. Anything
// else, and any state pyusb would first have to repair (a closed handle, an unclaimed interface,
// an endpoint not yet looked up), goes through the device's own read/write as usual.
#pragma once
#include <nanobind/nanobind.h>

#include <cstdint>

namespace nb = nanobind;

namespace fdh::device {

enum class Direct {
    NotTaken,  // use the device's own read/write
    Done,      // `transferred` bytes moved
    TimedOut,  // nothing moved in time (only when asked to report rather than raise it)
};

// `ep` as an endpoint address when it is a plain int 0..255, else -1 (such a value is left to pyusb).
int endpoint_number(nb::handle ep);

// `dev` is pyusb's own usb.core.Device and its read (`in`) or write is pyusb's own method, not
// replaced on the class or on the device: only then may a call be made otherwise than as asked.
bool pyusb_transfer_method(nb::handle dev, bool in);

// One transfer of `length` bytes at `data` on endpoint `ep` (its direction bit says which way)
// with a time-out in milliseconds. Needs the interpreter lock; releases it while the transfer
// runs; `data` must stay valid and untouched by others meanwhile. A USB error is raised as pyusb
// raises it (nb::python_error), the time-out too unless `report_timeout` asks for TimedOut: the
// reader passes over a time-out anyway, and an idle bus times out a thousand times a second.
Direct direct_transfer(nb::handle dev, int ep, std::uint8_t* data, int length, unsigned timeout_ms, int& transferred,
                       bool report_timeout = false);

}  // namespace fdh::device
