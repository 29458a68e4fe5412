// The python-can Bus's way of receiving: the frames of each container decoded, filtered and queued
// by the reader without the interpreter lock, for any number of threads to take one at a time.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/can_message.hpp"
#include "protocol/frame_filter.hpp"
#include "protocol/receive_container.hpp"
#include "core/receive_path.hpp"
#include "core/rx_queue.hpp"

namespace fdh::receive {

// When a container arrived: one reading of the steady clock as its transfer completed.
using Reception = std::chrono::steady_clock::time_point;

// Epoch microseconds of steady-clock readings. The wall clock is read once, when the object opens,
// against the steady clock: time stamps then cost one clock reading per container and do not jump
// when the wall clock is adjusted while the bus runs.
class ReceptionClock {
public:
    ReceptionClock();
    std::uint64_t epoch_us(Reception at) const;

private:
    std::int64_t offset_us_;
};

struct QueueOptions {
    std::size_t capacity = 1;
    bool receive_own = false;     // keep the adapter's reports of frames it sent for us (dir 1)
    bool header_flags = false;    // BRS and ESI are in reserve[2] of each header (the virtual adapter)
    bool brs_when_fd = false;     // otherwise: the bitrate switch reported for every FD frame
};

class QueueDelivery {
public:
    explicit QueueDelivery(const QueueOptions& options);

    // Decodes the records of a checked section, keeps those the filter passes, and queues them in
    // one step; frames the queue has no room for are dropped and counted. Returns how the walk
    // through the records ended (End when every counted byte was a record). Call it without the
    // interpreter lock.
    RecordStep deliver(const SectionResult& section, Reception at);

    // Between hold() and flush(), the frames this thread delivers are queued as usual, but the
    // threads waiting for them are woken only by flush(), once for all. The reader holds so the
    // containers of one wake-up and flushes once it has let go of the interpreter lock, which the
    // woken takers need first: one wake-up each per batch, and none that blocks on the lock at
    // once. flush() without a hold does nothing.
    void hold();
    void flush();

    void set_filter(FrameFilter filter) { filter_.set(std::move(filter)); }
    RxQueue& queue() noexcept { return queue_; }

    // No more frames will come: the reader stopped because the adapter failed or went away
    // (`reason` says so), or the object was closed. Frames already queued can still be taken.
    void end(std::string reason);
    // Why no more frames come; empty while the reader runs.
    std::string end_reason() const;

private:
    QueueOptions options_;
    ReceptionClock clock_;
    SharedFrameFilter filter_;
    RxQueue queue_;
    mutable std::mutex end_mu_;
    std::string end_reason_;
};

}  // namespace fdh::receive
