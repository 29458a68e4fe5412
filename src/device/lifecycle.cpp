// Construction, context management, closing and clean-up of an fdhost object.
#include "fdhost.hpp"
#include "py_env.hpp"

namespace fdh::device {

namespace {
nb::object new_slot_list() {
    nb::object n = py::global("KQ_DEV_MAX");
    nb::list l;
    for (Py_ssize_t i = 0, e = nb::cast<Py_ssize_t>(n); i < e; ++i) l.append(nb::none());
    return l;
}

void fatal(const char* message) {
    py::global("print")(message, nb::arg("file") = py::global("sys").attr("stderr"));
    py::global("sys").attr("exit")(-1);
}

void start_worker(nb::handle self, const char* slot, const char* body) {
    nb::object thread = py::global("threading").attr("Thread")(nb::arg("target") = self.attr(body));
    nb::setattr(self, slot, thread);
    thread.attr("start")();
}

void stop_sequence(nb::handle self, const char* banner) {
    py::print(banner);
    self.attr("stop_thread").attr("set")();
    for (const char* slot : {"rec_thread", "rec_thread2", "rec_thread3"}) {
        nb::object t = self.attr(slot);
        if (!t.is_none() && py::truthy(t.attr("is_alive")())) t.attr("join")();
    }
    if (!self.attr("dev_handle").is_none()) self.attr("usb_clear")();
}
}  // namespace

void init(nb::handle self, nb::handle nom_baud, nb::handle dat_baud, nb::handle sn) {
    nb::object threading = py::global("threading");
    nb::object rx_length = py::global("RX_LENGTH");
    nb::setattr(self, "usb_dev", nb::none());
    nb::setattr(self, "dev_handle", nb::none());
    nb::setattr(self, "device_list", nb::list());
    nb::setattr(self, "num_devices", nb::int_(0));
    nb::setattr(self, "kq_cnt", nb::int_(0));
    nb::setattr(self, "frame_callback_", nb::none());
    nb::setattr(self, "mutex_", threading.attr("Lock")());
    nb::setattr(self, "rec_thread", nb::none());
    nb::setattr(self, "rec_thread2", nb::none());
    nb::setattr(self, "rec_thread3", nb::none());
    nb::setattr(self, "stop_thread", threading.attr("Event")());
    nb::object bytearray = nb::borrow(reinterpret_cast<PyObject*>(&PyByteArray_Type));
    nb::setattr(self, "winusb_read_buf", bytearray(rx_length));
    nb::setattr(self, "can_read_buf", bytearray(rx_length));
    nb::setattr(self, "nom_baud_", nom_baud);
    nb::setattr(self, "dat_baud_", dat_baud);
    nb::setattr(self, "sn_", sn);

    if (!py::truthy(self.attr("usb_get_kq_device")()))
        fatal("[Error] RU-ZEDUZ device not found, program terminated");
    if (py::compare(self.attr("usb_open")(self.attr("sn_")), 0, Py_LT))
        fatal("[Error] Failed to open usb device");
    py::sleep(0.5);
    self.attr("USB_CMD_START_CAP")();
    py::sleep(0.2);
    setup_bit_timing(self);
    nb::object dev = self.attr("dev_handle");
    dev.attr("clear_halt")(py::global("CAN_OUT_EP"));
    dev.attr("clear_halt")(py::global("WINUSB_IN_EP"));
    py::sleep(0.5);
    self.attr("stop_thread").attr("clear")();
    start_worker(self, "rec_thread2", "send_thread");
    start_worker(self, "rec_thread", "get_data_thread");
}

nb::object enter(nb::handle self) {
    py::print("__enter__  fdhost ");
    return nb::borrow(self);
}

void exit(nb::handle self) { stop_sequence(self, "__exit__   fdhost"); }

void close(nb::handle self) { stop_sequence(self, "close  fdhos"); }

void usb_clear(nb::handle self) {
    nb::object dev = self.attr("dev_handle");
    // Withdrawn before it is released, so a transfer another thread still has under way finds it
    // withdrawn once it returns (see release_if_withdrawn).
    nb::setattr(self, "dev_handle", nb::none());
    if (!dev.is_none()) {
        try {
            py::usb_util().attr("dispose_resources")(dev);
            py::print("Released USB device resources");
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_Exception)) throw;
            py::print("Error during USB cleanup: " + py::error_text(e));
        }
    }
    nb::setattr(self, "device_list", nb::list());
    nb::setattr(self, "usb_dev", nb::none());
    nb::setattr(self, "dev_handle", nb::none());
    py::set_global("kq_device", new_slot_list());
    py::set_global("kq_string", new_slot_list());
    py::set_global("kq_sn", new_slot_list());
    nb::setattr(self, "kq_cnt", nb::int_(0));
    py::print("**********USB Cleaned up**********\n");
}

// pyusb's Device opens itself again, and claims the interface, on any transfer made after it was
// released. A transfer that was under way in one thread while another ran usb_clear can thereby
// leave the adapter open and claimed, with nothing left to close it: pyusb does not close a device
// object collected as garbage, so the adapter would stay claimed until the process ends. The
// workers and send_data call this once their transfer has returned; when the object no longer
// holds that device, it is released again (nothing happens if it was not reopened).
void release_if_withdrawn(nb::handle self, nb::handle dev) {
    if (dev.is_none() || py::attr(self, "dev_handle").is(dev)) return;
    try {
        if (dev.type().ptr() != py::attr(py::usb_core(), "Device").ptr()) return;  // only pyusb's reopens
        py::usb_util().attr("dispose_resources")(dev);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;  // a failure here has nothing left to report to
    }
}

}  // namespace fdh::device
