// The device class. Its state lives in the instance namespace (the attributes programs read and
// replace); the methods below work on those attributes through the interpreter, so a program
// that rebinds an attribute or overrides a method sees the same behaviour as with any Python class.
#pragma once
#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace fdh {

struct Fdhost {};

namespace device {  // lifecycle, discovery, opening, bit timing
void init(nb::handle self, nb::handle nom_baud, nb::handle dat_baud, nb::handle sn);
nb::object enter(nb::handle self);
void exit(nb::handle self);
void close(nb::handle self);
void usb_clear(nb::handle self);
// Releases `dev` again when the object no longer holds it (see lifecycle.cpp).
void release_if_withdrawn(nb::handle self, nb::handle dev);
nb::object get_device_handle(nb::handle self);
nb::object usb_get_kq_device(nb::handle self);
nb::object usb_open(nb::handle self, nb::handle sn_str);
void setup_bit_timing(nb::handle self);
}  // namespace device

namespace commands {  // command channel
nb::object usb_control_send(nb::handle self, nb::handle ptr, nb::handle length);
nb::object usb_control_ack(nb::handle self, nb::handle cmd, nb::handle length, nb::handle data);
nb::object usb_contorl_transfer(nb::handle self, nb::handle cmd, nb::handle length, nb::handle pdata,
                                nb::handle rx_len, nb::handle rx_data);
nb::object start_cap(nb::handle self);
nb::object stop_cap(nb::handle self);
nb::object start_test(nb::handle self);
nb::object ack_hello(nb::handle self);
nb::object test_ack(nb::handle self, nb::handle length_ref, nb::handle data_ref);
void heart(nb::handle self);
nb::object setup_buard(nb::handle self, nb::handle canMode, nb::handle dbrp, nb::handle dbrp_fd, nb::handle can_seg1,
                       nb::handle can_seg2, nb::handle can_fd_seg1, nb::handle can_fd_seg2);
}  // namespace commands

namespace transmit {
void fill_fdcan_frame(nb::handle self, nb::handle data, nb::handle frame, nb::handle canId);
void set_tx_frame(nb::handle self, nb::handle frame);
void send_data(nb::handle self);
void fdcan_frame_send(nb::handle self, nb::handle data, nb::handle canId);
void send_thread(nb::handle self);
}  // namespace transmit

namespace receive {
nb::object can_pack_dlc_get(nb::handle self, nb::handle head);
void set_frame_callback(nb::handle self, nb::handle cb);
void print_can_value(nb::handle self, nb::handle can_val);
nb::object unpack_can_frame(nb::handle self, nb::handle pdat, nb::handle actual_len);
nb::object unpack_usb_frame(nb::handle self, nb::handle pdat, nb::handle length);
void get_data_thread(nb::handle self);
void can_rev_thread(nb::handle self);
// The class's own unpack_can_frame and unpack_usb_frame, recorded when the class is created, to
// recognise overrides.
void remember_own_methods(nb::handle cls);
}  // namespace receive

}  // namespace fdh
