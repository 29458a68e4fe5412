#pragma once
#include <nanobind/nanobind.h>

namespace fdh::py {
// invert_uint8, invert_uint16 and CRC16_IBM as plain module functions.
void add_checksum_functions(nanobind::module_& m);
}
