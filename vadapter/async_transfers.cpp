#include "async_transfers.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/thread_slice.hpp"
#include "event_handling.hpp"
#include "registry.hpp"

namespace vad {
namespace {

// One submitted transfer. What the engine needs of the libusb_transfer is copied at submission,
// so the engine thread reads nothing the caller might touch.
struct Flight {
    libusb_transfer* transfer;
    std::shared_ptr<Handle> handle;
    unsigned char type;
    std::uint8_t endpoint;
    unsigned char* buffer;
    int length;
    Ps deadline;
    bool cancel = false;
    bool posted = false;  // finished, waiting for event handling
    bool begun = false;
    bool timed_by_host = false;
    Adapter::Start start;
};

using QueueKey = std::pair<const VirtualDevice*, std::uint8_t>;

struct Engine {
    std::mutex mu;  // flights and queues; taken before any adapter's lock
    std::unordered_map<libusb_transfer*, std::unique_ptr<Flight>> flights;
    std::map<QueueKey, std::deque<Flight*>> queues;
    std::atomic<long> queued{0};

    // Completions of the current pass, handed to event handling once the pass has let go of `mu`: a
    // handler woken by one then retires it without waiting for the rest of the pass. A free takes
    // `post_mu` before it forgets a transfer, so a completion on its way is never posted after that.
    struct Posting {
        libusb_transfer* transfer;
        libusb_transfer_status status;
        int done;
    };
    std::vector<Posting> postings;  // under mu
    std::mutex post_mu;

