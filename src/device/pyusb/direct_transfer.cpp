// Which transfers may skip pyusb, and the transfer itself.
#include <cstring>
#include <iterator>
#include <optional>

#include "device/pyusb/fast_path.hpp"
#include "python/interpreter.hpp"
#include "python/numbers.hpp"

namespace fdh::device {

namespace {

bool text_is(nb::handle o, const char* expected) {
    if (!o.is_valid() || !PyUnicode_Check(o.ptr())) return false;
    const char* s = PyUnicode_AsUTF8(o.ptr());
    if (!s) PyErr_Clear();
    return s && std::strcmp(s, expected) == 0;
}

// `fn` is still the plain function `module`.`name` as pyusb defines it: not replaced by a
// program or a test, not wrapped by pyusb's call tracing.
bool is_pyusb_function(nb::handle fn, const char* module, const char* name) {
    if (!fn.is_valid() || !PyFunction_Check(fn.ptr())) return false;
    auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(fn.ptr()));
    return text_is(code->co_name, name) && text_is(py::optional_attr(fn, "__module__"), module);
}

constexpr const char* TRANSFER_METHODS[] = {"bulk_read", "bulk_write", "intr_read", "intr_write"};
constexpr std::size_t TRANSFER_METHOD_COUNT = std::size(TRANSFER_METHODS);

// What was found out about one backend object: the two libusb functions its bulk and interrupt
// calls use, its module's error check, its libusb context and the asynchronous interface of its
// library. Kept for the last backend seen (pyusb has one).
struct Backend {
    nb::object object;
    nb::object methods[TRANSFER_METHOD_COUNT];  // its class's transfer methods when it was inspected
    libusb::TransferFn bulk = nullptr;
    libusb::TransferFn interrupt = nullptr;
    nb::object check;  // usb.backend.libusb1._check
    void* ctx = nullptr;
    libusb::AsyncApi async;
    bool usable = false;
};

nb::handle class_method(nb::handle backend, const char* name) {
    return _PyType_Lookup(Py_TYPE(backend.ptr()), py::interned(name).ptr());
}

Backend inspect_backend(nb::handle backend) {
    Backend b;
    b.object = nb::borrow(backend);
    for (std::size_t i = 0; i < TRANSFER_METHOD_COUNT; ++i)
        b.methods[i] = nb::borrow(class_method(backend, TRANSFER_METHODS[i]));
    constexpr const char* module = "usb.backend.libusb1";
    nb::handle type = backend.type();
    if (!text_is(py::optional_attr(type, "__module__"), module) || !text_is(py::optional_attr(type, "__name__"), "_LibUSB"))
        return b;
    for (std::size_t i = 0; i < TRANSFER_METHOD_COUNT; ++i)
        if (!is_pyusb_function(b.methods[i], module, TRANSFER_METHODS[i])) return b;
    try {
        nb::object modules = nb::module_::import_("sys").attr("modules");
        b.check = modules[module].attr("_check");
        nb::object ctypes = nb::module_::import_("ctypes");
        nb::object lib = backend.attr("lib");
        auto address = [&](const char* fn) -> void* {
            nb::object v = ctypes.attr("cast")(lib.attr(fn), ctypes.attr("c_void_p")).attr("value");
            void* p = v.is_none() ? nullptr : PyLong_AsVoidPtr(v.ptr());
            if (PyErr_Occurred()) throw nb::python_error();
            return p;
        };
        b.bulk = reinterpret_cast<libusb::TransferFn>(address("libusb_bulk_transfer"));
        b.interrupt = reinterpret_cast<libusb::TransferFn>(address("libusb_interrupt_transfer"));
        b.usable = b.bulk && b.interrupt;
        if (!b.usable) return b;
        // The reader's queued transfers: the same library, on the context pyusb made for it.
        auto& a = b.async;
        a.alloc_transfer = reinterpret_cast<decltype(a.alloc_transfer)>(address("libusb_alloc_transfer"));
        a.free_transfer = reinterpret_cast<decltype(a.free_transfer)>(address("libusb_free_transfer"));
        a.submit_transfer = reinterpret_cast<decltype(a.submit_transfer)>(address("libusb_submit_transfer"));
        a.cancel_transfer = reinterpret_cast<decltype(a.cancel_transfer)>(address("libusb_cancel_transfer"));
        a.handle_events_timeout_completed = reinterpret_cast<decltype(a.handle_events_timeout_completed)>(
            address("libusb_handle_events_timeout_completed"));
        a.interrupt_event_handler =
            reinterpret_cast<decltype(a.interrupt_event_handler)>(address("libusb_interrupt_event_handler"));
        nb::object ctx = backend.attr("ctx").attr("value");
        b.ctx = ctx.is_none() ? nullptr : PyLong_AsVoidPtr(ctx.ptr());
        if (PyErr_Occurred()) throw nb::python_error();
    } catch (nb::python_error&) {
        // Not the library layout expected: without the asynchronous part the reader polls, without
        // the rest everything is left to pyusb.
        b.async = libusb::AsyncApi{};
    }
    return b;
}

// The transfer methods `backend` has now are the ones `b` found: none replaced on its class since.
bool same_class_methods(const Backend& b, nb::handle backend) {
    for (std::size_t i = 0; i < TRANSFER_METHOD_COUNT; ++i)
        if (!class_method(backend, TRANSFER_METHODS[i]).is(b.methods[i])) return false;
    return true;
}

Backend& backend_for(nb::handle backend) {
    static Backend* last = new Backend();  // kept for good, like the module itself
    if (!last->object.is(backend) || !same_class_methods(*last, backend)) *last = inspect_backend(backend);
    return *last;
}

// Device.read / Device.write are pyusb's own (checked once per function object seen).
bool device_method_is_pyusb(PyTypeObject* device_type, bool in) {
    static PyObject* seen[2] = {nullptr, nullptr};
    static bool ok[2] = {false, false};
    const char* name = in ? "read" : "write";
    PyObject* fn = _PyType_Lookup(device_type, py::interned(name).ptr());
    if (!fn) return false;
    if (fn != seen[in]) {
        Py_INCREF(fn);
        Py_XDECREF(seen[in]);
        seen[in] = fn;
        ok[in] = is_pyusb_function(fn, "usb.core", name);
    }
    return ok[in];
}

// A borrowed item of a dict (nullptr when absent or `d` is no dict).
PyObject* dict_item(nb::handle d, PyObject* key) {
    if (!d.is_valid() || !PyDict_Check(d.ptr())) return nullptr;
    PyObject* v = PyDict_GetItemWithError(d.ptr(), key);
    if (!v) PyErr_Clear();
    return v;
}

// A transfer method set on the backend object itself, which pyusb would call instead of its class's.
bool has_own_transfer_method(nb::handle backend) {
    nb::object own = nb::steal(PyObject_GenericGetDict(backend.ptr(), nullptr));
    if (!own.is_valid()) {
        PyErr_Clear();
        return false;  // no namespace of its own
    }
    for (const char* name : TRANSFER_METHODS)
        if (dict_item(own, py::interned(name).ptr())) return true;
    return false;
}

// A descriptor field as pyusb keeps it: a plain int 0..255, or -1.
int descriptor_byte(nb::handle o, const char* name) { return py::plain_int(py::optional_attr(o, name), 0, 255).value_or(-1); }

}  // namespace

