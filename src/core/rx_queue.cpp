#include "core/rx_queue.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

#ifdef __linux__
#include <sys/eventfd.h>
#include <unistd.h>
#endif

namespace fdh::core {

RxQueue::RxQueue(std::size_t capacity) : ring_(std::max<std::size_t>(capacity, 1)) {}

RxQueue::~RxQueue() {
#ifdef __linux__
    if (fd_ >= 0) ::close(fd_);
#endif
}

RxQueue::PushResult RxQueue::push_batch(std::span<const CanMessage> frames, bool wake_takers) {
    PushResult r;
    {
        std::lock_guard lk(mu_);
        if (closed_) return r;
        const bool was_empty = count_ == 0;
        r.accepted = std::min(frames.size(), ring_.size() - count_);
        r.dropped = frames.size() - r.accepted;
        for (std::size_t i = 0; i < r.accepted; ++i) ring_[(head_ + count_ + i) % ring_.size()] = frames[i];
        count_ += r.accepted;
        if (r.dropped) dropped_.fetch_add(r.dropped, std::memory_order_relaxed);
        if (was_empty && count_) wake_set_locked();
    }
    if (wake_takers) wake(r.accepted);
    return r;
}

void RxQueue::wake(std::size_t accepted) {
    if (accepted == 1)
        cv_.notify_one();
    else if (accepted > 1)
        cv_.notify_all();
}

RxQueue::Pop RxQueue::pop(CanMessage& out, double timeout_s) {
    using clock = std::chrono::steady_clock;
    std::unique_lock lk(mu_);
    auto ready = [this] { return count_ > 0 || closed_; };
    if (std::isnan(timeout_s)) timeout_s = 0;
    if (timeout_s < 0 || timeout_s > 1e9) {  // beyond 30 years is for ever, and keeps the deadline finite
        cv_.wait(lk, ready);
    } else if (timeout_s > 0) {
        const auto deadline =
            clock::now() + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(timeout_s));
        cv_.wait_until(lk, deadline, ready);
    }
    if (count_ == 0) return closed_ ? Pop::Closed : Pop::Timeout;
    out = ring_[head_];
    head_ = (head_ + 1) % ring_.size();
    if (--count_ == 0 && !end_signalled_) wake_clear_locked();
    return Pop::Frame;
}

void RxQueue::close(bool discard_pending, bool signal_end) {
    {
        std::lock_guard lk(mu_);
        closed_ = true;
        if (discard_pending && count_) {
            count_ = 0;
            wake_clear_locked();
        }
        if (signal_end && !end_signalled_) {
            end_signalled_ = true;
            if (count_ == 0) wake_set_locked();
        }
    }
    cv_.notify_all();
}

bool RxQueue::closed() const {
    std::lock_guard lk(mu_);
    return closed_;
}

std::size_t RxQueue::size() const {
    std::lock_guard lk(mu_);
    return count_;
}

int RxQueue::wake_fd() {
    std::lock_guard lk(mu_);
#ifdef __linux__
    if (fd_ < 0) {
        fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (fd_ >= 0 && (count_ || end_signalled_)) wake_set_locked();
    }
#endif
    return fd_;
}

// The counter is 1 while frames wait and 0 otherwise: set on the first frame, drained with the last.
void RxQueue::wake_set_locked() noexcept {
#ifdef __linux__
    if (fd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(fd_, &one, sizeof one);
    }
#endif
}

void RxQueue::wake_clear_locked() noexcept {
#ifdef __linux__
    if (fd_ >= 0) {
        std::uint64_t value;
        [[maybe_unused]] auto n = ::read(fd_, &value, sizeof value);
    }
#endif
}

}  // namespace fdh::core
