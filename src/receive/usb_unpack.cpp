// The reader threads and the check of each bulk receive container.
#include "direct_transfer.hpp"
#include "fdhost.hpp"
#include "frame_delivery.hpp"
#include "py_env.hpp"
#include "receive_container.hpp"

#include <algorithm>
#include <climits>
#include <cstring>

namespace fdh::receive {

namespace {
PyObject* g_own_decoder = nullptr;
PyObject* g_own_unpacker = nullptr;

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

bool own_decoder(nb::handle self) { return own_method(self, "unpack_can_frame", g_own_decoder); }

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

// unpack_usb_frame(data, len(data)) for a transfer the reader holds in memory, when both that
// method and unpack_can_frame are the object's own: the same checks, lock and delivery, without
// a Python object for the transfer or its section.
void unpack_in_memory(nb::handle self, std::span<const std::uint8_t> transfer) {
    MutexHold hold(py::attr(self, "mutex_"));
    const ContainerResult c = check_container(transfer);
    if (report_rejected(c)) return;
    try {
        deliver_section(self, c.section, static_cast<long long>(c.bytes_num) + 4);
    } catch (nb::python_error& e) {
        report_call_failed(e);
    }
}

// The read of one transfer. For pyusb's own usb.core.Device the transfer lands in one reusable
// buffer of RX_LENGTH bytes (pyusb's read into an array returns the count), straight through the
// libusb pyusb loaded where that is possible; the transfer is then what read(endpoint, RX_LENGTH)
// would have returned, without allocating and clearing RX_LENGTH bytes per read. Any other device
// object, or a read replaced on pyusb's Device, is asked for read(endpoint, RX_LENGTH, timeout=1) as it is.
class TransferReader {
public:
    enum class Got { TimedOut, Object, Buffer };

    ~TransferReader() {
        if (pinned_) PyBuffer_Release(&view_);
    }

    // Object: `data` holds what read returned. Buffer: the first `count` bytes of buffer().
    Got read(nb::handle dev, nb::handle endpoint, nb::handle rx_length, nb::object& data, std::size_t& count) {
        // A read that is not pyusb's own is called exactly as asked.
        if (!reuses_buffer(dev, rx_length) || !device::pyusb_transfer_method(dev, true)) {
            data = call_read(dev, endpoint, rx_length);
            return data.is_valid() ? Got::Object : Got::TimedOut;
        }
        const int ep = device::endpoint_number(endpoint);
        if (ep >= 0) {
            int moved = 0;
            auto* at = static_cast<std::uint8_t*>(view_.buf);
            switch (device::direct_transfer(dev, ep, at, static_cast<int>(buffer_size_), 1, moved, true)) {
                case device::Direct::Done:
                    count = static_cast<std::size_t>(moved);
                    return Got::Buffer;
                case device::Direct::TimedOut:
                    return Got::TimedOut;
                case device::Direct::NotTaken:
                    break;
            }
        }
        nb::object n = call_read(dev, endpoint, buffer_);
        if (!n.is_valid()) return Got::TimedOut;
        Py_ssize_t got = PyNumber_AsSsize_t(n.ptr(), PyExc_OverflowError);
        if (got == -1 && PyErr_Occurred()) throw nb::python_error();
        count = static_cast<std::size_t>(std::clamp<Py_ssize_t>(got, 0, static_cast<Py_ssize_t>(buffer_size_)));
        return Got::Buffer;
    }

    std::span<const std::uint8_t> bytes(std::size_t count) const {
        return {static_cast<const std::uint8_t*>(view_.buf), count};
    }
    // The array pyusb's read(endpoint, RX_LENGTH) would have returned for the transfer.
    nb::object as_array(std::size_t count) const {
        PyObject* data = PySequence_GetSlice(buffer_.ptr(), 0, static_cast<Py_ssize_t>(count));
        if (!data) throw nb::python_error();
        return nb::steal(data);
    }

private:
    // The read's result; an invalid object when it raised pyusb's time-out error, which the loop
    // passes over anyway (checked here without turning it into a C++ exception first).
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
            if (pinned_) PyBuffer_Release(&view_);
            pinned_ = false;
            buffer_size_ = 0;
            nb::object zeros = nb::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
            if (!zeros.is_valid()) throw nb::python_error();
            std::memset(PyBytes_AS_STRING(zeros.ptr()), 0, static_cast<std::size_t>(n));
            buffer_ = array_type_("B", zeros);
            // Pinned for the reader's life: an exported array cannot be resized under the transfer.
            if (PyObject_GetBuffer(buffer_.ptr(), &view_, PyBUF_WRITABLE) != 0) throw nb::python_error();
            pinned_ = true;
            buffer_size_ = n;
        }
        return true;
    }

    PyObject* dev_seen_ = nullptr;
    nb::object dev_ref_;  // keeps dev_seen_ from being reused by another object
    bool pyusb_device_ = false;
    nb::object array_type_;
    nb::object buffer_;
    Py_buffer view_{};
    bool pinned_ = false;
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
            nb::object data;
            std::size_t count = 0;
            switch (reader.read(dev, py::global(endpoint), py::global("RX_LENGTH"), data, count)) {
                case TransferReader::Got::TimedOut:
                    continue;  // nothing arrived
                case TransferReader::Got::Buffer:
                    if (own_method(self, "unpack_usb_frame", g_own_unpacker) && own_decoder(self)) {
                        unpack_in_memory(self, reader.bytes(count));
                        continue;
                    }
                    data = reader.as_array(count);
                    break;
                case TransferReader::Got::Object:
                    break;
            }
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

void keep(PyObject*& slot, nb::handle fn) {
    Py_XINCREF(fn.ptr());
    Py_XDECREF(slot);
    slot = fn.ptr();
}
}  // namespace

void remember_own_methods(nb::handle cls) {
    keep(g_own_decoder, cls.attr("unpack_can_frame"));
    keep(g_own_unpacker, cls.attr("unpack_usb_frame"));
}

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
    if (report_rejected(c)) return nb::int_(-1);
    const long long bytes_len = static_cast<long long>(c.bytes_num) + 4;
    try {
        if (own_decoder(self)) return nb::int_(deliver_section(self, c.section, bytes_len));
        nb::object section = pdat[nb::slice(nb::int_(2), nb::int_(2 + bytes_len), nb::none())];
        return py::attr(self, "unpack_can_frame")(section, nb::int_(bytes_len));
    } catch (nb::python_error& e) {
        report_call_failed(e);
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
