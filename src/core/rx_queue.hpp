// The bounded queue of received frames: the receive path hands over each container's frames in one
// locked step; any number of threads take frames one at a time.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "protocol/can_message.hpp"

namespace fdh::core {

class RxQueue {
public:
    explicit RxQueue(std::size_t capacity);
    ~RxQueue();
    RxQueue(const RxQueue&) = delete;
    RxQueue& operator=(const RxQueue&) = delete;

    struct PushResult {
        std::size_t accepted = 0;
        std::size_t dropped = 0;  // did not fit; counted in dropped()
    };
    // When the queue is full the newest frames are the ones dropped: the queued frames are older,
    // a reader may already be waiting for them in order, and keeping them leaves a single gap in
    // the stream instead of holes scattered through what was already accepted.
    // Frames pushed after close() are ignored and not counted.
    // With `wake` false the waiting takers are not woken: the caller owes them wake(accepted).
    PushResult push_batch(std::span<const CanMessage> frames, bool wake = true);
    // Wakes takers for `accepted` frames pushed without waking them.
    void wake(std::size_t accepted);

    enum class Pop { Frame, Timeout, Closed };
    // Waits up to timeout_s seconds: below 0 (or infinite) waits for ever, 0 only looks, NaN counts
    // as 0. Reports Closed once the queue is closed and has nothing left to hand out.
    Pop pop(CanMessage& out, double timeout_s);

    // Wakes every waiter. Frames already queued stay available unless discard_pending: frames the
    // adapter delivered before an unplug are still real traffic. With `signal_end` the wake
    // descriptor reads as ready from then on, so an event loop watching it comes to take the end.
    void close(bool discard_pending = false, bool signal_end = false);

    bool closed() const;
    std::size_t size() const;
    std::size_t capacity() const noexcept { return ring_.size(); }
    std::uint64_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }

    // A descriptor that is readable exactly while frames wait, for an event loop to watch (never
    // read it). Made on first use, so a queue nobody watches makes no system calls; -1 where the
    // platform has no event descriptor.
    int wake_fd();

private:
    void wake_set_locked() noexcept;
    void wake_clear_locked() noexcept;

    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<CanMessage> ring_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    bool closed_ = false;
    bool end_signalled_ = false;
    std::atomic<std::uint64_t> dropped_{0};
    int fd_ = -1;
};

}  // namespace fdh::core

namespace fdh::receive {
using core::RxQueue;
}  // namespace fdh::receive