int endpoint_number(nb::handle ep) { return py::plain_int(ep, 0, 255).value_or(-1); }

bool pyusb_transfer_method(nb::handle dev, bool in) {
    if (!is_pyusb_device(dev) || !device_method_is_pyusb(Py_TYPE(dev.ptr()), in)) return false;
    nb::object own = nb::steal(PyObject_GenericGetDict(dev.ptr(), nullptr));
    if (!own.is_valid()) PyErr_Clear();
    return !dict_item(own, py::interned(in ? "read" : "write").ptr());
}

std::optional<Route> direct_route(nb::handle dev, int ep) {
    const bool in = (ep & 0x80) != 0;
    if (!pyusb_transfer_method(dev, in)) return std::nullopt;
    nb::object own = nb::steal(PyObject_GenericGetDict(dev.ptr(), nullptr));
    if (!own.is_valid()) PyErr_Clear();

    // The state pyusb's setup_request would look at; anything it would first set up or repair
    // (opening, claiming, finding the endpoint) is left to it.
    PyObject* ctx_ptr = dict_item(own, py::interned("_ctx").ptr());
    if (!ctx_ptr) return std::nullopt;
    nb::handle ctx(ctx_ptr);
    nb::object handle = py::optional_attr(ctx, "handle");
    if (!handle.is_valid() || handle.is_none()) return std::nullopt;
    nb::object key = nb::int_(ep);
    nb::object ep_info = py::optional_attr(ctx, "_ep_info");
    PyObject* found = dict_item(ep_info, key.ptr());
    if (!found || !PyTuple_Check(found) || PyTuple_GET_SIZE(found) != 2) return std::nullopt;
    nb::handle intf(PyTuple_GET_ITEM(found, 0)), ep_desc(PyTuple_GET_ITEM(found, 1));
    const int intf_number = descriptor_byte(intf, "bInterfaceNumber");
    const int attributes = descriptor_byte(ep_desc, "bmAttributes");
    const int address = descriptor_byte(ep_desc, "bEndpointAddress");
    if (intf_number < 0 || attributes < 0 || address < 0) return std::nullopt;
    nb::object claimed = py::optional_attr(ctx, "_claimed_intf");
    if (!claimed.is_valid() || !PySet_Check(claimed.ptr())) return std::nullopt;
    nb::object intf_key = nb::int_(intf_number);
    if (PySet_Contains(claimed.ptr(), intf_key.ptr()) != 1) {
        PyErr_Clear();
        return std::nullopt;
    }
    nb::object backend = py::optional_attr(ctx, "backend");
    if (!backend.is_valid()) return std::nullopt;
    Backend& b = backend_for(backend);
    if (!b.usable || has_own_transfer_method(backend)) return std::nullopt;
    Route r;
    r.type = static_cast<unsigned char>(attributes & 0x3);
    r.fn = r.type == libusb::TRANSFER_TYPE_BULK        ? b.bulk
           : r.type == libusb::TRANSFER_TYPE_INTERRUPT ? b.interrupt
                                                       : nullptr;
    if (!r.fn) return std::nullopt;
    nb::object raw = py::optional_attr(handle, "handle");
    nb::object value = raw.is_valid() ? py::optional_attr(raw, "value") : nb::object();
    if (!value.is_valid() || !PyLong_Check(value.ptr())) return std::nullopt;
    r.handle = PyLong_AsVoidPtr(value.ptr());
    if (!r.handle) {
        PyErr_Clear();
        return std::nullopt;
    }
    r.address = static_cast<unsigned char>(address);
    r.check = b.check;  // held by the route: the backend may be replaced meanwhile
    r.keep = handle;
    r.pyusb_ctx = nb::borrow(ctx);
    r.backend = backend;
    r.ep_entry = nb::borrow(found);
    r.intf = std::move(intf_key);
    r.ctx = b.ctx;
    r.async = b.async;
    return r;
}

