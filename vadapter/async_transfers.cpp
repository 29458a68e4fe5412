#include "async_transfers.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>

#include "registry.hpp"

namespace vad {
namespace {

struct Pending {
    libusb_transfer* transfer;
    bool cancelled;
};

struct Queue {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<Pending> items;
    unsigned interrupts = 0;
};

Queue& queue() {
    static Queue* q = new Queue;  // outlives any thread still handling events at exit
    return *q;
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

void run(libusb_transfer* t) {
    int r = 0;
    int done = 0;
    if (t->type == LIBUSB_TRANSFER_TYPE_CONTROL) {
        // The buffer starts with the 8-byte setup packet, little-endian.
        const unsigned char* b = t->buffer;
        libusb_control_setup s{};
        s.bmRequestType = b[0];
        s.bRequest = b[1];
        s.wValue = static_cast<std::uint16_t>(b[2] | b[3] << 8);
        s.wIndex = static_cast<std::uint16_t>(b[4] | b[5] << 8);
        s.wLength = static_cast<std::uint16_t>(b[6] | b[7] << 8);
        s.wLength = static_cast<std::uint16_t>(std::min<int>(s.wLength, t->length - LIBUSB_CONTROL_SETUP_SIZE));
        r = Registry::get().control(t->dev_handle, s, t->buffer + LIBUSB_CONTROL_SETUP_SIZE);
        if (r >= 0) {
            done = r;
            r = 0;
        }
    } else {
        r = Registry::get().bulk(t->dev_handle, t->endpoint, t->buffer, t->length, &done, t->timeout);
    }
    t->actual_length = done;
    t->status = status_of(r);
    if (t->status == LIBUSB_TRANSFER_COMPLETED && (t->flags & LIBUSB_TRANSFER_SHORT_NOT_OK) &&
        done < t->length - (t->type == LIBUSB_TRANSFER_TYPE_CONTROL ? static_cast<int>(LIBUSB_CONTROL_SETUP_SIZE) : 0))
        t->status = LIBUSB_TRANSFER_ERROR;
}

void finish(libusb_transfer* t) {
    const bool free_after = t->flags & LIBUSB_TRANSFER_FREE_TRANSFER;
    if (t->callback) t->callback(t);
    if (free_after) free_transfer(t);
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
        Queue& q = queue();
        std::lock_guard lk(q.mu);
        std::erase_if(q.items, [t](const Pending& p) { return p.transfer == t; });
    }
    if (t->flags & LIBUSB_TRANSFER_FREE_BUFFER) std::free(t->buffer);
    std::free(t);
}

int submit_transfer(libusb_transfer* t) {
    if (!t) return LIBUSB_ERROR_INVALID_PARAM;
    if (t->type == LIBUSB_TRANSFER_TYPE_ISOCHRONOUS || t->type == LIBUSB_TRANSFER_TYPE_BULK_STREAM)
        return LIBUSB_ERROR_NOT_SUPPORTED;  // the virtual devices have only bulk endpoints
    if (t->length < 0 || (t->length > 0 && !t->buffer)) return LIBUSB_ERROR_INVALID_PARAM;
    if (t->type == LIBUSB_TRANSFER_TYPE_CONTROL && t->length < static_cast<int>(LIBUSB_CONTROL_SETUP_SIZE))
        return LIBUSB_ERROR_INVALID_PARAM;
    if (int e = Registry::get().check_open(t->dev_handle)) return e;
    Queue& q = queue();
    std::lock_guard lk(q.mu);
    for (const Pending& p : q.items)
        if (p.transfer == t) return LIBUSB_ERROR_BUSY;
    q.items.push_back({t, false});
    q.cv.notify_all();
    return 0;
}

int cancel_transfer(libusb_transfer* t) {
    Queue& q = queue();
    std::lock_guard lk(q.mu);
    for (Pending& p : q.items)
        if (p.transfer == t && !p.cancelled) {
            p.cancelled = true;
            q.cv.notify_all();
            return 0;
        }
    return LIBUSB_ERROR_NOT_FOUND;
}

int handle_events(const timeval* tv, int* completed) {
    Queue& q = queue();
    const auto wait = tv ? std::chrono::seconds(tv->tv_sec) + std::chrono::microseconds(tv->tv_usec)
                         : std::chrono::microseconds(std::chrono::seconds(60));
    std::deque<Pending> batch;
    {
        std::unique_lock lk(q.mu);
        const unsigned interrupts = q.interrupts;
        q.cv.wait_for(lk, wait, [&] {
            return !q.items.empty() || q.interrupts != interrupts || (completed && *completed);
        });
        batch.swap(q.items);
    }
    for (Pending& p : batch) {
        if (p.cancelled) {
            p.transfer->status = LIBUSB_TRANSFER_CANCELLED;
            p.transfer->actual_length = 0;
        } else {
            run(p.transfer);
        }
        finish(p.transfer);
    }
    return 0;
}

void interrupt_event_handler() {
    Queue& q = queue();
    std::lock_guard lk(q.mu);
    ++q.interrupts;
    q.cv.notify_all();
}

}  // namespace vad
