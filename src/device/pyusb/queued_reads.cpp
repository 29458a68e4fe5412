#include "device/pyusb/queued_reads.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "device/names.hpp"
#include "device/pyusb/fast_path.hpp"
#include "device/pyusb/stop_waker.hpp"
#include "python/interpreter.hpp"
#include "python/numbers.hpp"

namespace fdh::device {

namespace {

using SteadyClock = std::chrono::steady_clock;


// Transfers kept queued: enough that a saturated bus fills them one frame each for most of a
// batching window before frames have to wait in the adapter for the next hand-over.
constexpr int QUEUED = 8;
// When containers come close together the reader lets them gather this long before it takes the
// interpreter lock: one wake-up then hands over all of them. Half a millisecond keeps a frame's
// way to the callback under a millisecond at full load; an isolated container is handed over at once.
constexpr auto BATCH_WINDOW = std::chrono::microseconds(500);
// libusb's own wait in libusb_handle_events; the reader goes straight back to waiting after it.
constexpr long WAIT_SECONDS = 60;
// Cancelled transfers complete at once. One that has not after this long (its handle was closed
// under it) is abandoned, never freed, rather than waited for for ever.
constexpr auto REAP_LIMIT = std::chrono::seconds(2);

static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free);

struct Completion {
    std::uint64_t seq;  // submission order
    int status;
    int length;
    std::uint8_t* buffer;
    SteadyClock::time_point received;
};

class Session;

struct Slot {
    Session* session = nullptr;
    libusb::Transfer* transfer = nullptr;
    std::uint8_t* buffer = nullptr;  // the buffer it fills while queued
    std::uint64_t seq = 0;
    bool in_flight = false;
    bool cancelling = false;
};

// One run of queued reads: the transfers, their buffers and what has completed. The callback
// runs on whichever thread handles libusb's events, never with the interpreter lock needed.
class Session {
public:
    Session(PyObject* owner, Route route, int length) : owner_(owner), route_(std::move(route)), length_(length) {
        const auto& api = route_.async;
        // Twice the queue: while the reader hands one set over, the transfers fill the other.
        for (int i = 0; i < 2 * QUEUED; ++i) {
            storage_.emplace_back(new std::uint8_t[static_cast<std::size_t>(length)]);
            free_.push_back(storage_.back().get());
        }
        slots_.resize(QUEUED);
        for (Slot& s : slots_) {
            s.session = this;
            s.transfer = api.alloc_transfer(0);
            if (!s.transfer) return;
        }
        ready_ = true;
    }

    ~Session() {
        for (Slot& s : slots_)
            if (s.transfer && !s.in_flight) route_.async.free_transfer(s.transfer);
    }

    bool ready() const { return ready_; }
    PyObject* owner() const { return owner_; }
    const Route& route() const { return route_; }
    int length() const { return length_; }
    // Asked to stop (stop_thread, close, usb_clear), as against winding down on its own.
    bool stopping() const { return requested_.load(); }
    bool abandoned() const { return abandoned_.load(); }
    int failure() {
        std::lock_guard lk(mu_);
        return failure_;
    }

    // Any thread. Makes the reader leave its wait and end.
    void request_stop() {
        {
            std::lock_guard lk(mu_);
            requested_ = stop_ = true;
            completed_.store(1);
        }
        cv_.notify_all();
        route_.async.interrupt_event_handler(route_.ctx);
    }

    // The reader, without the interpreter lock: waits until some transfers have completed (or a
    // stop or a failure) and moves the completions into `out` in submission order, queueing the
    // transfers they free again at once. With `gather` it first lets completions gather for
    // BATCH_WINDOW, so that one wake-up hands over all of them. Returns whether the next wait
    // should gather too: the window gathered more than one container, or, without a window, the
    // first came within a quarter of one (frames spaced wider than that are handed over singly).
    bool wait(std::vector<Completion>& out, bool gather) {
        const auto& api = route_.async;
        if (gather) {
            std::unique_lock lk(mu_);
            cv_.wait_for(lk, BATCH_WINDOW, [&] { return stop_.load(); });
        }
        const auto start = SteadyClock::now();
        for (;;) {
            {
                std::lock_guard lk(mu_);
                queue_idle_locked();
                if (stop_ || failure_ || !done_.empty()) break;
                completed_.store(0);
            }
            libusb::Timeval tv{WAIT_SECONDS, 0};
            const int r = api.handle_events_timeout_completed(route_.ctx, &tv, completed_flag());
            if (r < 0 && r != libusb::ERROR_INTERRUPTED) {
                std::lock_guard lk(mu_);
                failure_ = r;
            }
        }
        const bool quick = SteadyClock::now() - start < BATCH_WINDOW / 4;
        take(out);
        return gather ? out.size() > 1 : quick;
    }

