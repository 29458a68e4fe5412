// send_message: one python-can frame built into a transmit record and written, with the wait for
// room in the adapter's transmit queue bounded by the caller. Failures are exceptions; nothing is
// printed.
#include <array>
#include <cerrno>
#include <chrono>
#include <limits>

#include "device/names.hpp"
#include "device/pyusb/fast_path.hpp"
#include "protocol/can_message.hpp"
#include "python/byte_values.hpp"
#include "python/interpreter.hpp"
#include "python/numbers.hpp"
#include "transmit/transmit.hpp"

namespace fdh::transmit {

namespace {
// A write that waits for ever is made in slices this long, between which pending signals are
// handled, so Ctrl-C ends a send that waits for a full transmit queue.
constexpr unsigned SLICE_MS = 100;

[[noreturn]] void raise_os_error(PyObject* type, int code, const std::string& text) {
    nb::object error = nb::handle(type)(code, nb::str(text.c_str()));
    PyErr_SetObject(type, error.ptr());
    throw nb::python_error();
}

CanMessage message_from(nb::handle id, nb::handle extended, nb::handle remote, nb::handle fd, nb::handle brs,
                        nb::handle data, nb::handle length) {
    CanMessage m;
    const long long value = py::index_value(id);
    if (value < 0 || value > std::numeric_limits<std::uint32_t>::max())
        throw nb::value_error("a CAN identifier is an integer from 0 to 0x1FFFFFFF");
    m.id = static_cast<std::uint32_t>(value);
    m.extended = py::truthy(extended);
    m.remote = py::truthy(remote);
    m.fd = py::truthy(fd);
    m.brs = py::truthy(brs);
    py::ByteView bytes(data);
    assign_data(m, bytes.bytes());
    if (m.remote) {
        const long long n = py::index_value(length);
        if (n < 0 || n > 0xFFFF) throw nb::value_error("a remote frame requests 0 to 8 bytes");
        m.len = static_cast<std::uint16_t>(n);
    }
    return m;
}

// One write of the record with a time-out in milliseconds (at least 1: 0 would be libusb's "for
// ever"); the count written, or an invalid object when it timed out.
nb::object write_once(nb::handle dev, nb::handle ep, const std::array<std::uint8_t, CAN_TX_SIZE>& record,
                      unsigned timeout_ms) {
    try {
        nb::object written = device::direct_write(dev, ep, record.data(), record.size(), timeout_ms);
        if (written.is_valid()) return written;
        // Not pyusb's own path: the device's write, with the array pyusb would make of the bytes.
        static PyObject* array_type = py::attr(nb::module_::import_("array"), "array").release().ptr();  // kept
        nb::object payload = nb::handle(array_type)("B", py::to_pybytes(record));
        return dev.attr("write")(ep, payload, nb::arg("timeout") = timeout_ms);
    } catch (nb::python_error& e) {
        if (py::is_usb_error(e) && py::is_timeout_error(e)) return nb::object();
        throw;
    }
}
}  // namespace

void send_message(nb::handle self, nb::handle id, nb::handle extended, nb::handle remote, nb::handle fd,
                  nb::handle brs, nb::handle data, nb::handle length, double timeout_s) {
    const CanMessage m = message_from(id, extended, remote, fd, brs, data, length);
    const TxBuild built = make_tx_record(m);
    if (!built.ok()) throw nb::value_error(describe(built.error, m).c_str());
    const auto record = encode_tx(built.record);

    using clock = std::chrono::steady_clock;
    const bool forever = timeout_s < 0 || timeout_s > 1e9;
    const auto deadline = clock::now() + std::chrono::duration_cast<clock::duration>(
                                             std::chrono::duration<double>(forever ? 0.0 : timeout_s));
    nb::object ep = py::global(mod::CAN_OUT_EP);
    while (true) {
        nb::object dev = py::attr(self, obj::dev_handle);
        if (dev.is_none()) raise_os_error(PyExc_OSError, ENODEV, "the adapter is not open (closed, or unplugged)");
        unsigned slice = SLICE_MS;
        if (!forever) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
            slice = static_cast<unsigned>(std::clamp<long long>(left, 1, SLICE_MS));
        }
        nb::object written;
        try {
            written = write_once(dev, ep, record, slice);
        } catch (nb::python_error&) {
            device::release_if_withdrawn(self, dev);  // closed by another thread meanwhile
            throw;
        }
        device::release_if_withdrawn(self, dev);
        if (written.is_valid()) {
            const long long n = py::index_value(written);
            if (n != static_cast<long long>(record.size()))
                raise_os_error(PyExc_OSError, EIO, "the adapter took " + std::to_string(n) + " of the " +
                                                       std::to_string(record.size()) + " bytes of a frame");
            return;
        }
        if (!forever && clock::now() >= deadline)
            raise_os_error(PyExc_TimeoutError, ETIMEDOUT, "the adapter's transmit queue stayed full");
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
    }
}

}  // namespace fdh::transmit
