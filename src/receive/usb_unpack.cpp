// The reader threads and the check of each bulk receive container.
#include "fdhost.hpp"
#include "frame_delivery.hpp"
#include "py_env.hpp"
#include "receive_container.hpp"

namespace fdh::receive {

namespace {
PyObject* g_own_decoder = nullptr;
// Holds the object's mutex_ for one container; released on every way out.
class MutexHold {
public:
    explicit MutexHold(nb::object lock) : lock_(std::move(lock)) { lock_.attr("acquire")(); }
    ~MutexHold() {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);  // an exception may be on its way out
        PyObject* r = PyObject_CallMethod(lock_.ptr(), "release", nullptr);
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

long long as_index(nb::handle v) {
    nb::object idx = nb::steal(PyNumber_Index(v.ptr()));
    if (!idx.is_valid()) throw nb::python_error();
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(idx.ptr(), &overflow);
    if (x == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow) return overflow > 0 ? LLONG_MAX : LLONG_MIN;
    return x;
}

// True when `self.unpack_can_frame` is still this module's own method, so the section can be
// decoded straight from the received bytes instead of through a copy and a Python call.
bool own_decoder(nb::handle self) {
    nb::object dict = nb::steal(PyObject_GenericGetDict(self.ptr(), nullptr));
    if (!dict.is_valid()) {
        PyErr_Clear();
    } else if (PyDict_GetItemString(dict.ptr(), "unpack_can_frame")) {
        return false;
    }
    PyObject* found = _PyType_Lookup(Py_TYPE(self.ptr()), nb::str("unpack_can_frame").ptr());
    return found && found == own_decoder_function().ptr();
}

void reader_loop(nb::handle self, const char* endpoint, const char* started, const char* error_prefix) {
    py::print(started);
    nb::str read_name("read");
    while (!py::truthy(self.attr("stop_thread").attr("is_set")())) {
        nb::object dev = self.attr("dev_handle");
        // Released by the other worker's clean-up (an unplug): end quietly.
        if (dev.is_none()) return;
        try {
            nb::object data = dev.attr(read_name)(py::global(endpoint), py::global("RX_LENGTH"), nb::arg("timeout") = 1);
            nb::object size = nb::int_(nb::len(data));
            self.attr("unpack_usb_frame")(data, size);
        } catch (nb::python_error& e) {
            if (!py::is_usb_error(e)) throw;
            if (py::is_timeout_error(e)) continue;
            py::print(std::string(error_prefix) + py::str(py::error_errno(e)) + ", failed: [" + py::error_text(e) + "]");
            self.attr("usb_clear")();
            return;
        }
    }
}
}  // namespace

void remember_own_decoder(nb::handle fn) {
    Py_XINCREF(fn.ptr());
    Py_XDECREF(g_own_decoder);
    g_own_decoder = fn.ptr();
}

nb::handle own_decoder_function() { return g_own_decoder; }

nb::object unpack_usb_frame(nb::handle self, nb::handle pdat, nb::handle length) {
    MutexHold hold(self.attr("mutex_"));
    const long long n = as_index(length);
    if (n < 4) {
        py::print("[Error] In unpack_usb_frame,Data length is too short");
        return nb::int_(-1);
    }
    py::ByteView view(pdat);
    if (static_cast<unsigned long long>(n) > view.bytes().size()) throw nb::index_error("index out of range");
    const ContainerResult c = check_container(view.bytes().first(static_cast<std::size_t>(n)));
    switch (c.check) {
        case ContainerCheck::TooShort:
            py::print("[Error] In unpack_usb_frame,Data length is too short");
            return nb::int_(-1);
        case ContainerCheck::FrameFormat:
            py::print("[Error] In unpack_usb_frame,Frame format error, start = 0x" + py::hex_upper(c.start, 2) +
                      ", end = 0x" + py::hex_upper(c.end, 2));
            return nb::int_(-1);
        case ContainerCheck::EmptyCount:
            py::print("[Error] In unpack_usb_frame,Byte count is empty");
            return nb::int_(-1);
        case ContainerCheck::Exceeds:
            py::print("[Error] In unpack_usb_frame,The number of bytes exceeds the receive buffer");
            return nb::int_(-1);
        case ContainerCheck::Ok:
            break;
    }
    const long long bytes_len = static_cast<long long>(c.bytes_num) + 4;
    try {
        if (own_decoder(self)) return nb::int_(deliver_section(self, c.section, bytes_len));
        nb::object section = pdat[nb::slice(nb::int_(2), nb::int_(2 + bytes_len), nb::none())];
        return self.attr("unpack_can_frame")(section, nb::int_(bytes_len));
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::print("[Error] unpack_can_frame Call failed: " + py::error_text(e));
        return nb::int_(-1);
    }
}

void get_data_thread(nb::handle self) {
    reader_loop(self, "WINUSB_IN_EP", "USB receiving thread started", "[Error] In get_data_thread,Usb_rec err, err_code=");
}

void can_rev_thread(nb::handle self) {
    reader_loop(self, "CAN_IN_EP", "thread2 started", "[Error] In can_rev_thread,Usb_rec err, err_code=");
}

}  // namespace fdh::receive
