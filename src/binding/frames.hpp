// Frames between the core and Python: received frames become instances of the message class Python
// names (can.Message, filled slot by slot as its constructor would leave them), and the fields of a
// message to send, and filter rules, become the core's values.
#pragma once
#include <nanobind/nanobind.h>

#include <optional>
#include <tuple>
#include <vector>

#include "protocol/can_message.hpp"
#include "protocol/frame_filter.hpp"

namespace nb = nanobind;

namespace fdh::binding {

// The class recv() makes its messages of; it must allow these attributes: timestamp,
// arbitration_id, is_extended_id, is_remote_frame, is_error_frame, channel, dlc, data, is_fd,
// is_rx, bitrate_switch, error_state_indicator.
void set_message_class(nb::handle cls);
nb::object make_message(const CanMessage& m, nb::handle channel);

// The payload of a message to send: any object with the buffer protocol (bytes, bytearray, ...).
CanMessage message_to_send(std::uint32_t id, bool extended, bool remote, bool fd, bool brs, nb::handle data,
                           int length);

using FilterRuleTuple = std::tuple<std::uint32_t, std::uint32_t, std::optional<bool>, bool>;
FrameFilter filter_of(const std::optional<std::vector<FilterRuleTuple>>& rules);

}  // namespace fdh::binding
