// Scanning the bus for adapters, choosing one by serial number and claiming its interfaces.
#include "device/device.hpp"
#include "device/names.hpp"
#include "python/interpreter.hpp"
#include "python/printing.hpp"

namespace fdh::device {

namespace {
nb::object attr_or_zero(nb::handle o, const char* name) {
    nb::object v = py::optional_attr(o, name);
    return v.is_valid() ? v : nb::int_(0);
}

void swap_entries(const char* list_name, Py_ssize_t i, Py_ssize_t j) {
    nb::object l = py::global(list_name);
    nb::object a = l[i], b = l[j];
    l[i] = b;
    l[j] = a;
}
}  // namespace

nb::object get_device_handle(nb::handle self) { return py::attr(self, obj::dev_handle); }

nb::object usb_get_kq_device(nb::handle self) {
    nb::object found = py::usb_core().attr("find")(nb::arg("find_all") = true);
    py::set_attr(self, obj::device_list, found);
    py::set_attr(self, obj::kq_cnt, nb::int_(0));
    nb::object vid = py::global(mod::KQ_USBD_VID), pid = py::global(mod::KQ_USBD_PID);
    Py_ssize_t count = 0;
    for (nb::handle dev : py::attr(self, obj::device_list)) {
        if (py::compare(dev.attr("idVendor"), vid, Py_EQ) && py::compare(dev.attr("idProduct"), pid, Py_EQ)) {
            std::string location =
                "device:" + py::str(attr_or_zero(dev, "bus")) + "," + py::str(attr_or_zero(dev, "address"));
            nb::str location_text(location.data(), location.size());
            py::global(mod::kq_device)[count] = dev;
            py::global(mod::kq_string)[count] = location_text;
            nb::object serial = nb::str("");
            if (py::compare(dev.attr("iSerialNumber"), 0, Py_GT)) {
                try {
                    nb::object s = py::usb_util().attr("get_string")(dev, dev.attr("iSerialNumber"));
                    if (s.is_none())
                        py::print("Failed to obtain serial number");
                    else
                        serial = s;
                } catch (nb::python_error& e) {
                    if (!py::is_usb_error(e)) throw;
                    py::print("Failed to obtain serial number: " + py::error_text(e));
                }
            }
            nb::str serial_text = nb::str(serial);
            py::global(mod::kq_sn)[count] = serial_text;
            py::print("Found RU-ZEDUZ, device-id: " + location + " SN: " + py::str(serial_text));
            ++count;
            py::set_attr(self, obj::kq_cnt, nb::int_(count));
        }
        if (py::compare(nb::int_(count), py::global(mod::KQ_DEV_MAX), Py_GE)) break;
    }
    // Ascending by bus, then address; the three lists move together.
    for (Py_ssize_t i = 0; i + 1 < count; ++i) {
        for (Py_ssize_t j = i + 1; j < count; ++j) {
            nb::object devs = py::global(mod::kq_device);
            nb::object di = devs[i], dj = devs[j];
            nb::object bi = attr_or_zero(di, "bus"), bj = attr_or_zero(dj, "bus");
            if (py::compare(bi, bj, Py_GT) ||
                (py::compare(bi, bj, Py_EQ) &&
                 py::compare(attr_or_zero(di, "address"), attr_or_zero(dj, "address"), Py_GT))) {
                swap_entries(mod::kq_device, i, j);
                swap_entries(mod::kq_sn, i, j);
                swap_entries(mod::kq_string, i, j);
            }
        }
    }
    if (count == 0) {
        py::print("[Error] RU-ZEDUZ device not found");
        py::call_method(self, method::usb_clear);
        return nb::list();
    }
    return py::global(mod::kq_string);
}

nb::object usb_open(nb::handle self, nb::handle sn_str) {
    // Only a slot holding the requested serial counts: a device left selected by an earlier call
    // is never reported (or claimed again) for a serial nobody has.
    bool found = false;
    const Py_ssize_t slots = nb::cast<Py_ssize_t>(py::global(mod::KQ_DEV_MAX));
    for (Py_ssize_t i = 0; i < slots; ++i) {
        nb::object entry = py::global(mod::kq_sn)[i];
        if (!entry.is_none() && py::compare(sn_str, entry, Py_EQ)) {
            py::set_attr(self, obj::usb_dev, py::global(mod::kq_device)[i]);
            py::print("Choose usb device is " + py::str(py::global(mod::kq_string)[i]));
            found = true;
            break;
        }
    }
    if (!found || py::attr(self, obj::usb_dev).is_none()) {
        py::print("[Error] Not found device you specified: " + py::str(sn_str));
        return nb::int_(-1);
    }
    nb::object dev = py::attr(self, obj::usb_dev);
    py::set_attr(self, obj::dev_handle, dev);
    for (int n = 0; n < 3; ++n) {
        try {
            py::usb_util().attr("claim_interface")(dev, n);
            py::print("Claimed interface " + std::to_string(n));
        } catch (nb::python_error& e) {
            if (!py::is_usb_error(e)) throw;
            py::print("[Error] Could not claim interface " + std::to_string(n) + ": " + py::error_text(e));
            py::call_method(self, method::usb_clear);
            return nb::int_(-1);
        }
    }
    return nb::int_(1);
}

}  // namespace fdh::device
