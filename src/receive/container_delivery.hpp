// The one way a container the reader received reaches the object: where the reader's transfers
// (polled reads or queued ones) meet the delivery of their frames.
#pragma once
#include <nanobind/nanobind.h>

#include <chrono>
#include <cstdint>
#include <memory>
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

class QueueDelivery;

// The containers one wake-up of the reader hands over, delivered one after another (each through
// deliver_container, under mutex_) in one hold of the interpreter lock. For an object with a
// receive queue each container's frames are queued as it is delivered, as always, but the threads
// waiting for them are woken once, when the batch ends (see QueueDelivery::hold). Made with the
// interpreter lock held; may end without it.
class ContainerBatch {
public:
    explicit ContainerBatch(nb::handle self);
    ~ContainerBatch();  // queues what was held back
    ContainerBatch(const ContainerBatch&) = delete;
    ContainerBatch& operator=(const ContainerBatch&) = delete;

private:
    std::shared_ptr<QueueDelivery> queue_;
};

}  // namespace fdh::receive
