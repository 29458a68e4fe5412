// The interpreter's view of the device class: names and argument names only; the behaviour
// lives in the subsystem folders.
#include "fdhost_binding.hpp"

#include "fdhost.hpp"

using namespace nb::literals;

namespace fdh::py {

namespace {
using H = nb::handle;
// Every method works on the Python object itself: its attributes are all of the object's state,
// so a method also serves an instance made without the constructor (fdhost.__new__), as a
// program testing without hardware may do.
H me(H self) { return self; }
}  // namespace

void bind_fdhost(nb::module_& m) {
    namespace d = device;
    namespace c = commands;
    namespace t = transmit;
    namespace r = receive;
    nb::class_<Fdhost> cls(m, "fdhost", nb::dynamic_attr());
    cls.def("__init__",
            [](Fdhost* f, H nom_baud, H dat_baud, H sn) {
                new (f) Fdhost();
                // Usable from here on: the constructor calls the object's own methods.
                nb::handle self = nb::find(*f);
                nb::inst_mark_ready(self);
                d::init(self, nom_baud, dat_baud, sn);
            },
            "nom_baud"_a, "dat_baud"_a, "sn"_a)
        .def("__enter__", [](H f) { return d::enter(me(f)); })
        .def("__exit__", [](H f, H, H, H) { d::exit(me(f)); }, "exc_type"_a.none(), "exc_val"_a.none(),
             "exc_tb"_a.none())
        .def("close", [](H f) { d::close(me(f)); })
        .def("usb_clear", [](H f) { d::usb_clear(me(f)); })
        .def("getDeviceHandle", [](H f) { return d::get_device_handle(me(f)); })
        .def("usb_get_kq_device", [](H f) { return d::usb_get_kq_device(me(f)); })
        .def("usb_open", [](H f, H sn_str) { return d::usb_open(me(f), sn_str); }, "sn_str"_a.none())
        .def("can_pack_dlc_get", [](H f, H head) { return r::can_pack_dlc_get(me(f), head); }, "head"_a.none())
        .def("fillFDCANFrame", [](H f, H data, H frame, H canId) { t::fill_fdcan_frame(me(f), data, frame, canId); },
             "data"_a.none(), "frame"_a.none(), "canId"_a.none())
        .def("set_tx_frame", [](H f, H frame) { t::set_tx_frame(me(f), frame); }, "frame"_a.none())
        .def("send_data", [](H f) { t::send_data(me(f)); })
        .def("fdcanFrameSend", [](H f, H data, H canId) { t::fdcan_frame_send(me(f), data, canId); },
             "data"_a.none(), "canId"_a.none())
        .def("usb_control_send", [](H f, H ptr, H length) { return c::usb_control_send(me(f), ptr, length); },
             "ptr"_a.none(), "length"_a.none())
        .def("usb_control_ack",
             [](H f, H cmd, H length, H data) { return c::usb_control_ack(me(f), cmd, length, data); },
             "cmd"_a.none(), "length"_a.none(), "data"_a.none())
        .def("usb_contorl_transfer",
             [](H f, H cmd, H length, H pdata, H rx_len, H rx_data) {
                 return c::usb_contorl_transfer(me(f), cmd, length, pdata, rx_len, rx_data);
             },
             "cmd"_a.none(), "length"_a.none(), "pdata"_a.none(), "rx_len"_a.none(), "rx_data"_a.none())
        .def("USB_CMD_START_CAP", [](H f) { return c::start_cap(me(f)); })
        .def("USB_CMD_STOP_CAP", [](H f) { return c::stop_cap(me(f)); })
        .def("USB_CMD_START_TEST", [](H f) { return c::start_test(me(f)); })
        .def("USB_CMD_SETUP_BUARD",
             [](H f, H canMode, H dbrp, H dbrp_fd, H can_seg1, H can_seg2, H can_fd_seg1, H can_fd_seg2) {
                 return c::setup_buard(me(f), canMode, dbrp, dbrp_fd, can_seg1, can_seg2, can_fd_seg1, can_fd_seg2);
             },
             "canMode"_a.none(), "dbrp"_a.none(), "dbrp_fd"_a.none(), "can_seg1"_a.none(), "can_seg2"_a.none(),
             "can_fd_seg1"_a.none(), "can_fd_seg2"_a.none())
        .def("USB_CMD_ACK_HELLO", [](H f) { return c::ack_hello(me(f)); })
        .def("USB_CMD_TEST_ACK", [](H f, H length_ref, H data_ref) { return c::test_ack(me(f), length_ref, data_ref); },
             "length_ref"_a.none(), "data_ref"_a.none())
        .def("USB_CMD_HEART", [](H f) { c::heart(me(f)); })
        .def("setFrameCallback", [](H f, H cb) { r::set_frame_callback(me(f), cb); }, "cb"_a.none())
        .def("print_can_value", [](H f, H can_val) { r::print_can_value(me(f), can_val); }, "can_val"_a.none())
        .def("unpack_can_frame",
             [](H f, H pdat, H actual_len) { return r::unpack_can_frame(me(f), pdat, actual_len); },
             "pdat"_a.none(), "actual_len"_a.none())
        .def("unpack_usb_frame", [](H f, H pdat, H length) { return r::unpack_usb_frame(me(f), pdat, length); },
             "pdat"_a.none(), "length"_a.none())
        .def("get_data_thread", [](H f) { r::get_data_thread(me(f)); })
        .def("send_thread", [](H f) { t::send_thread(me(f)); })
        .def("can_rev_thread", [](H f) { r::can_rev_thread(me(f)); });
    r::remember_own_methods(cls);
}

}  // namespace fdh::py
