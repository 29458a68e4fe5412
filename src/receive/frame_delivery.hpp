// Checking a section of received records and handing the frames to the user's callback.
#pragma once
#include <nanobind/nanobind.h>

#include <cstdint>
#include <span>

namespace nb = nanobind;

namespace fdh::receive {

// The whole of unpack_can_frame over bytes already in memory: checks, cutting (both without the
// interpreter lock for large sections) and delivery of dir-0 frames, in record order. Returns 0 or -1.
int deliver_section(nb::handle self, std::span<const std::uint8_t> section, long long actual_len);

}  // namespace fdh::receive
