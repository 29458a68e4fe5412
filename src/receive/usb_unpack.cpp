// The reader threads and the check of each bulk receive container.
#include "fdhost.hpp"
#include "frame_delivery.hpp"
#include "py_env.hpp"
#include "receive_container.hpp"

#include <cstring>

namespace fdh::receive {

namespace {
PyObject* g_own_decoder = nullptr;
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
    nb::object name = py::interned("unpack_can_frame");
    nb::object dict = nb::steal(PyObject_GenericGetDict(self.ptr(), nullptr));
    if (!dict.is_valid()) {
        PyErr_Clear();
    } else if (PyDict_GetItemWithError(dict.ptr(), name.ptr())) {
        return false;
    } else if (PyErr_Occurred()) {
        PyErr_Clear();
    }
    PyObject* found = _PyType_Lookup(Py_TYPE(self.ptr()), name.ptr());
    return found && found == own_decoder_function().ptr();
}

// The read of one transfer. A device that is pyusb's own usb.core.Device reads into one reusable
// array of RX_LENGTH bytes (its read then returns the count) and hands on a copy of exactly the
// bytes transferred, which is what its read(endpoint, RX_LENGTH) would have returned: the same
// transfer, without allocating and clearing RX_LENGTH bytes per read. Any other device object is
// asked for read(endpoint, RX_LENGTH, timeout=1) as it is.
class TransferReader {
public:
    nb::object read(nb::handle dev, nb::handle endpoint, nb::handle rx_length) {
        if (reuses_buffer(dev, rx_length)) {
            nb::object n = call_read(dev, endpoint, buffer_);
            if (!n.is_valid()) return n;
            Py_ssize_t count = PyNumber_AsSsize_t(n.ptr(), PyExc_OverflowError);
            if (count == -1 && PyErr_Occurred()) throw nb::python_error();
            PyObject* data = PySequence_GetSlice(buffer_.ptr(), 0, count);
            if (!data) throw nb::python_error();
            return nb::steal(data);
        }
        return call_read(dev, endpoint, rx_length);
    }

private:
    // The read's result; an invalid object when it raised pyusb's time-out error, which the loop
    // passes over anyway (checked here without turning it into a C++ exception first: an idle
    // bus times out a thousand times a second).
    static nb::object call_read(nb::handle dev, nb::handle endpoint, nb::handle size_or_buffer) {
        static PyObject* kwnames = PyTuple_Pack(1, py::interned("timeout").ptr());  // kept for good
        nb::object method = py::attr(dev, "read");
        nb::object one = nb::int_(1);
        PyObject* args[] = {endpoint.ptr(), size_or_buffer.ptr(), one.ptr()};
        PyObject* r = PyObject_Vectorcall(method.ptr(), args, 2, kwnames);
        if (r) return nb::steal(r);
        if (pending_is_usb_timeout()) return nb::object();
        throw nb::python_error();
    }

    // Whether the error being raised is a usb.core.USBTimeoutError (cleared if so, kept if not).
    static bool pending_is_usb_timeout() {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        bool timeout = false;
        if (PyObject* usb = PyDict_GetItemWithError(PyModule_GetDict(py::module().ptr()), py::interned("usb").ptr())) {
            nb::object core = nb::steal(PyObject_GetAttr(usb, py::interned("core").ptr()));
            nb::object cls = core.is_valid()
                                 ? nb::steal(PyObject_GetAttr(core.ptr(), py::interned("USBTimeoutError").ptr()))
                                 : nb::object();
            timeout = cls.is_valid() && value && PyObject_IsInstance(value, cls.ptr()) == 1;
        }
        PyErr_Clear();  // whatever the look-ups above raised: the usual path decides then
        if (!timeout) {
            PyErr_Restore(type, value, tb);
            return false;
        }
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        return true;
    }

    bool reuses_buffer(nb::handle dev, nb::handle rx_length) {
        if (dev.ptr() != dev_seen_) {
            // Decided once per device object: is its type exactly pyusb's Device?
            dev_seen_ = dev.ptr();
            dev_ref_ = nb::borrow(dev);
            try {
                nb::object device_type = py::attr(py::usb_core(), "Device");
                pyusb_device_ = dev.type().ptr() == device_type.ptr();
                if (pyusb_device_) array_type_ = py::attr(nb::module_::import_("array"), "array");
            } catch (nb::python_error&) {
                pyusb_device_ = false;  // no pyusb to compare with: read as asked
            }
        }
        if (!pyusb_device_ || !PyLong_CheckExact(rx_length.ptr())) return false;
        const long long n = PyLong_AsLongLong(rx_length.ptr());
        if (n == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        if (n <= 0 || n > (1 << 24)) return false;
        if (n != buffer_size_) {
            nb::object zeros = nb::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
            if (!zeros.is_valid()) throw nb::python_error();
            std::memset(PyBytes_AS_STRING(zeros.ptr()), 0, static_cast<std::size_t>(n));
            buffer_ = array_type_("B", zeros);
            buffer_size_ = n;
        }
        return true;
    }

    PyObject* dev_seen_ = nullptr;
    nb::object dev_ref_;  // keeps dev_seen_ from being reused by another object
    bool pyusb_device_ = false;
    nb::object array_type_;
    nb::object buffer_;
    long long buffer_size_ = 0;
};

void reader_loop(nb::handle self, const char* endpoint, const char* started, const char* error_prefix) {
    py::print(started);
    TransferReader reader;
    nb::object previous = nb::none();
    while (!py::truthy(py::call_method(py::attr(self, "stop_thread"), "is_set"))) {
        nb::object dev = py::attr(self, "dev_handle");
        // Released by the other worker's clean-up (an unplug): end quietly, after releasing the
        // device again in case the read under way during that clean-up had pyusb reopen it.
        if (dev.is_none()) return device::release_if_withdrawn(self, previous);
        previous = dev;
        try {
            nb::object data = reader.read(dev, py::global(endpoint), py::global("RX_LENGTH"));
            if (!data.is_valid()) continue;  // timed out: nothing arrived
            nb::object size = nb::steal(PyLong_FromSsize_t(nb::len(data)));
            nb::object unpack = py::attr(self, "unpack_usb_frame");
            PyObject* args[] = {data.ptr(), size.ptr()};
            nb::object ignored = nb::steal(PyObject_Vectorcall(unpack.ptr(), args, 2, nullptr));
            if (!ignored.is_valid()) throw nb::python_error();
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
    MutexHold hold(py::attr(self, "mutex_"));
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
        return py::attr(self, "unpack_can_frame")(section, nb::int_(bytes_len));
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
