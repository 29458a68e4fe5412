// The one way a container the reader received reaches the object: where the reader's transfers
// (polled reads or queued ones) meet the delivery of their frames.
#pragma once
#include <nanobind/nanobind.h>

#include <chrono>
#include <cstdint>
#include <span>

namespace nb = nanobind;

namespace fdh::receive {

// One reading of the steady clock as the transfer completed (the receive queue turns it into
// epoch time against the wall clock it read at opening).
using ReceivedAt = std::chrono::steady_clock::time_point;

// Needs the interpreter lock. `container` is one transfer's bytes as the adapter sent them (any
// content), `received` the moment the transfer was seen complete. The object's own unpacking runs
// on the bytes in memory; an overridden unpack_usb_frame gets them as pyusb's read would have
// returned them (an array('B')) with their length.
void deliver_container(nb::handle self, std::span<const std::uint8_t> container, ReceivedAt received);

}  // namespace fdh::receive
