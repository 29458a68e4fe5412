// The device object: construction, context management, closing and clean-up, finding and opening
// the adapter, and the bit timing its bitrates call for. Like every subsystem's, these functions
// take the Python object itself: its attributes are all of its state (device/names.hpp).
#pragma once
#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace fdh::device {

void init(nb::handle self, nb::handle nom_baud, nb::handle dat_baud, nb::handle sn);
nb::object enter(nb::handle self);
void exit(nb::handle self);
void close(nb::handle self);
void usb_clear(nb::handle self);
nb::object get_device_handle(nb::handle self);
nb::object usb_get_kq_device(nb::handle self);
nb::object usb_open(nb::handle self, nb::handle sn_str);
void setup_bit_timing(nb::handle self);

}  // namespace fdh::device
