#include "core/event_loop.hpp"

#include <algorithm>

#include "core/rx_queue.hpp"
#include "core/thread_slice.hpp"

#if defined(__linux__)
#include <pthread.h>
#endif

namespace fdh::core {

namespace {
// With nothing due the thread still returns from libusb's wait now and then: libusb's own limit.
constexpr auto LONGEST_WAIT = std::chrono::seconds(60);
// How long the thread waits for the reads queued at the end of a window (they complete at once
// with what gathered; a read that takes longer is collected with the next window).
constexpr auto FOLLOW_UP = std::chrono::microseconds(500);
// Frames a window must gather for the next to follow (about 5,700 frames/s with 0.7 ms windows).
constexpr std::size_t WINDOW_RECORDS = 4;
// Timers due this close together fire in one wake-up.
constexpr auto TIMER_SLACK = std::chrono::microseconds(1000);
}  // namespace

void EventLoop::start() {
    std::call_once(started_, [this] {
        std::thread t([this] { run(); });
        thread_id_.store(t.get_id());
#if defined(__linux__)
        pthread_setname_np(t.native_handle(), "fdhost-events");  // how tools and tests find it
#endif
        t.detach();
    });
}

void EventLoop::attach(LoopMember* member) {
    {
        std::lock_guard lk(mu_);
        members_.push_back(member);
    }
    cv_.notify_all();
    start();
}

void EventLoop::detach(LoopMember* member) {
    bool idle;
    {
        std::lock_guard lk(mu_);
        std::erase(members_, member);
        idle = members_.empty();
    }
    if (idle) wake();  // out of libusb's wait, into its own
}

EventLoop::TimerId EventLoop::add_timer(std::chrono::microseconds period, std::function<void()> fn) {
    const auto p = std::chrono::duration_cast<Clock::duration>(std::max(period, std::chrono::microseconds(1)));
    const auto now = Clock::now().time_since_epoch();
    const Clock::time_point due{(now / p + 1) * p};
    TimerId id;
    {
        std::lock_guard lk(mu_);
        id = next_id_++;
        timers_.push_back({id, p, due, std::move(fn)});
    }
    wake();
    return id;
}

void EventLoop::remove_timer(TimerId id) {
    std::unique_lock lk(mu_);
    std::erase_if(timers_, [id](const Timer& t) { return t.id == id; });
    if (!on_loop_thread()) cv_.wait(lk, [&] { return running_ != id; });
}

void EventLoop::delivered(std::shared_ptr<RxQueue> queue, std::size_t frames, std::size_t records) {
    ++round_containers_;
    round_records_ += records;
    if (frames == 0) return;
    for (auto& [q, n] : owed_) {
        if (q == queue) {
            n += frames;
            return;
        }
    }
    owed_.emplace_back(std::move(queue), frames);
}

void EventLoop::wake() { api_.async.interrupt_event_handler(ctx_); }

EventLoop::Clock::duration EventLoop::until_next_timer() {
    std::lock_guard lk(mu_);
    Clock::duration wait = LONGEST_WAIT;
    const auto now = Clock::now();
    for (const Timer& t : timers_) wait = std::min(wait, std::max(Clock::duration::zero(), t.due - now));
    return wait;
}

void EventLoop::run_due_timers() {
    std::unique_lock lk(mu_);
    for (;;) {
        const auto horizon = Clock::now() + TIMER_SLACK;
        auto it = std::find_if(timers_.begin(), timers_.end(), [&](const Timer& t) { return t.due <= horizon; });
        if (it == timers_.end()) return;
        // The next moment on its grid that is still ahead: a late round skips, it does not catch up.
        const auto now = Clock::now();
        do it->due += it->period;
        while (it->due <= now);
        running_ = it->id;
        auto fn = it->fn;  // the timer may be removed while it runs
        lk.unlock();
        fn();
        lk.lock();
        running_ = 0;
        cv_.notify_all();
    }
}

void EventLoop::pay_owed_wakes() {
    for (auto& [queue, frames] : owed_) queue->wake(frames);
    owed_.clear();
}

int EventLoop::tell_members(LoopMember::Turn t) {
    std::lock_guard lk(mu_);  // a detach waits until the members have been told
    int queued = 0;
    for (LoopMember* m : members_) queued += m->turn(t);
    return queued;
}

void EventLoop::run() {
    using std::chrono::duration_cast;
    using std::chrono::microseconds;
    thread_id_.store(std::this_thread::get_id());
    ask_for_short_slices();
    owed_.reserve(16);
    for (;;) {
        {
            std::unique_lock lk(mu_);
            if (members_.empty()) gather_ = false;
            cv_.wait(lk, [this] { return !members_.empty(); });
        }
        const bool windowed = gather_;
        auto handle = [this](Clock::duration wait) {
            const auto us = std::max<long long>(0, duration_cast<microseconds>(wait).count());
            libusb::Timeval tv{static_cast<decltype(tv.tv_sec)>(us / 1000000),
                               static_cast<decltype(tv.tv_usec)>(us % 1000000)};
            api_.async.handle_events_timeout_completed(ctx_, &tv, nullptr);
        };
        const auto entered = Clock::now();
        if (windowed) {
            // The window: frames gather in the adapters, then one read each takes them, collected
            // as they complete (at once, unless the library is slow to run).
            std::this_thread::sleep_for(GATHER);
            const auto queued = static_cast<std::size_t>(tell_members(LoopMember::Turn::Collect));
            const auto limit = Clock::now() + FOLLOW_UP;
            do handle(std::min(limit - Clock::now(), until_next_timer()));
            while (round_containers_ < queued && Clock::now() < limit);
        } else {
            handle(until_next_timer());
        }
        // Windows begin when one completion follows the last within a quarter of a window, as on a
        // busy bus, and go on while they gather several frames each; at lighter traffic each
        // container is handed over at once again.
        const bool quick = Clock::now() - entered < GATHER / 4;
        gather_ = windowed ? round_records_ >= WINDOW_RECORDS : round_containers_ > 0 && quick;
        round_containers_ = round_records_ = 0;
        pay_owed_wakes();
        tell_members(gather_ ? LoopMember::Turn::Window : LoopMember::Turn::Steady);
        run_due_timers();
    }
}

}  // namespace fdh::core
