// The records received frames reach the callback in.
#pragma once
#include <nanobind/nanobind.h>

#include <cstdint>
#include <span>

#include "protocol/records.hpp"

namespace fdh::py {

// A can_value_type holding a can_head_type for one received frame, as new as one just made: the
// record the previous callback did not keep is refilled instead (see received_records.cpp). Hand
// each back once its callback has returned.
nanobind::object take_received(const CanHead& head, std::span<const std::uint8_t> data);
void give_back_received(nanobind::object value);

}  // namespace fdh::py
