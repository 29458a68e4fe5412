// Unpacking a transfer the reader already holds in memory.
#pragma once
#include <nanobind/nanobind.h>

#include <cstdint>
#include <span>

#include "receive/queue_delivery.hpp"

namespace nb = nanobind;

namespace fdh::receive {

// Whether the object's unpack_usb_frame and unpack_can_frame are both still the class's own.
bool unpacks_in_memory(nb::handle self);
// Whether its can_pack_dlc_get is still the class's own: the decoder then takes the data lengths
// from the DLC codes itself.
bool own_length_method(nb::handle self);
// unpack_usb_frame(data, len(data)) for such an object: the same checks, lock and delivery,
// without a Python object for the transfer or its section. Every received container the reader
// holds in memory meets the receive path here, with the moment its transfer completed.
void unpack_in_memory(nb::handle self, std::span<const std::uint8_t> transfer, Reception at);

}  // namespace fdh::receive
