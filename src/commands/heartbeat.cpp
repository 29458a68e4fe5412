// The heartbeat: the fixed frame written to its own endpoint, and the worker thread that writes it
// every 10 ms for as long as the object is open.
#include "commands/commands.hpp"
#include "device/names.hpp"
#include "device/object_state.hpp"
#include "device/pyusb/fast_path.hpp"
#include "protocol/command_frame.hpp"
#include "python/byte_values.hpp"
#include "python/interpreter.hpp"
#include "python/printing.hpp"

namespace fdh::commands {

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
    device::run_worker(self, "[Error] In send thread,Usb_rec err, err_code=", [&](nb::handle) {
        py::call_method(self, method::USB_CMD_HEART);
        py::sleep(0.01);
    });
}

}  // namespace fdh::commands
