// The interpreter's view of the device class: names and argument names only; the behaviour
// lives in the subsystem folders.
#include "module/fdhost_binding.hpp"

#include "commands/commands.hpp"
#include "device/device.hpp"
#include "device/names.hpp"
#include "device/object_state.hpp"
#include "receive/receive.hpp"
#include "transmit/transmit.hpp"

using namespace nb::literals;

namespace fdh::py {

namespace {
// The C++ side of an fdhost object holds only what the constructor's keyword options add
// (device/object_state.hpp): every method works on the Python object itself, whose attributes are
// all of its specified state, so a method also serves an instance made without the constructor
// (fdhost.__new__), as a program testing without hardware may do.
using device::Fdhost;
using H = nb::handle;
// The lines the method prints go to the object's line sink, if it was given one.
using Output = device::OutputScope;
}  // namespace

void bind_fdhost(nb::module_& m) {
    namespace d = device;
    namespace c = commands;
    namespace t = transmit;
    namespace r = receive;
    nb::class_<Fdhost> cls(m, "fdhost", nb::dynamic_attr());
    cls.def("__init__",
            [](Fdhost* f, H nom_baud, H dat_baud, H sn, H line_sink, H settle, H setup, H receive_queue,
               H receive_own, H virtual_adapter) {
                device::Options options =
                    device::parse_options(line_sink, settle, setup, receive_queue, receive_own, virtual_adapter);
                new (f) Fdhost{{std::move(options), {}}};
                // Usable from here on: the constructor calls the object's own methods.
                nb::handle self = nb::find(*f);
                nb::inst_mark_ready(self);
                Output output(self);
                d::init(self, nom_baud, dat_baud, sn);
            },
            "nom_baud"_a, "dat_baud"_a, "sn"_a, nb::kw_only(), "line_sink"_a.none() = nb::none(),
            "settle"_a = true, "setup"_a.none() = nb::none(), "receive_queue"_a = 0, "receive_own"_a = false,
            "virtual_adapter"_a = false)
        .def("__enter__", [](H f) { Output output(f); return d::enter(f); })
        .def("__exit__", [](H f, H, H, H) { Output output(f); d::exit(f); }, "exc_type"_a.none(), "exc_val"_a.none(),
             "exc_tb"_a.none())
        .def(method::close, [](H f) { Output output(f); d::close(f); })
        .def(method::usb_clear, [](H f) { Output output(f); d::usb_clear(f); })
        .def(method::getDeviceHandle, [](H f) { return d::get_device_handle(f); })
        .def(method::usb_get_kq_device, [](H f) { return d::usb_get_kq_device(f); })
        .def(method::usb_open, [](H f, H sn_str) { return d::usb_open(f, sn_str); }, "sn_str"_a.none())
        .def(method::can_pack_dlc_get, [](H f, H head) { return r::can_pack_dlc_get(f, head); }, "head"_a.none())
        .def(method::fillFDCANFrame, [](H f, H data, H frame, H canId) { t::fill_fdcan_frame(f, data, frame, canId); },
             "data"_a.none(), "frame"_a.none(), "canId"_a.none())
        .def(method::set_tx_frame, [](H f, H frame) { t::set_tx_frame(f, frame); }, "frame"_a.none())
        .def(method::send_data, [](H f) { t::send_data(f); })
        .def(method::fdcanFrameSend, [](H f, H data, H canId) { t::fdcan_frame_send(f, data, canId); },
             "data"_a.none(), "canId"_a.none())
        .def(method::usb_control_send, [](H f, H ptr, H length) { return c::usb_control_send(f, ptr, length); },
             "ptr"_a.none(), "length"_a.none())
        .def(method::usb_control_ack, [](H f, H cmd, H length, H data) { return c::usb_control_ack(f, cmd, length, data); },
             "cmd"_a.none(), "length"_a.none(), "data"_a.none())
        .def(method::usb_control_transfer,
             [](H f, H cmd, H length, H pdata, H rx_len, H rx_data) {
                 return c::usb_control_transfer(f, cmd, length, pdata, rx_len, rx_data);
             },
             "cmd"_a.none(), "length"_a.none(), "pdata"_a.none(), "rx_len"_a.none(), "rx_data"_a.none())
        .def(method::USB_CMD_START_CAP, [](H f) { return c::start_cap(f); })
        .def(method::USB_CMD_STOP_CAP, [](H f) { return c::stop_cap(f); })
        .def(method::USB_CMD_START_TEST, [](H f) { return c::start_test(f); })
        .def(method::USB_CMD_SETUP_BAUD,
             [](H f, H canMode, H dbrp, H dbrp_fd, H can_seg1, H can_seg2, H can_fd_seg1, H can_fd_seg2) {
                 return c::setup_baud(f, canMode, dbrp, dbrp_fd, can_seg1, can_seg2, can_fd_seg1, can_fd_seg2);
             },
             "canMode"_a.none(), "dbrp"_a.none(), "dbrp_fd"_a.none(), "can_seg1"_a.none(), "can_seg2"_a.none(),
             "can_fd_seg1"_a.none(), "can_fd_seg2"_a.none())
        .def(method::USB_CMD_ACK_HELLO, [](H f) { return c::ack_hello(f); })
        .def(method::USB_CMD_TEST_ACK, [](H f, H length_ref, H data_ref) { return c::test_ack(f, length_ref, data_ref); },
             "length_ref"_a.none(), "data_ref"_a.none())
        .def(method::USB_CMD_HEART, [](H f) { c::heart(f); })
        .def(method::setFrameCallback, [](H f, H cb) { r::set_frame_callback(f, cb); }, "cb"_a.none())
        .def(method::print_can_value, [](H f, H can_val) { r::print_can_value(f, can_val); }, "can_val"_a.none())
        .def(method::unpack_can_frame, [](H f, H pdat, H actual_len) { return r::unpack_can_frame(f, pdat, actual_len); },
             "pdat"_a.none(), "actual_len"_a.none())
        .def(method::unpack_usb_frame, [](H f, H pdat, H length) { return r::unpack_usb_frame(f, pdat, length); },
             "pdat"_a.none(), "length"_a.none())
        .def(method::get_data_thread, [](H f) { r::get_data_thread(f); })
        .def(method::send_thread, [](H f) { c::send_thread(f); })
        .def(method::can_rev_thread, [](H f) { r::can_rev_thread(f); })
        // For the python-can Bus: frames in and out without the callback, the receive filter, and
        // what an event loop needs (device/names.hpp).
        .def(method::send_message,
             [](H f, H id, H extended, H remote, H fd, H brs, H data, H length, double timeout) {
                 t::send_message(f, id, extended, remote, fd, brs, data, length, timeout);
             },
             "arbitration_id"_a, "is_extended_id"_a, "is_remote_frame"_a, "is_fd"_a, "bitrate_switch"_a, "data"_a,
             "length"_a, "timeout"_a = -1.0)
        .def(method::recv_message, [](H f, double timeout) { return r::recv_message(f, timeout); }, "timeout"_a = -1.0)
        .def(method::set_receive_filters, [](H f, H rules) { r::set_receive_filters(f, rules); }, "rules"_a.none())
        .def_prop_ro(method::receive_dropped, [](H f) { return r::receive_dropped(f); })
        .def(method::receive_fileno, [](H f) { return r::receive_fileno(f); });
    r::remember_own_methods(cls);
}

}  // namespace fdh::py
