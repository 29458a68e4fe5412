// Unpacking a transfer the reader already holds in memory.
#pragma once
#include <nanobind/nanobind.h>

#include <cstdint>
#include <span>

namespace nb = nanobind;

namespace fdh::receive {

// Whether the object's unpack_usb_frame and unpack_can_frame are both still the class's own.
bool unpacks_in_memory(nb::handle self);
// unpack_usb_frame(data, len(data)) for such an object: the same checks, lock and delivery,
// without a Python object for the transfer or its section.
void unpack_in_memory(nb::handle self, std::span<const std::uint8_t> transfer);

}  // namespace fdh::receive
