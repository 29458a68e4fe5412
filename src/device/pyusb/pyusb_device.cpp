// The one test of "is this pyusb's own Device", and the release of a device pyusb reopened.
#include "device/names.hpp"
#include "device/pyusb/fast_path.hpp"
#include "python/interpreter.hpp"

namespace fdh::device {

bool is_pyusb_device(nb::handle dev) {
    try {
        return dev.type().ptr() == py::attr(py::usb_core(), "Device").ptr();
    } catch (nb::python_error&) {
        return false;  // no pyusb in the module's namespace to compare with
    }
}

// A transfer that was under way in one thread while another ran usb_clear can leave the adapter
// opened and claimed again by pyusb, with nothing left to close it: pyusb does not close a device
// object collected as garbage, so the adapter would stay claimed until the process ends. Nothing
// happens if the device was not reopened.
void release_if_withdrawn(nb::handle self, nb::handle dev) {
    if (dev.is_none() || py::attr(self, obj::dev_handle).is(dev) || !is_pyusb_device(dev)) return;
    try {
        py::usb_util().attr("dispose_resources")(dev);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;  // a failure here has nothing left to report to
    }
}

}  // namespace fdh::device
