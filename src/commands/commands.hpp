// The command channel: one framed command and its acknowledgement per exchange, the device
// commands built on it, the bit-timing setup, and the heartbeat with its worker thread.
#pragma once
#include <nanobind/nanobind.h>

#include "protocol/records.hpp"

namespace nb = nanobind;

namespace fdh::commands {

// command_transfer.cpp
nb::object usb_control_send(nb::handle self, nb::handle ptr, nb::handle length);
nb::object usb_control_ack(nb::handle self, nb::handle cmd, nb::handle length, nb::handle data);
nb::object usb_control_transfer(nb::handle self, nb::handle cmd, nb::handle length, nb::handle pdata,
                                nb::handle rx_len, nb::handle rx_data);
// device_commands.cpp
nb::object start_cap(nb::handle self);
nb::object stop_cap(nb::handle self);
nb::object start_test(nb::handle self);
nb::object ack_hello(nb::handle self);
nb::object test_ack(nb::handle self, nb::handle length_ref, nb::handle data_ref);
// setup_command.cpp
nb::object setup_baud(nb::handle self, nb::handle canMode, nb::handle dbrp, nb::handle dbrp_fd, nb::handle can_seg1,
                      nb::handle can_seg2, nb::handle can_fd_seg1, nb::handle can_fd_seg2);
// The bit-timing command with all nine fields as given (the constructor's `setup` option), with
// the same report as setup_baud.
nb::object send_setup(nb::handle self, const SetupBaudrate& fields);
// heartbeat.cpp
void heart(nb::handle self);
// The class's own USB_CMD_HEART, recorded once the class is made: the worker calls heart()
// directly for an object whose method is still this one.
void remember_own_heart(nb::handle cls);
void send_thread(nb::handle self);

}  // namespace fdh::commands
