#include "receive/queue_delivery.hpp"

#include <utility>

namespace fdh::receive {

namespace {
std::int64_t micros(auto duration) {
    return std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
}

// The queue whose takers this thread owes a wake-up, for how many frames (a reader holds one at a time).
thread_local QueueDelivery* t_holder = nullptr;
thread_local std::size_t t_owed = 0;
}  // namespace

ReceptionClock::ReceptionClock()
    : offset_us_(micros(std::chrono::system_clock::now().time_since_epoch()) -
                 micros(std::chrono::steady_clock::now().time_since_epoch())) {}

std::uint64_t ReceptionClock::epoch_us(Reception at) const {
    return static_cast<std::uint64_t>(offset_us_ + micros(at.time_since_epoch()));
}

QueueDelivery::QueueDelivery(const QueueOptions& options) : options_(options), queue_(options.capacity) {}

RecordStep QueueDelivery::deliver(const SectionResult& section, Reception at) {
    // One decoding buffer per reader thread, kept between containers.
    thread_local std::vector<CanMessage> frames;
    frames.clear();
    thread_local std::vector<std::uint32_t> stamps;
    stamps.clear();
    const core::Collected c = core::collect_frames(section, *filter_.get(),
                                                   {options_.receive_own, options_.header_flags, options_.brs_when_fd},
                                                   frames, stamps);
    const std::uint64_t stamp = clock_.epoch_us(at);  // the container's reception, for each of its frames
    for (CanMessage& m : frames) m.timestamp_us = stamp;
    if (!frames.empty()) {
        const bool held = t_holder == this;
        const auto pushed = queue_.push_batch(frames, !held);
        if (held) t_owed += pushed.accepted;
    }
    return c.step;
}

void QueueDelivery::hold() {
    if (t_holder && t_holder != this) t_holder->flush();
    t_holder = this;
}

void QueueDelivery::flush() {
    if (t_holder != this) return;
    t_holder = nullptr;
    queue_.wake(std::exchange(t_owed, 0));
}

void QueueDelivery::end(std::string reason) {
    {
        std::lock_guard lk(end_mu_);
        if (end_reason_.empty()) end_reason_ = std::move(reason);
    }
    queue_.close();
}

std::string QueueDelivery::end_reason() const {
    std::lock_guard lk(end_mu_);
    return end_reason_;
}

}  // namespace fdh::receive
