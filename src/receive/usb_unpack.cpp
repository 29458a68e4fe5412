// The check of each bulk receive container, and the hand-over of its section to the decoder.
#include "receive/usb_unpack.hpp"

#include "device/names.hpp"
#include "protocol/receive_container.hpp"
#include "python/byte_values.hpp"
#include "python/interpreter.hpp"
#include "python/numbers.hpp"
#include "python/printing.hpp"
#include "receive/frame_delivery.hpp"
#include "receive/receive.hpp"

namespace fdh::receive {

namespace {
PyObject* g_own_decoder = nullptr;
PyObject* g_own_unpacker = nullptr;
PyObject* g_own_length_method = nullptr;

// Holds the object's mutex_ for one container; released on every way out.
class MutexHold {
public:
    explicit MutexHold(nb::object lock) : lock_(std::move(lock)) { py::call_method(lock_, "acquire"); }
    ~MutexHold() {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);  // an exception may be on its way out
        PyObject* r = PyObject_CallMethodNoArgs(lock_.ptr(), py::interned("release").ptr());
        if (r)
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(lock_.ptr());
        PyErr_Restore(type, value, tb);
    }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;

private:
    nb::object lock_;
};

// True when `self.<name>` is still this module's own method `own` (not replaced on the object
// or in a subclass), so it can be run directly on bytes in memory instead of through a Python call.
bool own_method(nb::handle self, const char* name, PyObject* own) {
    nb::object key = py::interned(name);
    nb::object dict = nb::steal(PyObject_GenericGetDict(self.ptr(), nullptr));
    if (!dict.is_valid()) {
        PyErr_Clear();
    } else if (PyDict_GetItemWithError(dict.ptr(), key.ptr())) {
        return false;
    } else if (PyErr_Occurred()) {
        PyErr_Clear();
    }
    PyObject* found = _PyType_Lookup(Py_TYPE(self.ptr()), key.ptr());
    return found && found == own;
}

bool own_decoder(nb::handle self) { return own_method(self, method::unpack_can_frame, g_own_decoder); }

// The messages of a rejected container; false when it passed.
bool report_rejected(const ContainerResult& c) {
    switch (c.check) {
        case ContainerCheck::TooShort:
            py::print("[Error] In unpack_usb_frame,Data length is too short");
            return true;
        case ContainerCheck::FrameFormat:
            py::print("[Error] In unpack_usb_frame,Frame format error, start = 0x" + py::hex_upper(c.start, 2) +
                      ", end = 0x" + py::hex_upper(c.end, 2));
            return true;
        case ContainerCheck::EmptyCount:
            py::print("[Error] In unpack_usb_frame,Byte count is empty");
            return true;
        case ContainerCheck::Exceeds:
            py::print("[Error] In unpack_usb_frame,The number of bytes exceeds the receive buffer");
            return true;
        case ContainerCheck::Ok:
            break;
    }
    return false;
}

void report_call_failed(nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    py::print("[Error] unpack_can_frame Call failed: " + py::error_text(e));
}

void keep(PyObject*& slot, nb::handle fn) {
    Py_XINCREF(fn.ptr());
    Py_XDECREF(slot);
    slot = fn.ptr();
}
}  // namespace

bool own_length_method(nb::handle self) { return own_method(self, method::can_pack_dlc_get, g_own_length_method); }

bool unpacks_in_memory(nb::handle self) {
    return own_method(self, method::unpack_usb_frame, g_own_unpacker) && own_decoder(self);
}

void unpack_in_memory(nb::handle self, std::span<const std::uint8_t> transfer, Reception at) {
    MutexHold hold(py::attr(self, obj::mutex_));
    const ContainerResult c = check_container(transfer);
    if (report_rejected(c)) return;
    try {
        deliver_section(self, c.section, static_cast<long long>(c.bytes_num) + 4, at);
    } catch (nb::python_error& e) {
        report_call_failed(e);
    }
}

void remember_own_methods(nb::handle cls) {
    keep(g_own_decoder, cls.attr(method::unpack_can_frame));
    keep(g_own_unpacker, cls.attr(method::unpack_usb_frame));
    keep(g_own_length_method, cls.attr(method::can_pack_dlc_get));
}

nb::object unpack_usb_frame(nb::handle self, nb::handle pdat, nb::handle length) {
    MutexHold hold(py::attr(self, obj::mutex_));
    const long long n = py::index_value(length);
    if (n < 4) {
        py::print("[Error] In unpack_usb_frame,Data length is too short");
        return nb::int_(-1);
    }
    py::ByteView view(pdat);
    if (static_cast<unsigned long long>(n) > view.bytes().size()) throw nb::index_error("index out of range");
    const ContainerResult c = check_container(view.bytes().first(static_cast<std::size_t>(n)));
    if (report_rejected(c)) return nb::int_(-1);
    const long long bytes_len = static_cast<long long>(c.bytes_num) + 4;
    try {
        if (own_decoder(self))
            return nb::int_(deliver_section(self, c.section, bytes_len, std::chrono::steady_clock::now()));
        nb::object section = pdat[nb::slice(nb::int_(2), nb::int_(2 + bytes_len), nb::none())];
        return py::attr(self, method::unpack_can_frame)(section, nb::int_(bytes_len));
    } catch (nb::python_error& e) {
        report_call_failed(e);
        return nb::int_(-1);
    }
}

}  // namespace fdh::receive
