#include <algorithm>
#include <cstring>

#include "device/pyusb/fast_path.hpp"
#include "python/interpreter.hpp"
#include "python/numbers.hpp"

namespace fdh::device {

namespace {
// Whether the error being raised is a usb.core.USBTimeoutError (cleared if so, kept if not).
bool pending_is_usb_timeout() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    bool timeout = false;
    if (PyObject* usb = PyDict_GetItemWithError(PyModule_GetDict(py::module().ptr()), py::interned("usb").ptr())) {
        nb::object core = nb::steal(PyObject_GetAttr(usb, py::interned("core").ptr()));
        nb::object cls = core.is_valid() ? nb::steal(PyObject_GetAttr(core.ptr(), py::interned("USBTimeoutError").ptr()))
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

// dev.read(endpoint, size_or_buffer, timeout=1); an invalid object when it raised pyusb's time-out
// error, which the workers pass over anyway (checked here without making it a C++ exception first).
nb::object call_read(nb::handle dev, nb::handle endpoint, nb::handle size_or_buffer) {
    static PyObject* kwnames = PyTuple_Pack(1, py::interned("timeout").ptr());  // kept for good
    nb::object method = py::attr(dev, "read");
    nb::object one = nb::int_(1);
    PyObject* args[] = {endpoint.ptr(), size_or_buffer.ptr(), one.ptr()};
    PyObject* r = PyObject_Vectorcall(method.ptr(), args, 2, kwnames);
    if (r) return nb::steal(r);
    if (pending_is_usb_timeout()) return nb::object();
    throw nb::python_error();
}
}  // namespace

TransferReader::~TransferReader() {
    if (pinned_) PyBuffer_Release(&view_);
}

TransferReader::Got TransferReader::read(nb::handle dev, nb::handle endpoint, nb::handle rx_length, nb::object& data,
                                         std::size_t& count) {
    // A read that is not pyusb's own is called exactly as asked.
    if (!reuses_buffer(dev, rx_length) || !pyusb_transfer_method(dev, true)) {
        data = call_read(dev, endpoint, rx_length);
        return data.is_valid() ? Got::Object : Got::TimedOut;
    }
    const int ep = endpoint_number(endpoint);
    if (ep >= 0) {
        int moved = 0;
        auto* at = static_cast<std::uint8_t*>(view_.buf);
        switch (direct_transfer(dev, ep, at, static_cast<int>(buffer_size_), 1, moved, true)) {
            case Direct::Done:
                count = static_cast<std::size_t>(moved);
                return Got::Buffer;
            case Direct::TimedOut:
                return Got::TimedOut;
            case Direct::NotTaken:
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

bool TransferReader::reuses_buffer(nb::handle dev, nb::handle rx_length) {
    if (dev.ptr() != dev_seen_) {
        // Decided once per device object.
        dev_seen_ = dev.ptr();
        dev_ref_ = nb::borrow(dev);
        pyusb_device_ = is_pyusb_device(dev);
    }
    if (!pyusb_device_) return false;
    const auto n = py::plain_int(rx_length, 1, 1 << 24);
    if (!n) return false;
    if (*n != buffer_size_) {
        if (pinned_) PyBuffer_Release(&view_);
        pinned_ = false;
        buffer_size_ = 0;
        nb::object zeros = nb::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*n)));
        if (!zeros.is_valid()) throw nb::python_error();
        std::memset(PyBytes_AS_STRING(zeros.ptr()), 0, static_cast<std::size_t>(*n));
        buffer_ = py::attr(nb::module_::import_("array"), "array")("B", zeros);
        // Pinned for the reader's life: an exported array cannot be resized under the transfer.
        if (PyObject_GetBuffer(buffer_.ptr(), &view_, PyBUF_WRITABLE) != 0) throw nb::python_error();
        pinned_ = true;
        buffer_size_ = *n;
    }
    return true;
}

}  // namespace fdh::device
