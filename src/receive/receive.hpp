// The receive path: the reader workers, the check of each bulk receive container, and the
// delivery of the frames inside it to the user's callback.
#pragma once
#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace fdh::receive {

// can_decode.cpp
nb::object can_pack_dlc_get(nb::handle self, nb::handle head);
void set_frame_callback(nb::handle self, nb::handle cb);
void print_can_value(nb::handle self, nb::handle can_val);
nb::object unpack_can_frame(nb::handle self, nb::handle pdat, nb::handle actual_len);
// usb_unpack.cpp
nb::object unpack_usb_frame(nb::handle self, nb::handle pdat, nb::handle length);
// The class's own unpack_can_frame and unpack_usb_frame, recorded once the class is made: an
// object whose methods are still these is unpacked in memory (see usb_unpack.cpp).
void remember_own_methods(nb::handle cls);
// reader_threads.cpp
void get_data_thread(nb::handle self);
void can_rev_thread(nb::handle self);

}  // namespace fdh::receive