    // The wake-up of the engine thread; adapters signal it while holding their own lock.
    std::mutex kick_mu;
    std::condition_variable kick_cv;
    bool kicked = false;
    std::once_flag started;
};

Engine& engine() {
    static Engine* e = new Engine;  // the thread runs until the process ends
    return *e;
}

libusb_transfer_status status_of(int r) {
    switch (r) {
        case 0: return LIBUSB_TRANSFER_COMPLETED;
        case LIBUSB_ERROR_TIMEOUT: return LIBUSB_TRANSFER_TIMED_OUT;
        case LIBUSB_ERROR_PIPE: return LIBUSB_TRANSFER_STALL;
        case LIBUSB_ERROR_NO_DEVICE: return LIBUSB_TRANSFER_NO_DEVICE;
        case LIBUSB_ERROR_OVERFLOW: return LIBUSB_TRANSFER_OVERFLOW;
        default: return LIBUSB_TRANSFER_ERROR;
    }
}

void kick(Engine& e) {
    std::lock_guard lk(e.kick_mu);
    e.kicked = true;
    e.kick_cv.notify_one();
}

// Engine lock held. A control request is answered at once; a bulk transfer moves what it can.
int run(Flight& f, int& done, Ps& wake) {
    if (f.type == LIBUSB_TRANSFER_TYPE_CONTROL) {
        // The buffer starts with the 8-byte setup packet, little-endian.
        const unsigned char* b = f.buffer;
        libusb_control_setup s{};
        s.bmRequestType = b[0];
        s.bRequest = b[1];
        s.wValue = static_cast<std::uint16_t>(b[2] | b[3] << 8);
        s.wIndex = static_cast<std::uint16_t>(b[4] | b[5] << 8);
        s.wLength = static_cast<std::uint16_t>(
            std::min(b[6] | b[7] << 8, f.length - static_cast<int>(LIBUSB_CONTROL_SETUP_SIZE)));
        const int r = Registry::get().control(f.transfer->dev_handle, s, f.buffer + LIBUSB_CONTROL_SETUP_SIZE);
        done = std::max(r, 0);
        return std::min(r, 0);
    }
    const auto& adapter = f.handle->dev->adapter;
    if (!adapter) {  // another device's endpoint: nothing ever comes
        wake = NEVER;
        return Registry::get().check_open(f.transfer->dev_handle) ? LIBUSB_ERROR_NO_DEVICE : Adapter::PENDING;
    }
    if (!f.begun) {
        f.begun = true;
        f.start = adapter->begin(f.endpoint, f.length, f.handle->closed);
        if (f.start.result) return f.start.result;
        f.start.timed_by_host = f.timed_by_host;
    }
    return adapter->attempt(f.endpoint, f.buffer, f.length, f.start, &done, f.deadline, f.handle->closed, wake);
}

void post(Engine& e, Flight& f, libusb_transfer_status status, int done) {
    f.posted = true;
    --e.queued;
    e.postings.push_back({f.transfer, status, done});
}

// Engine lock held. Moves every queue as far as it can; returns the next moment worth a look.
Ps pass(Engine& e) {
    Ps next = NEVER;
    for (auto it = e.queues.begin(); it != e.queues.end();) {
        auto& q = it->second;
        // A closed handle takes its transfers with it, without completions, as libusb_close does.
        std::erase_if(q, [&](Flight* f) {
            if (!f->handle->closed) return false;
            --e.queued;
            e.flights.erase(f->transfer);
            return true;
        });
        std::erase_if(q, [&](Flight* f) {
            if (f->cancel) post(e, *f, LIBUSB_TRANSFER_CANCELLED, 0);
            return f->cancel;
        });
        // The transfer at the head moves data; the ones behind it wait their turn.
        while (!q.empty()) {
            Flight& f = *q.front();
            int done = 0;
            Ps wake = NEVER;
            const int r = run(f, done, wake);
            if (r == Adapter::PENDING) {
                next = std::min(next, wake);
                break;
            }
            post(e, f, status_of(r), done);
            q.pop_front();
        }
        // Time-outs count for every waiting transfer, not only the head.
        const Ps now = now_ps();
        std::erase_if(q, [&](Flight* f) {
            if (f->deadline > now) {
                next = std::min(next, f->deadline);
                return false;
            }
            const int r = f->begun && f->handle->dev->adapter
                              ? f->handle->dev->adapter->expire(f->endpoint, f->start)
                              : LIBUSB_ERROR_TIMEOUT;
            post(e, *f, status_of(r), 0);
            return true;
        });
        it = q.empty() ? e.queues.erase(it) : std::next(it);
    }
    return next;
}

void engine_thread() {
    pthread_setname_np(pthread_self(), "vadapter-usb");  // so tools and tests can tell it apart
    // A host controller's completions are not held up by other processes' time slices.
    fdh::ask_for_short_slices();
    Engine& e = engine();
    std::vector<Engine::Posting> batch;
    for (;;) {
        Ps next;
        {
            std::lock_guard lk(e.mu);
            next = pass(e);
            batch.swap(e.postings);
        }
        if (!batch.empty()) {
            std::lock_guard lk(e.post_mu);
            for (const auto& p : batch) events::post(p.transfer, p.status, p.done);
            batch.clear();
        }
        std::unique_lock lk(e.kick_mu);
        if (next == NEVER)
            e.kick_cv.wait(lk, [&] { return e.kicked; });
        else
            e.kick_cv.wait_until(lk, to_time_point(next), [&] { return e.kicked; });
        e.kicked = false;
    }
}

}  // namespace

libusb_transfer* alloc_transfer(int iso_packets) {
    if (iso_packets < 0) return nullptr;
    const std::size_t bytes = sizeof(libusb_transfer) + static_cast<std::size_t>(iso_packets) * sizeof(libusb_iso_packet_descriptor);
    auto* t = static_cast<libusb_transfer*>(std::calloc(1, bytes));
    if (t) t->num_iso_packets = iso_packets;
    return t;
}

void free_transfer(libusb_transfer* t) {
    if (!t) return;
    {
        // Freeing a transfer still in flight is the caller's error; at least forget it.
        Engine& e = engine();
        std::lock_guard lk(e.mu);
        const auto it = e.flights.find(t);
        if (it != e.flights.end()) {
            Flight* f = it->second.get();
            if (!f->posted) {
                --e.queued;
                const auto q = e.queues.find({f->handle->dev.get(), f->endpoint});
                if (q != e.queues.end()) std::erase(q->second, f);
            }
            e.flights.erase(it);
        }
    }
    {
        std::lock_guard lk(engine().post_mu);
        events::forget(t);
    }
    if (t->flags & LIBUSB_TRANSFER_FREE_BUFFER) std::free(t->buffer);
    std::free(t);
}

int submit_transfer(libusb_transfer* t, bool timed_by_host) {
    if (!t) return LIBUSB_ERROR_INVALID_PARAM;
    if (t->type == LIBUSB_TRANSFER_TYPE_ISOCHRONOUS || t->type == LIBUSB_TRANSFER_TYPE_BULK_STREAM)
        return LIBUSB_ERROR_NOT_SUPPORTED;  // the virtual devices have no such endpoints
    if (t->type > LIBUSB_TRANSFER_TYPE_INTERRUPT) return LIBUSB_ERROR_INVALID_PARAM;
    if (t->length < 0 || (t->length > 0 && !t->buffer)) return LIBUSB_ERROR_INVALID_PARAM;
    const bool control = t->type == LIBUSB_TRANSFER_TYPE_CONTROL;
    if (control && t->length < static_cast<int>(LIBUSB_CONTROL_SETUP_SIZE)) return LIBUSB_ERROR_INVALID_PARAM;
    Registry& reg = Registry::get();
    if (int err = reg.check_open(t->dev_handle)) return err;
    auto handle = reg.handle(t->dev_handle);
    if (!handle) return LIBUSB_ERROR_NO_DEVICE;
    if (!control && !handle->dev->endpoint(t->endpoint)) return LIBUSB_ERROR_NOT_FOUND;

    auto f = std::make_unique<Flight>();
    f->transfer = t;
    f->handle = std::move(handle);
    f->type = t->type;
    f->endpoint = control ? 0 : t->endpoint;
    f->buffer = t->buffer;
    f->length = t->length;
    f->deadline = t->timeout ? now_ps() + Ps{t->timeout} * PS_PER_MS : NEVER;
    f->timed_by_host = timed_by_host;
    Engine& e = engine();
    {
        std::lock_guard lk(e.mu);
        if (e.flights.count(t)) return LIBUSB_ERROR_BUSY;
        e.queues[{f->handle->dev.get(), f->endpoint}].push_back(f.get());
        e.flights.emplace(t, std::move(f));
        ++e.queued;
    }
    std::call_once(e.started, [] { std::thread(engine_thread).detach(); });
    kick(e);
    return 0;
}

int cancel_transfer(libusb_transfer* t) {
    Engine& e = engine();
    {
        std::lock_guard lk(e.mu);
        const auto it = e.flights.find(t);
        if (it == e.flights.end() || it->second->posted || it->second->cancel) return LIBUSB_ERROR_NOT_FOUND;
        it->second->cancel = true;
    }
    kick(e);
    return 0;
}

bool retire_transfer(libusb_transfer* t) {
    Engine& e = engine();
    std::lock_guard lk(e.mu);
    return e.flights.erase(t) > 0;
}

void device_changed() noexcept {
    Engine& e = engine();
    if (e.queued.load(std::memory_order_relaxed) > 0) kick(e);
}

}  // namespace vad