bool route_unchanged(nb::handle dev, int ep, const Route& r) {
    if (!pyusb_transfer_method(dev, (ep & 0x80) != 0)) return false;
    nb::object own = nb::steal(PyObject_GenericGetDict(dev.ptr(), nullptr));
    if (!own.is_valid()) PyErr_Clear();
    PyObject* ctx = dict_item(own, py::interned("_ctx").ptr());
    if (!ctx || ctx != r.pyusb_ctx.ptr()) return false;
    // pyusb replaces these objects, never changes them in place: the same objects, the same route.
    nb::object handle = py::optional_attr(ctx, "handle");
    nb::object backend = py::optional_attr(ctx, "backend");
    if (!handle.is(r.keep) || !backend.is(r.backend)) return false;
    nb::object key = nb::int_(ep);
    if (dict_item(py::optional_attr(ctx, "_ep_info"), key.ptr()) != r.ep_entry.ptr()) return false;
    nb::object claimed = py::optional_attr(ctx, "_claimed_intf");
    if (!claimed.is_valid() || !PySet_Check(claimed.ptr()) || PySet_Contains(claimed.ptr(), r.intf.ptr()) != 1) {
        PyErr_Clear();
        return false;
    }
    const Backend& b = backend_for(backend);
    return b.usable && !has_own_transfer_method(backend) && b.check.is(r.check);
}

Direct direct_transfer(nb::handle dev, int ep, std::uint8_t* data, int length, unsigned timeout_ms, int& transferred,
                       bool report_timeout) {
    transferred = 0;
    std::optional<Route> route = direct_route(dev, ep);
    if (!route) return Direct::NotTaken;
    int r, moved = 0;
    {
        // `handle` stays referenced meanwhile (route->keep), as it does in pyusb's own call.
        nb::gil_scoped_release unlocked;
        r = route->fn(route->handle, route->address, data, length, &moved, timeout_ms);
    }
    transferred = moved;
    // As pyusb: a time-out that moved some bytes is a transfer of those bytes.
    if (r >= 0 || (r == libusb::ERROR_TIMEOUT && moved)) return Direct::Done;
    if (r == libusb::ERROR_TIMEOUT && report_timeout) return Direct::TimedOut;
    route->check(r);  // raises pyusb's exception for this code
    return Direct::Done;
}

nb::object direct_write(nb::handle dev, nb::handle ep, const std::uint8_t* bytes, std::size_t size, unsigned timeout_ms) {
    std::uint8_t copy[4096];
    const int number = endpoint_number(ep);
    if (number < 0 || size > sizeof copy) return nb::object();
    std::memcpy(copy, bytes, size);
    int moved = 0;
    if (direct_transfer(dev, number, copy, static_cast<int>(size), timeout_ms, moved) == Direct::NotTaken)
        return nb::object();
    return nb::int_(moved);
}

}  // namespace fdh::device
