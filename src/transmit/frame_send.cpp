// Building a transmit record from the user's bytes and writing it.
#include <cstring>

#include "device/names.hpp"
#include "device/pyusb/fast_path.hpp"
#include "python/interpreter.hpp"
#include "python/printing.hpp"
#include "python/record_codec.hpp"
#include "transmit/transmit.hpp"

namespace fdh::transmit {

namespace {
constexpr auto TX = py::RecordId::CanTx;

// The bytes of a bytes or bytearray object, or an empty span for anything else.
std::span<const std::uint8_t> plain_bytes(nb::handle o) {
    if (PyBytes_CheckExact(o.ptr()))
        return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(o.ptr())),
                static_cast<std::size_t>(PyBytes_GET_SIZE(o.ptr()))};
    if (PyByteArray_CheckExact(o.ptr()))
        return {reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(o.ptr())),
                static_cast<std::size_t>(PyByteArray_GET_SIZE(o.ptr()))};
    return {};
}
bool is_bytes_or_bytearray(nb::handle o) { return PyBytes_CheckExact(o.ptr()) || PyByteArray_CheckExact(o.ptr()); }
}  // namespace

FDH_PER_FRAME void fill_fdcan_frame(nb::handle self, nb::handle data, nb::handle frame, nb::handle canId) {
    const Py_ssize_t copy_size = std::min<Py_ssize_t>(nb::len(data), 64);
    nb::object fd = nb::int_(py::compare(py::attr(self, obj::dat_baud_), 1000000, Py_LE) ? 0 : 1);
    nb::object one = nb::int_(1), zero = nb::int_(0);
    const py::Fields<TX> tx(frame);
    tx.set<"can_id">(canId);
    tx.set<"can_type">(fd);
    tx.set<"fd_acc">(fd);
    tx.set<"fram_type">(one);
    tx.set<"id_type">(zero);
    tx.set<"id_increase">(zero);
    tx.set<"data_increase">(zero);
    tx.set<"cmd">(zero);
    tx.set<"send_time">(one);
    tx.set<"interval">(zero);
    tx.set<"dlc">(nb::int_(copy_size));
    nb::object target = tx.get<"data">();
    if (is_bytes_or_bytearray(data) && PyList_CheckExact(target.ptr()) && PyList_GET_SIZE(target.ptr()) >= copy_size) {
        // Bytes into a list long enough: the values first, so nothing a replaced entry's clean-up
        // does can change what is copied.
        std::uint8_t bytes[64];
        std::memcpy(bytes, plain_bytes(data).data(), static_cast<std::size_t>(copy_size));
        for (Py_ssize_t i = 0; i < copy_size; ++i) {
            if (i >= PyList_GET_SIZE(target.ptr())) throw nb::index_error("list assignment index out of range");
            if (PyList_SetItem(target.ptr(), i, PyLong_FromLong(bytes[i])) != 0) throw nb::python_error();
        }
        return;
    }
    for (Py_ssize_t i = 0; i < copy_size; ++i) {
        nb::object item = data[i];
        if (!PyLong_Check(item.ptr())) {
            item = nb::steal(PyNumber_Long(item.ptr()));
            if (!item.is_valid()) throw nb::python_error();
        }
        target[i] = item;
    }
}

void set_tx_frame(nb::handle self, nb::handle frame) { py::set_attr(self, obj::tx_frame, py::packed<TX>(frame)); }

void send_data(nb::handle self) {
    static PyObject* timeout_kw = PyTuple_Pack(1, py::interned("timeout").ptr());  // kept for good
    nb::object tx = py::attr(self, obj::tx_frame);
    nb::object written, dev;
    try {
        dev = py::attr(self, obj::dev_handle);
        nb::object payload = tx;
        nb::object ep = py::global(mod::CAN_OUT_EP);
        if (is_bytes_or_bytearray(tx)) {
            const auto bytes = plain_bytes(tx);
            written = device::direct_write(dev, ep, bytes.data(), bytes.size(), 1);
            // pyusb's Device.write turns anything but an array of bytes into one (by way of a caught
            // TypeError for bytes and bytearrays); it gets that array ready-made, same bytes. Any other
            // write gets the record as it is.
            if (!written.is_valid() && device::pyusb_transfer_method(dev, false)) {
                static PyObject* array_type = py::attr(nb::module_::import_("array"), "array").release().ptr();  // kept
                payload = nb::handle(array_type)("B", tx);
            }
        }
        nb::object one = nb::int_(1);
        if (!written.is_valid()) written = py::call(py::attr(dev, "write"), {ep.ptr(), payload.ptr(), one.ptr()}, timeout_kw);
    } catch (nb::python_error& e) {
        if (!py::is_usb_error(e)) throw;
        py::print2("[Error] Failed to send CAN command:", e.value());
        // The device object's own clear_halt: the stalled OUT endpoint is what needs clearing.
        try {
            py::attr(self, obj::dev_handle).attr("clear_halt")(py::global(mod::CAN_OUT_EP));
        } catch (nb::python_error& e2) {
            if (!e2.matches(PyExc_Exception)) throw;
            py::print2("Clear halt failed:", e2.value());
        }
        device::release_if_withdrawn(self, dev);  // closed by another thread meanwhile
        return;
    }
    device::release_if_withdrawn(self, dev);
    nb::object expected = nb::int_(nb::len(py::attr(self, obj::tx_frame)));
    if (!py::compare(written, expected, Py_EQ))
        py::print("发送不完整：预期 " + py::str(expected) + " 字节，实际发送 " + py::str(written) + " 字节");
}

void fdcan_frame_send(nb::handle self, nb::handle data, nb::handle canId) {
    nb::object frame = py::construct<TX>(py::global(mod::can_tx_type));
    py::call(py::attr(self, method::fillFDCANFrame), {data.ptr(), frame.ptr(), canId.ptr()});
    py::call(py::attr(self, method::set_tx_frame), {frame.ptr()});
    py::call_method(self, method::send_data);
}

}  // namespace fdh::transmit
