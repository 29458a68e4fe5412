// Building a transmit record from the user's bytes, writing it, and the heartbeat worker.
#include "direct_transfer.hpp"
#include "fdhost.hpp"
#include "py_env.hpp"
#include "records_py.hpp"

#include <cstring>
#include <initializer_list>
#include <iterator>

namespace fdh::transmit {

namespace {
nb::object call(nb::handle fn, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
    const std::size_t positional = args.size() - (kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
    PyObject* r = PyObject_Vectorcall(fn.ptr(), const_cast<PyObject**>(std::data(args)), positional, kwnames);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}
}  // namespace

void fill_fdcan_frame(nb::handle self, nb::handle data, nb::handle frame, nb::handle canId) {
    const Py_ssize_t copy_size = std::min<Py_ssize_t>(nb::len(data), 64);
    nb::object fd = nb::int_(py::compare(py::attr(self, "dat_baud_"), 1000000, Py_LE) ? 0 : 1);
    nb::object one = nb::int_(1), zero = nb::int_(0);
    nb::object target;
    if (py::CanTxObj* t = py::plain_tx_object(frame)) {
        // The record's own fields: the same stores its attributes would make.
        t->can_id = nb::borrow(canId);
        t->can_type = fd;
        t->fd_acc = fd;
        t->fram_type = one;
        t->id_type = zero;
        t->id_increase = zero;
        t->data_increase = zero;
        t->cmd = zero;
        t->send_time = one;
        t->interval = zero;
        t->dlc = nb::int_(copy_size);
        target = t->data;
    } else {
        auto set = [&](const char* name, nb::handle v) {
            if (PyObject_SetAttr(frame.ptr(), py::interned(name).ptr(), v.ptr()) != 0) throw nb::python_error();
        };
        set("can_id", canId);
        set("can_type", fd);
        set("fd_acc", fd);
        set("fram_type", one);
        set("id_type", zero);
        set("id_increase", zero);
        set("data_increase", zero);
        set("cmd", zero);
        set("send_time", one);
        set("interval", zero);
        set("dlc", nb::int_(copy_size));
        target = py::attr(frame, "data");
    }
    if ((PyBytes_CheckExact(data.ptr()) || PyByteArray_CheckExact(data.ptr())) && PyList_CheckExact(target.ptr()) &&
        PyList_GET_SIZE(target.ptr()) >= copy_size) {
        // Bytes into a list long enough: the values first, so nothing a replaced entry's clean-up
        // does can change what is copied.
        std::uint8_t bytes[64];
        const char* src = PyBytes_CheckExact(data.ptr()) ? PyBytes_AS_STRING(data.ptr()) : PyByteArray_AS_STRING(data.ptr());
        std::memcpy(bytes, src, static_cast<std::size_t>(copy_size));
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

void set_tx_frame(nb::handle self, nb::handle frame) {
    nb::object packed =
        py::plain_tx_object(frame) ? py::to_pybytearray(py::encode_tx_object(frame)) : py::call_method(frame, "to_bytes");
    if (PyObject_SetAttr(self.ptr(), py::interned("tx_frame").ptr(), packed.ptr()) != 0) throw nb::python_error();
}

void send_data(nb::handle self) {
    static PyObject* timeout_kw = PyTuple_Pack(1, py::interned("timeout").ptr());  // kept for good
    nb::object tx = py::attr(self, "tx_frame");
    nb::object written, dev;
    try {
        dev = py::attr(self, "dev_handle");
        nb::object payload = tx;
        nb::object ep = py::global("CAN_OUT_EP");
        if (PyByteArray_CheckExact(tx.ptr()) || PyBytes_CheckExact(tx.ptr())) {
            // Straight to libusb where pyusb allows it, with a copy of the record's bytes: the
            // transfer runs without the interpreter lock.
            const bool is_bytes = PyBytes_CheckExact(tx.ptr());
            const char* src = is_bytes ? PyBytes_AS_STRING(tx.ptr()) : PyByteArray_AS_STRING(tx.ptr());
            const Py_ssize_t size = is_bytes ? PyBytes_GET_SIZE(tx.ptr()) : PyByteArray_GET_SIZE(tx.ptr());
            const int number = device::endpoint_number(ep);
            if (number >= 0 && size <= 4096) {
                std::uint8_t bytes[4096];
                std::memcpy(bytes, src, static_cast<std::size_t>(size));
                int moved = 0;
                if (device::direct_transfer(dev, number, bytes, static_cast<int>(size), 1, moved) !=
                    device::Direct::NotTaken)
                    written = nb::int_(moved);
            }
        }
        // pyusb's Device.write turns anything but an array of bytes into one (by way of a caught
        // TypeError for bytes and bytearrays); it gets that array ready-made, same bytes. Any other
        // write gets the record as it is.
        if (!written.is_valid() && (PyByteArray_CheckExact(tx.ptr()) || PyBytes_CheckExact(tx.ptr())) &&
            device::pyusb_transfer_method(dev, false)) {
            static PyObject* array_type = py::attr(nb::module_::import_("array"), "array").release().ptr();  // kept
            payload = nb::handle(array_type)("B", tx);
        }
        nb::object one = nb::int_(1);
        if (!written.is_valid()) written = call(py::attr(dev, "write"), {ep.ptr(), payload.ptr(), one.ptr()}, timeout_kw);
    } catch (nb::python_error& e) {
        if (!py::is_usb_error(e)) throw;
        py::print2("[Error] Failed to send CAN command:", e.value());
        // The device object's own clear_halt: the stalled OUT endpoint is what needs clearing.
        try {
            py::attr(self, "dev_handle").attr("clear_halt")(py::global("CAN_OUT_EP"));
        } catch (nb::python_error& e2) {
            if (!e2.matches(PyExc_Exception)) throw;
            py::print2("Clear halt failed:", e2.value());
        }
        device::release_if_withdrawn(self, dev);  // closed by another thread meanwhile
        return;
    }
    device::release_if_withdrawn(self, dev);
    nb::object expected = nb::int_(nb::len(py::attr(self, "tx_frame")));
    if (!py::compare(written, expected, Py_EQ))
        py::print("发送不完整：预期 " + py::str(expected) + " 字节，实际发送 " + py::str(written) + " 字节");
}

void fdcan_frame_send(nb::handle self, nb::handle data, nb::handle canId) {
    nb::object cls = py::global("can_tx_type");
    nb::object frame = py::is_plain_tx_type(cls) ? py::new_tx_object() : cls();
    call(py::attr(self, "fillFDCANFrame"), {data.ptr(), frame.ptr(), canId.ptr()});
    call(py::attr(self, "set_tx_frame"), {frame.ptr()});
    py::call_method(self, "send_data");
}

void send_thread(nb::handle self) {
    py::print("Heart thread started");
    nb::object previous = nb::none();
    while (!py::truthy(py::call_method(py::attr(self, "stop_thread"), "is_set"))) {
        // Released by the other worker's clean-up (an unplug): nothing left to keep alive; the
        // device is released again in case the heartbeat under way then had pyusb reopen it.
        nb::object dev = py::attr(self, "dev_handle");
        if (dev.is_none()) return device::release_if_withdrawn(self, previous);
        previous = dev;
        try {
            py::call_method(self, "USB_CMD_HEART");
            py::sleep(0.01);
        } catch (nb::python_error& e) {
            if (!py::is_usb_error(e)) throw;
            if (py::is_timeout_error(e)) continue;
            py::print("[Error] In send thread,Usb_rec err, err_code=" + py::str(py::error_errno(e)) + ", failed: [" +
                      py::error_text(e) + "]");
            self.attr("usb_clear")();
            return;
        }
    }
}

}  // namespace fdh::transmit
