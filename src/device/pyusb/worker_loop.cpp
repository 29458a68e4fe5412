#include "device/names.hpp"
#include "device/pyusb/fast_path.hpp"
#include "python/interpreter.hpp"
#include "python/printing.hpp"

namespace fdh::device {

void run_worker(nb::handle self, const char* error_prefix, const std::function<void(nb::handle dev)>& step) {
    nb::object previous = nb::none();
    while (!py::truthy(py::call_method(py::attr(self, obj::stop_thread), "is_set"))) {
        nb::object dev = py::attr(self, obj::dev_handle);
        // Released by the other worker's clean-up (an unplug): end quietly, after releasing the
        // device again in case the transfer under way during that clean-up had pyusb reopen it.
        if (dev.is_none()) return release_if_withdrawn(self, previous);
        previous = dev;
        try {
            step(dev);
        } catch (nb::python_error& e) {
            if (!py::is_usb_error(e)) throw;
            if (py::is_timeout_error(e)) continue;
            py::print(std::string(error_prefix) + py::str(py::error_errno(e)) + ", failed: [" + py::error_text(e) + "]");
            py::call_method(self, method::usb_clear);
            return;
        }
    }
}

}  // namespace fdh::device
