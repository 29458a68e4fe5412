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
// message_send.cpp: a python-can frame (length: a remote frame's requested length) written within
// timeout_s seconds (below 0: for ever). ValueError for a frame the record cannot carry,
// TimeoutError when the adapter's transmit queue stayed full, pyusb's USBError when it failed.
void send_message(nb::handle self, nb::handle id, nb::handle extended, nb::handle remote, nb::handle fd,
                  nb::handle brs, nb::handle data, nb::handle length, double timeout_s);

}  // namespace fdh::transmit
