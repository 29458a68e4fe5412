// Building a transmit record from the user's bytes, writing it, and the heartbeat worker.
#include "fdhost.hpp"
#include "py_env.hpp"

namespace fdh::transmit {

void fill_fdcan_frame(nb::handle self, nb::handle data, nb::handle frame, nb::handle canId) {
    const Py_ssize_t copy_size = std::min<Py_ssize_t>(nb::len(data), 64);
    nb::object fd = nb::int_(py::compare(self.attr("dat_baud_"), 1000000, Py_LE) ? 0 : 1);
    nb::setattr(frame, "can_id", canId);
    nb::setattr(frame, "can_type", fd);
    nb::setattr(frame, "fd_acc", fd);
    nb::setattr(frame, "fram_type", nb::int_(1));
    nb::setattr(frame, "id_type", nb::int_(0));
    nb::setattr(frame, "id_increase", nb::int_(0));
    nb::setattr(frame, "data_increase", nb::int_(0));
    nb::setattr(frame, "cmd", nb::int_(0));
    nb::setattr(frame, "send_time", nb::int_(1));
    nb::setattr(frame, "interval", nb::int_(0));
    nb::setattr(frame, "dlc", nb::int_(copy_size));
    nb::object target = frame.attr("data");
    for (Py_ssize_t i = 0; i < copy_size; ++i) {
        nb::object item = data[i];
        if (!PyLong_Check(item.ptr())) {
            item = nb::steal(PyNumber_Long(item.ptr()));
            if (!item.is_valid()) throw nb::python_error();
        }
        target[i] = item;
    }
}

void set_tx_frame(nb::handle self, nb::handle frame) { nb::setattr(self, "tx_frame", frame.attr("to_bytes")()); }

void send_data(nb::handle self) {
    nb::object tx = self.attr("tx_frame");
    nb::object written;
    try {
        written = self.attr("dev_handle").attr("write")(py::global("CAN_OUT_EP"), tx, nb::arg("timeout") = 1);
    } catch (nb::python_error& e) {
        if (!py::is_usb_error(e)) throw;
        py::print2("[Error] Failed to send CAN command:", e.value());
        // The device object's own clear_halt: the stalled OUT endpoint is what needs clearing.
        try {
            self.attr("dev_handle").attr("clear_halt")(py::global("CAN_OUT_EP"));
        } catch (nb::python_error& e2) {
            if (!e2.matches(PyExc_Exception)) throw;
            py::print2("Clear halt failed:", e2.value());
        }
        return;
    }
    nb::object expected = nb::int_(nb::len(nb::object(self.attr("tx_frame"))));
    if (!py::compare(written, expected, Py_EQ))
        py::print("发送不完整：预期 " + py::str(expected) + " 字节，实际发送 " + py::str(written) + " 字节");
}

void fdcan_frame_send(nb::handle self, nb::handle data, nb::handle canId) {
    nb::object frame = py::global("can_tx_type")();
    self.attr("fillFDCANFrame")(data, frame, canId);
    self.attr("set_tx_frame")(frame);
    self.attr("send_data")();
}

void send_thread(nb::handle self) {
    py::print("Heart thread started");
    while (!py::truthy(self.attr("stop_thread").attr("is_set")())) {
        // Released by the other worker's clean-up (an unplug): nothing left to keep alive.
        if (self.attr("dev_handle").is_none()) return;
        try {
            self.attr("USB_CMD_HEART")();
            py::sleep(0.01);
        } catch (nb::python_error& e) {
            if (!py::is_usb_error(e)) throw;
            if (py::is_timeout_error(e)) continue;
            py::print("[Error] In send thread,Usb_rec err, err_code=" + py::str(py::error_errno(e)) + ", failed: [" +
                      py::error_text(e) + "]");
            self.attr("usb_clear")();
            return;
        }
    }
}

}  // namespace fdh::transmit
