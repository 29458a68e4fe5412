// What help(fdhost) shows first: what the module is for and where to start.
#pragma once

namespace fdh::py {

inline constexpr char module_doc[] =
    "Drive a USB-to-CAN-FD adapter through pyusb.\n"
    "\n"
    "Construct one fdhost(nom_baud, dat_baud, sn) per adapter: it finds the adapter by its serial number,\n"
    "starts capture, sets both bitrates (bit/s) and starts the heartbeat and receive threads. Send with\n"
    "fdcanFrameSend(data, canId); receive by registering a callback with setFrameCallback(cb), which is\n"
    "called with a can_value_type for every frame captured from the bus. Finish with close() or a with block.\n"
    "\n"
    "The module reports by printing lines; failures begin with \"[Error] \". A command the adapter rejects,\n"
    "and a constructor that finds no adapter, raise SystemExit(-1).\n"
    "\n"
    "Loading the module installs a SIGINT handler: Ctrl-C clears the event `running` instead of raising\n"
    "KeyboardInterrupt. The constants, tables (can_seg_table, can_fd_seg_table: rows of prescaler,\n"
    "segment 1, segment 2 of an 80 MHz clock) and the slot lists kq_device, kq_string, kq_sn are module\n"
    "attributes a program may read and replace.";

}  // namespace fdh::py
