#include "event_handling.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "async_transfers.hpp"

namespace vad::events {
namespace {

struct Completion {
    libusb_transfer* transfer;
    libusb_transfer_status status;
    int actual_length;
};

struct State {
    // Completions and the user interrupt, and whether the eventfd currently reads as ready.
    std::mutex data_mu;
    std::deque<Completion> completed;
    bool interrupted = false;
    bool synchronous = false;  // another thread's synchronous transfer finished meanwhile
    bool signalled = false;
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    libusb_pollfd pollfd{fd, POLLIN};

    std::mutex events_mu;  // held by the one thread handling events
    std::atomic<bool> handler_active{false};
    std::mutex waiters_mu;
    std::condition_variable waiters_cv;
};

State& state() {
    static State* s = new State;  // outlives threads still handling events at exit
    return *s;
}

thread_local bool holds_events_lock = false;
thread_local bool handling_events = false;

// Both with data_mu held: the eventfd is readable exactly while something waits to be handled.
void signal(State& s) {
    if (s.signalled) return;
    const std::uint64_t one = 1;
    while (write(s.fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
    s.signalled = true;
}

void clear_if_idle(State& s) {
    if (!s.signalled || !s.completed.empty() || s.interrupted || s.synchronous) return;
    std::uint64_t count = 0;
    while (read(s.fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
    s.signalled = false;
}

void complete(const Completion& c) {
    libusb_transfer* t = c.transfer;
    libusb_transfer_status status = c.status;
    if (status == LIBUSB_TRANSFER_COMPLETED && (t->flags & LIBUSB_TRANSFER_SHORT_NOT_OK)) {
        const int asked = t->length - (t->type == LIBUSB_TRANSFER_TYPE_CONTROL ? LIBUSB_CONTROL_SETUP_SIZE : 0);
        if (c.actual_length != asked) status = LIBUSB_TRANSFER_ERROR;
    }
    const bool free_after = t->flags & LIBUSB_TRANSFER_FREE_TRANSFER;
    t->status = status;
    t->actual_length = c.actual_length;
    if (t->callback) {
        lock_waiters();
        t->callback(t);  // may free or resubmit the transfer
        unlock_waiters();
    }
    if (free_after) free_transfer(t);
}

timespec to_timespec(const timeval& tv) { return {tv.tv_sec, tv.tv_usec * 1000}; }

}  // namespace

void post(libusb_transfer* t, libusb_transfer_status status, int actual_length) {
    State& s = state();
    std::lock_guard lk(s.data_mu);
    s.completed.push_back({t, status, actual_length});
    signal(s);
}

void forget(libusb_transfer* t) {
    State& s = state();
    std::lock_guard lk(s.data_mu);
    std::erase_if(s.completed, [t](const Completion& c) { return c.transfer == t; });
    clear_if_idle(s);
}

void synchronous_done() {
    State& s = state();
    if (holds_events_lock || !s.handler_active) return;
    std::lock_guard lk(s.data_mu);
    s.synchronous = true;
    signal(s);
}

void interrupt() {
    State& s = state();
    std::lock_guard lk(s.data_mu);
    s.interrupted = true;
    signal(s);
}

int handle_locked(const timeval* tv) {
    // A callback that handles events itself would run completions out of order.
    if (handling_events) return LIBUSB_ERROR_BUSY;
    State& s = state();
    pollfd p{s.fd, POLLIN, 0};
    const timespec ts = to_timespec(*tv);
    const int ready = ppoll(&p, 1, &ts, nullptr);
    if (ready < 0) return errno == EINTR ? LIBUSB_ERROR_INTERRUPTED : LIBUSB_ERROR_IO;
    if (ready == 0) return 0;

    std::deque<Completion> batch;
    {
        std::lock_guard lk(s.data_mu);
        batch.swap(s.completed);
        s.interrupted = false;
        s.synchronous = false;
        clear_if_idle(s);
    }
    handling_events = true;
    for (const Completion& c : batch)
        if (retire_transfer(c.transfer)) complete(c);
    handling_events = false;
    return 0;
}

int handle(const timeval* tv, int* completed) {
    if (handling_events) return LIBUSB_ERROR_BUSY;
    State& s = state();
    for (;;) {
        if (try_lock() == 0) {
            int r = 0;
            if (!completed || !*completed) r = handle_locked(tv);
            unlock();
            return r;
        }
        // Another thread handles events: wait until it completes something or stops handling.
        lock_waiters();
        if (completed && *completed) {
            unlock_waiters();
            return 0;
        }
        if (!s.handler_active) {  // it stopped in the meantime: try to take over
            unlock_waiters();
            continue;
        }
        wait_for_event(tv);
        unlock_waiters();
        return 0;
    }
}

int try_lock() {
    State& s = state();
    if (holds_events_lock || !s.events_mu.try_lock()) return 1;
    holds_events_lock = true;
    s.handler_active = true;
    return 0;
}

void lock() {
    State& s = state();
    s.events_mu.lock();
    holds_events_lock = true;
    s.handler_active = true;
}

void unlock() {
    State& s = state();
    s.handler_active = false;
    holds_events_lock = false;
    s.events_mu.unlock();
    // Waiters may now take over event handling.
    std::lock_guard lk(s.waiters_mu);
    s.waiters_cv.notify_all();
}

int handler_active() { return state().handler_active ? 1 : 0; }

void lock_waiters() { state().waiters_mu.lock(); }
void unlock_waiters() { state().waiters_mu.unlock(); }

int wait_for_event(const timeval* tv) {
    State& s = state();
    std::unique_lock lk(s.waiters_mu, std::adopt_lock);
    int r = 0;
    if (!tv)
        s.waiters_cv.wait(lk);
    else
        r = s.waiters_cv.wait_for(lk, std::chrono::seconds(tv->tv_sec) + std::chrono::microseconds(tv->tv_usec)) ==
                    std::cv_status::timeout
                ? 1
                : 0;
    lk.release();  // the caller still holds the lock, as before the call
    return r;
}

const libusb_pollfd** pollfds() {
    auto** list = static_cast<const libusb_pollfd**>(std::calloc(2, sizeof(libusb_pollfd*)));
    if (list) list[0] = &state().pollfd;
    return list;
}

}  // namespace vad::events
