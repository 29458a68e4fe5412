// The record classes as the interpreter sees them: plain objects whose fields hold any value a
// program assigns, bound from their tables (protocol/record_layouts.hpp).
#pragma once
#include <nanobind/nanobind.h>

namespace fdh::py {

void bind_can_records(nanobind::module_& m);      // can_head_type, can_value_type, can_tx_type
void bind_command_records(nanobind::module_& m);  // can_ack_type, setup_baudrate_t

}  // namespace fdh::py
