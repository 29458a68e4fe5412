// Construction, context management, closing and clean-up of an fdhost object.
#include "device/device.hpp"
#include "device/names.hpp"
#include "device/pyusb/queued_reads.hpp"
#include "device/object_state.hpp"
#include "receive/queue_delivery.hpp"
#include "python/interpreter.hpp"
#include "python/printing.hpp"

namespace fdh::device {

namespace {
nb::object new_slot_list() {
    nb::object n = py::global(mod::KQ_DEV_MAX);
    nb::list l;
    for (Py_ssize_t i = 0, e = nb::cast<Py_ssize_t>(n); i < e; ++i) l.append(nb::none());
    return l;
}

void fatal(const char* message) {
    py::print_error(message);
    py::global(mod::sys).attr("exit")(-1);
}

// The constructor's fixed pauses, which give a real adapter time to settle; skipped on request.
void settle(nb::handle self, double seconds) {
    const ObjectState* s = object_state(self);
    if (!s || s->options.settle) py::sleep(seconds);
}

// Whether the data phase runs faster than the arbitration phase, by the timing sent.
bool data_phase_faster(nb::handle self, const Options& o) {
    if (o.setup) {
        const SetupBaudrate& t = *o.setup;
        return phase_bitrate(t.canfd_prescaler, t.canfd_seg1, t.canfd_seg2) >
               phase_bitrate(t.can_prescaler, t.can_seg1, t.can_seg2);
    }
    return py::compare(py::attr(self, obj::dat_baud_), py::attr(self, obj::nom_baud_), Py_GT);
}

// The receive queue, made before the reader starts so that no frame goes elsewhere first.
void open_receive_queue(nb::handle self) {
    ObjectState* s = object_state(self);
    if (!s || s->options.receive_queue == 0) return;
    const Options& o = s->options;
    s->queue = std::make_shared<receive::QueueDelivery>(receive::QueueOptions{
        o.receive_queue, o.receive_own, o.virtual_adapter, !o.virtual_adapter && data_phase_faster(self, o)});
}

void start_worker(nb::handle self, const char* slot, const char* body) {
    nb::object thread = py::global(mod::threading).attr("Thread")(nb::arg("target") = py::attr(self, body));
    py::set_attr(self, slot, thread);
    thread.attr("start")();
}

void stop_sequence(nb::handle self, const char* banner) {
    py::print(banner);
    if (receive::QueueDelivery* queue = receive_queue(self)) queue->end("the bus was closed");
    py::call_method(py::attr(self, obj::stop_thread), "set");
    wake_queued_reads(self);  // also when stop_thread was replaced by an event the reader does not wait on
    for (const char* slot : {obj::rec_thread, obj::rec_thread2, obj::rec_thread3}) {
        nb::object t = py::attr(self, slot);
        if (!t.is_none() && py::truthy(t.attr("is_alive")())) t.attr("join")();
    }
    if (!py::attr(self, obj::dev_handle).is_none()) py::call_method(self, method::usb_clear);
}
}  // namespace

void init(nb::handle self, nb::handle nom_baud, nb::handle dat_baud, nb::handle sn) {
    nb::object threading = py::global(mod::threading);
    nb::object rx_length = py::global(mod::RX_LENGTH);
    py::set_attr(self, obj::usb_dev, nb::none());
    py::set_attr(self, obj::dev_handle, nb::none());
    py::set_attr(self, obj::device_list, nb::list());
    py::set_attr(self, obj::num_devices, nb::int_(0));
    py::set_attr(self, obj::kq_cnt, nb::int_(0));
    py::set_attr(self, obj::frame_callback_, nb::none());
    py::set_attr(self, obj::mutex_, threading.attr("Lock")());
    py::set_attr(self, obj::rec_thread, nb::none());
    py::set_attr(self, obj::rec_thread2, nb::none());
    py::set_attr(self, obj::rec_thread3, nb::none());
    py::set_attr(self, obj::stop_thread, threading.attr("Event")());
    nb::object bytearray = nb::borrow(reinterpret_cast<PyObject*>(&PyByteArray_Type));
    py::set_attr(self, obj::winusb_read_buf, bytearray(rx_length));
    py::set_attr(self, obj::can_read_buf, bytearray(rx_length));
    py::set_attr(self, obj::nom_baud_, nom_baud);
    py::set_attr(self, obj::dat_baud_, dat_baud);
    py::set_attr(self, obj::sn_, sn);

    if (!py::truthy(py::call_method(self, method::usb_get_kq_device)))
        fatal("[Error] RU-ZEDUZ device not found, program terminated");
    if (py::compare(py::attr(self, method::usb_open)(py::attr(self, obj::sn_)), 0, Py_LT))
        fatal("[Error] Failed to open usb device");
    settle(self, 0.5);
    py::call_method(self, method::USB_CMD_START_CAP);
    settle(self, 0.2);
    setup_bit_timing(self);
    nb::object dev = py::attr(self, obj::dev_handle);
    dev.attr("clear_halt")(py::global(mod::CAN_OUT_EP));
    dev.attr("clear_halt")(py::global(mod::WINUSB_IN_EP));
    settle(self, 0.5);
    open_receive_queue(self);
    py::call_method(py::attr(self, obj::stop_thread), "clear");
    start_worker(self, obj::rec_thread2, method::send_thread);
    start_worker(self, obj::rec_thread, method::get_data_thread);
}

nb::object enter(nb::handle self) {
    py::print("__enter__  fdhost ");
    return nb::borrow(self);
}

void exit(nb::handle self) { stop_sequence(self, "__exit__   fdhost"); }

void close(nb::handle self) { stop_sequence(self, "close  fdhos"); }

void usb_clear(nb::handle self) {
    nb::object dev = py::attr(self, obj::dev_handle);
    // Withdrawn before it is released, so a transfer another thread still has under way finds it
    // withdrawn once it returns (see release_if_withdrawn).
    py::set_attr(self, obj::dev_handle, nb::none());
    // No transfer may be left queued on the handle pyusb is about to close.
    withdraw_queued_reads(self);
    if (!dev.is_none()) {
        try {
            py::usb_util().attr("dispose_resources")(dev);
            py::print("Released USB device resources");
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_Exception)) throw;
            py::print("Error during USB cleanup: " + py::error_text(e));
        }
    }
    py::set_attr(self, obj::device_list, nb::list());
    py::set_attr(self, obj::usb_dev, nb::none());
    py::set_attr(self, obj::dev_handle, nb::none());
    py::set_global(mod::kq_device, new_slot_list());
    py::set_global(mod::kq_string, new_slot_list());
    py::set_global(mod::kq_sn, new_slot_list());
    py::set_attr(self, obj::kq_cnt, nb::int_(0));
    py::print("**********USB Cleaned up**********\n");
}

}  // namespace fdh::device
