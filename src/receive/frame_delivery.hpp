// Checking a section of received records and handing the frames on: to the user's callback, or, for
// an object opened with a receive queue, into that queue.
#pragma once
#include <nanobind/nanobind.h>

#include <cstdint>
#include <span>

#include "receive/queue_delivery.hpp"

namespace nb = nanobind;

namespace fdh::receive {

// The whole of unpack_can_frame over bytes already in memory: checks, cutting (both without the
// interpreter lock for large sections) and delivery of dir-0 frames, in record order. `at` is when
// the container arrived (the queue's frames are stamped with it). Returns 0 or -1.
int deliver_section(nb::handle self, std::span<const std::uint8_t> section, long long actual_len, Reception at);

}  // namespace fdh::receive
