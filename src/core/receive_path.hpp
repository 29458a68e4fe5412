// What becomes of one receive container: checked, its records decoded into frames, each frame
// timed (frame_clock.hpp), filtered, the adapter's reports of our own frames kept or not, and the
// frames queued in one step. Runs on whichever thread completes the read (the event thread, as a
// rule), never waits and never calls back into the interpreter.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "core/frame_clock.hpp"
#include "core/rx_queue.hpp"
#include "protocol/can_message.hpp"
#include "protocol/frame_filter.hpp"
#include "protocol/receive_container.hpp"

namespace fdh::core {

// What becomes of each record: the adapter's reports of frames it sent for us kept or not, and where
// the bitrate switch and ESI of an FD frame come from.
struct FrameChoice {
    bool receive_own = false;      // keep the adapter's reports of frames it sent for us (header dir 1)
    bool header_flags = false;     // BRS and ESI are in reserve[2] of each header (the virtual adapter)
    bool brs_when_fd = false;      // otherwise: the bitrate switch reported for every FD frame
    bool classic = false;          // a classic CAN bus: FD frames are none of its (its controller sees errors)
};

struct Collected {
    RecordStep step = RecordStep::End;  // how the walk through the records ended
    std::size_t records = 0;            // records walked
    std::size_t damaged = 0;            // records whose identifier does not fit its format
    std::size_t fd_on_classic = 0;      // FD frames left out because the bus is a classic one
};

// The frames of a checked section's records that `filter` passes, appended to `frames` (timestamp
// left 0), and their header time stamps to `stamps`.
Collected collect_frames(const SectionResult& section, const FrameFilter& filter, const FrameChoice& choice,
                         std::vector<CanMessage>& frames, std::vector<std::uint32_t>& stamps);

struct ReceiveOptions {
    std::size_t capacity = 65536;  // frames the queue holds for a slow taker; beyond, the newest are dropped
    FrameChoice choice;
    bool bus_clock = false;        // the stamps are the virtual adapter's bus clock (else learned)
    std::string name;              // how reports name the adapter ("adapter <serial>")
};

struct Delivered {
    std::size_t records = 0;    // the container's records, whatever became of them
    std::size_t frames = 0;     // queued (the takers may not have been woken yet)
    std::size_t dropped = 0;    // did not fit into the queue
    bool damaged = false;       // the container, or a record in it, was damaged
};

class ReceivePath {
public:
    explicit ReceivePath(ReceiveOptions options);

    // One container's bytes as the read returned them, arrived at `arrival_us` on the steady clock.
    // With `wake` false the takers are not woken: the caller owes them queue().wake(frames).
    Delivered deliver(std::span<const std::uint8_t> container, std::int64_t arrival_us, bool wake);

    void set_filter(FrameFilter filter) { filter_.set(std::move(filter)); }
    RxQueue& queue() noexcept { return *queue_; }
    const std::shared_ptr<RxQueue>& shared_queue() const noexcept { return queue_; }

    // How the latest frame's time was obtained.
    TimeSource time_source() const noexcept { return source_.load(std::memory_order_relaxed); }
    // Frames timed by their arrival because their stamps could not be used.
    std::uint64_t arrival_timed() const noexcept { return arrival_timed_.load(std::memory_order_relaxed); }

    // No more frames will come: `reason` says why (the adapter went away, the bus was closed).
    // Frames already queued can still be taken; an event loop watching the queue is woken.
    void end(std::string reason);
    std::string end_reason() const;

private:
    void note_source(TimeSource s);
    void note_drops(std::size_t dropped);

    ReceiveOptions options_;
    std::shared_ptr<RxQueue> queue_;
    SharedFrameFilter filter_;
    LearnedClock learned_;
    std::atomic<TimeSource> source_{TimeSource::Arrival};
    std::atomic<std::uint64_t> arrival_timed_{0};
    bool reported_learned_ = false;
    bool reported_fd_on_classic_ = false;
    std::chrono::steady_clock::time_point last_drop_{};
    // Reused between containers (one container is delivered at a time).
    std::vector<CanMessage> frames_;
    std::vector<std::uint32_t> stamps_;
    std::vector<std::int64_t> times_;
    mutable std::mutex end_mu_;
    std::string end_reason_;
};

}  // namespace fdh::core