    // Everything completed so far, in submission order; the transfers it freed are queued again.
    void take(std::vector<Completion>& out) {
        std::lock_guard lk(mu_);
        out.swap(done_);
        std::sort(out.begin(), out.end(), [](const Completion& a, const Completion& b) { return a.seq < b.seq; });
        queue_idle_locked();
    }

    void give_back(std::uint8_t* buffer) {
        std::lock_guard lk(mu_);
        free_.push_back(buffer);
    }

    // Any thread, without the interpreter lock: cancels every transfer in flight and handles
    // libusb's events until all of them have completed.
    void cancel_and_reap() {
        const auto& api = route_.async;
        {
            std::lock_guard lk(mu_);
            stop_ = true;
            for (Slot& s : slots_) {
                if (!s.in_flight || s.cancelling) continue;
                s.cancelling = true;
                api.cancel_transfer(s.transfer);  // not found: its completion is on its way anyway
            }
        }
        const auto limit = SteadyClock::now() + REAP_LIMIT;
        for (;;) {
            {
                std::lock_guard lk(mu_);
                if (in_flight_ == 0) return;
                completed_.store(0);
            }
            if (SteadyClock::now() > limit) {
                abandoned_ = true;
                return;
            }
            libusb::Timeval tv{0, 100000};
            api.handle_events_timeout_completed(route_.ctx, &tv, completed_flag());
        }
    }

    static void FDH_LIBUSB_CALL completed(libusb::Transfer* t) {
        auto* slot = static_cast<Slot*>(t->user_data);
        Session& s = *slot->session;
        const auto received = SteadyClock::now();
        std::lock_guard lk(s.mu_);
        s.done_.push_back({slot->seq, t->status, t->actual_length, slot->buffer, received});
        slot->buffer = nullptr;
        slot->in_flight = slot->cancelling = false;
        --s.in_flight_;
        s.completed_.store(1);
    }

private:
    // libusb reads it as a plain int between its own checks, as its synchronous calls do.
    int* completed_flag() { return reinterpret_cast<int*>(&completed_); }

    void queue_idle_locked() {
        if (stop_ || failure_) return;
        for (Slot& s : slots_) {
            if (s.in_flight) continue;
            if (!s.buffer) {
                if (free_.empty()) return;
                s.buffer = free_.back();
                free_.pop_back();
            }
            libusb::Transfer& t = *s.transfer;
            t.dev_handle = route_.handle;
            t.flags = 0;
            t.endpoint = route_.address;
            t.type = route_.type;
            t.timeout = 0;  // an idle bus is no reason to wake up
            t.length = length_;
            t.actual_length = 0;
            t.callback = &Session::completed;
            t.user_data = &s;
            t.buffer = s.buffer;
            t.num_iso_packets = 0;
            s.seq = next_seq_++;
            const int r = route_.async.submit_transfer(&t);
            if (r < 0) {
                failure_ = r;  // what the synchronous read would have returned
                return;
            }
            s.in_flight = true;
            ++in_flight_;
        }
    }

    PyObject* owner_;  // identity only: which object's usb_clear withdraws this run
    Route route_;
    int length_;
    bool ready_ = false;

    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Slot> slots_;
    std::vector<std::unique_ptr<std::uint8_t[]>> storage_;
    std::vector<std::uint8_t*> free_;
    std::vector<Completion> done_;
    std::uint64_t next_seq_ = 0;
    int in_flight_ = 0;
    int failure_ = 0;
    std::atomic<bool> stop_{false};  // nothing is queued any more
    std::atomic<bool> requested_{false};
    std::atomic<int> completed_{0};  // libusb's `completed`: set by every completion and stop
    std::atomic<bool> abandoned_{false};
};

// A session whose transfers could not be reaped stays allocated: libusb may still write into its
// buffers and call back into it.
void release_session(Session* s) {
    if (!s->abandoned()) delete s;
}

// The runs under way, for usb_clear and close to find by their object.
std::mutex g_runs_mu;
std::vector<std::shared_ptr<Session>>& runs() {
    static auto* r = new std::vector<std::shared_ptr<Session>>();  // kept for good, like the module
    return *r;
}

std::vector<std::shared_ptr<Session>> runs_of(nb::handle self) {
    std::lock_guard lk(g_runs_mu);
    std::vector<std::shared_ptr<Session>> found;
    for (auto& s : runs())
        if (s->owner() == self.ptr()) found.push_back(s);
    return found;
}

class Enrolment {
public:
    explicit Enrolment(std::shared_ptr<Session> s) : s_(std::move(s)) {
        std::lock_guard lk(g_runs_mu);
        runs().push_back(s_);
    }
    ~Enrolment() {
        std::lock_guard lk(g_runs_mu);
        std::erase(runs(), s_);
    }
    Enrolment(const Enrolment&) = delete;
    Enrolment& operator=(const Enrolment&) = delete;

private:
    std::shared_ptr<Session> s_;
};

// Hands the containers of `batch` on in order; returns the error code of the first failed
// transfer (what the synchronous read would have returned), after which nothing more is handed
// on, as nothing after a failed read is. Stops at a container boundary once the run is stopping.
int hand_over(Session& session, std::vector<Completion>& batch, const Delivery& deliver) {
    if (batch.empty()) return 0;
    deliver.begin();  // ended by the reader once it has let go of the interpreter lock
    int failure = 0;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const Completion& c = batch[i];
        if (!failure && !session.stopping()) {
            // As pyusb: a time-out that moved some bytes is a transfer of those bytes.
            if (c.status == libusb::COMPLETED || (c.status == libusb::TIMED_OUT && c.length > 0)) {
                const auto size = static_cast<std::size_t>(std::clamp(c.length, 0, session.length()));
                try {
                    deliver.container({c.buffer, size}, c.received);
                } catch (...) {
                    for (std::size_t j = i; j < batch.size(); ++j) session.give_back(batch[j].buffer);
                    deliver.end();
                    throw;
                }
            } else if (c.status != libusb::TIMED_OUT && c.status != libusb::CANCELLED) {
                failure = libusb::error_of(c.status);
            }
        }
        session.give_back(c.buffer);
    }
    batch.clear();
    return failure;
}

