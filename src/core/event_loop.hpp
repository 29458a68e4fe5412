// The one event thread of a loaded libusb: it handles the library's events (the completions of every
// open adapter's queued reads and heartbeat writes) and runs the periodic timers (the heartbeats).
// libusb handles events per context, so every adapter on that library shares this one thread.
//
// The thread sleeps in libusb's event handling until a transfer completes, the next timer is due or
// wake() is called, and hands each completion over at once. When completions come close together
// (a busy bus) it works in windows instead: it sleeps GATHER, then has each adapter queue one read,
// which takes every frame that waited in the adapter meanwhile, and collects those reads. A busy bus
// then costs one wake-up of each thread on the way per window, not per frame.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/libusb_abi.hpp"

namespace fdh::core {

class RxQueue;

// An adapter on the loop: told at every turn of the loop how many reads to keep queued.
class LoopMember {
public:
    enum class Turn {
        Steady,   // completions come one by one: keep the reads queued
        Window,   // a window begins: queue nothing, let the frames gather in the adapter
        Collect,  // the window is over: queue one read (if none is), to take what gathered
    };
    // On the event thread; returns the reads it queued.
    virtual int turn(Turn t) = 0;

protected:
    ~LoopMember() = default;
};

class EventLoop {
public:
    using Clock = std::chrono::steady_clock;
    using TimerId = std::uint64_t;

    // The window of a busy bus: long enough that its wake-ups cost little per frame, short enough
    // that a frame still reaches its taker within a millisecond.
    static constexpr auto GATHER = std::chrono::microseconds(700);

    EventLoop(const libusb::Api& api, void* ctx) : api_(api), ctx_(ctx) {}
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Runs `fn` on the event thread every `period`, first at the next multiple of the period on the
    // steady clock: timers of the same period fire in the same wake-up.
    TimerId add_timer(std::chrono::microseconds period, std::function<void()> fn);
    // After it returns the timer never runs again and is not running (unless called from its own
    // callback, which is allowed).
    void remove_timer(TimerId id);

    // The event thread, if this is it: completions that run here may leave work for the end of the round
    // (libusb runs completions on whichever thread handles its events at that moment).
    bool on_loop_thread() const { return std::this_thread::get_id() == thread_id_.load(); }

    // On the event thread only, once per container handed over with the records it held: the
    // takers of `queue` are woken for `frames` frames once every completion of this round has been
    // handled (one wake-up per queue per round instead of one per container).
    void delivered(std::shared_ptr<RxQueue> queue, std::size_t frames, std::size_t records);

    // Ends the current wait of the event thread early.
    void wake();

    // An adapter starts (attach) or stops (detach) using the loop; after detach returns, the loop no
    // longer calls it. The thread handles the library's events only while some adapter uses it: the
    // virtual adapter's library handles events for the whole process, whatever the context, and
    // another user of it (pyusb, a test) may be waiting for completions of its own. The first attach
    // starts the thread, which then runs for the rest of the process and is never joined: it holds
    // nothing a process exit would wait for.
    void attach(LoopMember* member);
    void detach(LoopMember* member);

private:
    struct Timer {
        TimerId id;
        Clock::duration period;
        Clock::time_point due;
        std::function<void()> fn;
    };

    void start();
    void run();
    Clock::duration until_next_timer();
    void run_due_timers();
    void pay_owed_wakes();
    int tell_members(LoopMember::Turn t);

    const libusb::Api& api_;
    void* ctx_;
    std::once_flag started_;
    std::atomic<std::thread::id> thread_id_{};

    std::mutex mu_;
    std::condition_variable cv_;  // a removal waiting for its timer to finish, the thread for a user
    std::vector<LoopMember*> members_;
    std::vector<Timer> timers_;
    TimerId next_id_ = 1;
    TimerId running_ = 0;  // the timer whose callback runs now

    // The event thread's own: wake-ups owed at the end of the round, and whether it gathers.
    std::vector<std::pair<std::shared_ptr<RxQueue>, std::size_t>> owed_;
    std::size_t round_containers_ = 0, round_records_ = 0;
    bool gather_ = false;  // working in windows
};

}  // namespace fdh::core
