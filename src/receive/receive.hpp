// The receive path: the reader workers, the check of each bulk receive container, and the
// delivery of the frames inside it to the user's callback.
#pragma once
#include <nanobind/nanobind.h>

#include <cstdint>

namespace nb = nanobind;

namespace fdh::receive {

// can_decode.cpp
nb::object can_pack_dlc_get(nb::handle self, nb::handle head);
void set_frame_callback(nb::handle self, nb::handle cb);
void print_can_value(nb::handle self, nb::handle can_val);
nb::object unpack_can_frame(nb::handle self, nb::handle pdat, nb::handle actual_len);
// usb_unpack.cpp
nb::object unpack_usb_frame(nb::handle self, nb::handle pdat, nb::handle length);
// The class's own unpack_can_frame, unpack_usb_frame and can_pack_dlc_get, recorded once the class is made: an
// object whose methods are still these is unpacked in memory (see usb_unpack.cpp).
void remember_own_methods(nb::handle cls);
// queue_receive.cpp: the methods of an object opened with a receive queue. recv_message waits up
// to timeout_s seconds (below 0: for ever) and returns (timestamp_s, id, extended, remote, fd, brs,
// esi, is_rx, length, data) or None; once no more frames can come it raises OSError(ENODEV, why).
nb::object recv_message(nb::handle self, double timeout_s);
// None passes every frame; otherwise any of the (can_id, can_mask, extended or None, invert) rules.
void set_receive_filters(nb::handle self, nb::handle rules);
std::uint64_t receive_dropped(nb::handle self);
int receive_fileno(nb::handle self);
// reader_threads.cpp
void get_data_thread(nb::handle self);
void can_rev_thread(nb::handle self);

}  // namespace fdh::receive