// Every guard of the run still holds: the same device, stop event, endpoint, size and route.
bool still_direct(nb::handle self, nb::handle dev, nb::handle stop_event, const char* endpoint_name, int ep,
                  const Session& session) {
    if (!py::attr(self, obj::dev_handle).is(dev) || !py::attr(self, obj::stop_thread).is(stop_event)) return false;
    if (endpoint_number(py::global(endpoint_name)) != ep) return false;
    if (py::plain_int(py::global(mod::RX_LENGTH), 1, 1 << 24) != session.length()) return false;
    return route_unchanged(dev, ep, session.route());
}

// Ends the run on every way out: no transfer stays in flight once the reader has left.
class Teardown {
public:
    explicit Teardown(Session& s) : s_(s) {}
    ~Teardown() { reap(); }
    void reap() {
        if (done_) return;
        done_ = true;
        nb::gil_scoped_release unlocked;
        s_.cancel_and_reap();
    }

private:
    Session& s_;
    bool done_ = false;
};

}  // namespace

QueuedRead read_queued(nb::handle self, nb::handle dev, const char* endpoint_name, const Delivery& deliver) {
    const int ep = endpoint_number(py::global(endpoint_name));
    const auto length = py::plain_int(py::global(mod::RX_LENGTH), 1, 1 << 24);
    if (ep < 0 || !(ep & 0x80) || !length) return QueuedRead::NotTaken;
    std::optional<Route> route = direct_route(dev, ep);
    if (!route || !route->async.complete()) return QueuedRead::NotTaken;
    std::shared_ptr<Session> session;  // made once the waker is armed; it outlives the waker
    // The waker fires with the interpreter lock held, and only this thread, holding it, sets `session`.
    StopWaker waker([&session] {
        if (session) session->request_stop();
    });
    nb::object stop_event = py::attr(self, obj::stop_thread);
    if (!waker.arm(stop_event)) return QueuedRead::NotTaken;  // nothing would wake it: poll instead
    session.reset(new Session(self.ptr(), std::move(*route), static_cast<int>(*length)), release_session);
    if (!session->ready()) return QueuedRead::NotTaken;
    Enrolment enrolled(session);
    // usb_clear withdraws the device before it withdraws the runs: a run enrolled after that
    // finds the device gone here and queues nothing.
    if (waker.fired() || !py::attr(self, obj::dev_handle).is(dev)) return QueuedRead::Ended;

    Teardown teardown(*session);
    std::vector<Completion> batch;
    batch.reserve(QUEUED);
    bool gather = false;
    int failure = 0;
    bool step_back = false;
    for (;;) {
        {
            nb::gil_scoped_release unlocked;
            deliver.end();
            gather = session->wait(batch, gather);
        }
        failure = hand_over(*session, batch, deliver);
        if (failure || session->stopping() || session->failure()) break;
        if (!still_direct(self, dev, stop_event, endpoint_name, ep, *session)) {
            step_back = true;
            break;
        }
    }
    deliver.end();
    teardown.reap();
    if (step_back) {
        // What completed before the cancellations is data read from the adapter: handed on too.
        session->take(batch);
        failure = hand_over(*session, batch, deliver);
        deliver.end();
    }
    if (!failure) failure = session->failure();
    if (failure) session->route().check(failure);  // raises pyusb's exception for this code
    return QueuedRead::Ended;
}

void wake_queued_reads(nb::handle self) {
    for (auto& s : runs_of(self)) s->request_stop();
}

void withdraw_queued_reads(nb::handle self) {
    auto found = runs_of(self);
    if (found.empty()) return;
    nb::gil_scoped_release unlocked;
    for (auto& s : found) {
        s->request_stop();
        s->cancel_and_reap();
    }
}

}  // namespace fdh::device
