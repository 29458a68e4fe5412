// The transmit path: a can_tx_type built from the user's bytes and identifier, packed, and written
// to the adapter's CAN OUT endpoint in one bulk transfer.
#pragma once
#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace fdh::transmit {

void fill_fdcan_frame(nb::handle self, nb::handle data, nb::handle frame, nb::handle canId);
void set_tx_frame(nb::handle self, nb::handle frame);
void send_data(nb::handle self);
void fdcan_frame_send(nb::handle self, nb::handle data, nb::handle canId);

}  // namespace fdh::transmit
