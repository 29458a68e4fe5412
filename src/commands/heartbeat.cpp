// The heartbeat: the fixed frame written to its own endpoint, and the worker thread that writes it
// every 10 ms for as long as the object is open.
#include <chrono>
#include <cstring>
#include <optional>

#include "commands/commands.hpp"
#include "device/names.hpp"
#include "device/object_state.hpp"
#include "device/pyusb/fast_path.hpp"
#include "device/pyusb/stop_waker.hpp"
#include "protocol/command_frame.hpp"
#include "python/byte_values.hpp"
#include "python/interpreter.hpp"
#include "python/printing.hpp"

namespace fdh::commands {

namespace {
constexpr auto PERIOD = std::chrono::milliseconds(10);
PyObject* g_own_heart = nullptr;

// self.USB_CMD_HEART is still the class's own method (not overridden in a subclass or on the
// object): the worker then calls it without going through the interpreter.
bool own_heart(nb::handle self) {
    nb::object name = py::interned(method::USB_CMD_HEART);
    if (!g_own_heart || _PyType_Lookup(Py_TYPE(self.ptr()), name.ptr()) != g_own_heart) return false;
    nb::object own = nb::steal(PyObject_GenericGetDict(self.ptr(), nullptr));
    if (!own.is_valid()) {
        PyErr_Clear();
        return true;
    }
    PyObject* shadow = PyDict_GetItemWithError(own.ptr(), name.ptr());
    if (!shadow) PyErr_Clear();
    return !shadow;
}

// The module's `time.sleep` is the interpreter's own, not something a program put in its place.
bool plain_sleep() {
    nb::object sleep = py::optional_attr(py::global(mod::time), "sleep");
    if (!sleep.is_valid() || !PyCFunction_Check(sleep.ptr())) return false;
    const char* name = reinterpret_cast<PyCFunctionObject*>(sleep.ptr())->m_ml->ml_name;
    nb::object module = py::optional_attr(sleep, "__module__");
    const char* module_name = module.is_valid() && PyUnicode_Check(module.ptr()) ? PyUnicode_AsUTF8(module.ptr()) : nullptr;
    if (!module_name) PyErr_Clear();
    return std::strcmp(name, "sleep") == 0 && module_name && std::strcmp(module_name, "time") == 0;
}

// The pause between two heartbeats. Where time.sleep is the interpreter's own, a wait that setting
// stop_thread ends at once (close returns without waiting out the period); otherwise that sleep.
void pause(nb::handle self, device::StopWaker& waker) {
    if (plain_sleep()) {
        nb::object stop = py::attr(self, obj::stop_thread);
        if (waker.waits_on(stop) || waker.arm(stop)) {
            nb::gil_scoped_release unlocked;
            waker.wait_for(PERIOD);
            return;
        }
    }
    py::sleep(0.01);
}

// The route of the last heartbeat, kept between heartbeats: the cheap check that it still holds
// replaces finding it again a hundred times a second.
struct KeptRoute {
    nb::object dev;
    int ep = -1;
    std::optional<device::Route> route;

    const device::Route* for_write(nb::handle d, int number) {
        if (!(route && dev.is(d) && ep == number && device::route_unchanged(d, number, *route))) {
            route = device::direct_route(d, number);
            dev = nb::borrow(d);
            ep = number;
        }
        return route ? &*route : nullptr;
    }
};

// heart() and pause() in one release of the interpreter lock: the frame straight to libusb, then
// the wait that setting stop_thread ends. Taken only where both would go that way (the write
// pyusb's own, time.sleep the interpreter's, stop_thread a plain Event); false otherwise, with
// nothing done. A failed write is reported as heart() reports it, followed by the usual pause.
bool beat_and_pause(nb::handle self, device::StopWaker& waker, KeptRoute& kept) {
    static const auto frame = heartbeat_frame();
    nb::object dev = py::attr(self, obj::dev_handle);
    const int number = device::endpoint_number(py::global(mod::WINUSB_OUT_EP));
    if (number < 0 || !plain_sleep()) return false;
    nb::object stop = py::attr(self, obj::stop_thread);
    if (!waker.waits_on(stop) && !waker.arm(stop)) return false;
    const device::Route* route = kept.for_write(dev, number);
    if (!route) return false;
    auto copy = frame;  // libusb may write to the buffer it is given
    int r = 0, moved = 0;
    {
        nb::gil_scoped_release unlocked;
        r = route->fn(route->handle, route->address, copy.data(), static_cast<int>(copy.size()), &moved, 100);
        // As pyusb: a time-out that moved some bytes is a transfer of those bytes.
        if (r >= 0 || (r == device::libusb::ERROR_TIMEOUT && moved)) {
            waker.wait_for(PERIOD);
            return true;
        }
    }
    try {
        route->check(r);  // raises pyusb's exception for this code
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::print("In USB_CMD_HEART,USB bulk Transmission Error: " + py::error_text(e));
    }
    pause(self, waker);
    return true;
}
}  // namespace

void remember_own_heart(nb::handle cls) {
    nb::object fn = cls.attr(method::USB_CMD_HEART);
    Py_XINCREF(fn.ptr());
    Py_XDECREF(g_own_heart);
    g_own_heart = fn.ptr();
}

void heart(nb::handle self) {
    static const auto frame = heartbeat_frame();
    try {
        nb::object dev = py::attr(self, obj::dev_handle);
        nb::object ep = py::global(mod::WINUSB_OUT_EP);
        // A hundred times a second: straight to libusb where pyusb allows it.
        if (device::direct_write(dev, ep, frame.data(), frame.size(), 100).is_valid()) return;
        dev.attr("write")(ep, py::to_pybytearray(frame), nb::arg("timeout") = 100);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::print("In USB_CMD_HEART,USB bulk Transmission Error: " + py::error_text(e));
    }
}

void send_thread(nb::handle self) {
    device::OutputScope output(self);
    py::print("Heart thread started");
    device::StopWaker waker;
    KeptRoute kept;
    device::run_worker(self, "[Error] In send thread,Usb_rec err, err_code=", [&](nb::handle) {
        if (own_heart(self)) {
            if (beat_and_pause(self, waker, kept)) return;
            heart(self);
        } else {
            py::call_method(self, method::USB_CMD_HEART);
        }
        pause(self, waker);
    });
}

}  // namespace fdh::commands
