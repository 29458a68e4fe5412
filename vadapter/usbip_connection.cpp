#include "usbip_connection.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "async_transfers.hpp"

namespace vad::usbip {
namespace {

constexpr std::size_t kSetupSize = LIBUSB_CONTROL_SETUP_SIZE;
constexpr std::size_t kMaxUnlinks = 16;  // CMD_UNLINKs of one URB; vhci-hcd sends one

// A finished transfer as a host controller reports the URB: the status the kernel would see.
std::int32_t urb_status(int transfer_status) {
    switch (transfer_status) {
        case LIBUSB_TRANSFER_COMPLETED: return 0;
        case LIBUSB_TRANSFER_STALL: return -EPIPE;
        case LIBUSB_TRANSFER_NO_DEVICE: return -ENODEV;
        case LIBUSB_TRANSFER_TIMED_OUT: return -ETIMEDOUT;
        case LIBUSB_TRANSFER_OVERFLOW: return -EOVERFLOW;  // the device babbled
        case LIBUSB_TRANSFER_CANCELLED: return -ECONNRESET;
        default: return -EPROTO;                            // a transaction error
    }
}

// A transfer the model refused at once.
std::int32_t refusal_status(int libusb_error) {
    switch (libusb_error) {
        case LIBUSB_ERROR_NO_DEVICE: return -ENODEV;
        case LIBUSB_ERROR_NOT_FOUND: return -EPIPE;  // no such endpoint: the device stalls
        default: return -EINVAL;
    }
}

void LIBUSB_CALL urb_done(libusb_transfer* t) {
    auto* u = static_cast<Urb*>(t->user_data);
    u->queue->post(u);
}

// A bus id as the peer sent it, fit for a log line.
std::string printable(const std::string& s) {
    std::string out;
    for (const unsigned char c : s) out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    return out;
}

}  // namespace

// ---------------------------------------------------------------- completions

CompletionQueue::CompletionQueue() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void CompletionQueue::post(Urb* u) {
    std::lock_guard lk(mu_);
    done_.push_back(u);
    const std::uint64_t one = 1;
    while (write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

std::vector<Urb*> CompletionQueue::take() {
    std::vector<Urb*> out;
    std::lock_guard lk(mu_);
    out.swap(done_);
    std::uint64_t count = 0;
    while (read(fd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
    return out;
}

// ---------------------------------------------------------------- connection

Connection::Connection(int fd, std::uint64_t id, Exports& exports, CompletionQueue& completions)
    : id_(id), fd_(fd), exports_(exports), completions_(completions) {
    const auto now = Clock::now();
    deadline_ = now + REQUEST_TIME;
    last_write_ = now;
    next_presence_ = now;
}

Connection::~Connection() {
    if (fd_ >= 0) close(fd_);
}

bool Connection::can_take_more() const noexcept {
    return out_bytes_ < OUTPUT_HIGH && in_flight_.size() < MAX_URBS && urb_bytes_ + MAX_TRANSFER <= MAX_URB_BYTES;
}

bool Connection::wants_read() const noexcept {
    return fd_ >= 0 && (phase_ == Phase::Request || phase_ == Phase::Imported) && can_take_more();
}

void Connection::readable() {
    if (!wants_read()) return;
    std::uint8_t buf[64 * 1024];
    const ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) drop(std::strerror(errno));
        return;
    }
    if (n == 0) {
        // The importing host detached the device (or a listing peer went away).
        drop(phase_ == Phase::Imported ? "detached by the host" : "closed by the peer");
        return;
    }
    decoder_.feed({buf, static_cast<std::size_t>(n)});
    process();
}

void Connection::process() {
    while ((phase_ == Phase::Request || phase_ == Phase::Imported) && can_take_more()) {
        Message m = decoder_.next();
        if (std::holds_alternative<std::monostate>(m)) break;
        handle(std::move(m));
    }
}

void Connection::handle(Message m) {
    if (std::holds_alternative<DevlistRequest>(m)) {
        queue(devlist_reply(exports_.device_list()));
        phase_ = Phase::Closing;  // the peer has its list; the connection ends
    } else if (auto* r = std::get_if<ImportRequest>(&m)) {
        import(*r);
    } else if (auto* s = std::get_if<Submit>(&m)) {
        submit(std::move(*s));
    } else if (auto* u = std::get_if<Unlink>(&m)) {
        unlink(*u);
    } else if (auto* v = std::get_if<Violation>(&m)) {
        drop("protocol violation: " + v->reason);
    }
}

void Connection::import(const ImportRequest& r) {
    ExportedDevice* e = exports_.find(r.busid);
    if (!e || e->imported() || !e->import()) {
        std::fprintf(stderr, "fdhost-usbip: import of %s refused (%s)\n", printable(r.busid).c_str(),
                     !e ? "no such device" : e->imported() ? "already imported" : "the model has no device");
        queue(import_reply(nullptr));
        phase_ = Phase::Closing;
        return;
    }
    export_ = e;
    const Device d = e->describe();
    queue(import_reply(&d));
    decoder_.start_urbs();
    phase_ = Phase::Imported;
    next_presence_ = Clock::now() + PRESENCE_CHECK;
    std::fprintf(stderr, "fdhost-usbip: %s imported\n", e->busid().c_str());
}

void Connection::reply(const Submit& s, std::int32_t status) {
    queue(ret_submit(RetSubmit{s.seqnum, status, 0, s.number_of_packets, {}, {}}));
}

void Connection::submit(Submit s) {
    if (in_flight_.count(s.seqnum)) return drop("URB " + std::to_string(s.seqnum) + " submitted while in flight");
    if (s.iso_requested()) {
        // No endpoint here is isochronous: refused as a host controller refuses a wrong transfer type.
        std::vector<IsoPacket> packets = s.iso;
        for (IsoPacket& p : packets) p = IsoPacket{p.offset, p.length, 0, -EINVAL};
        queue(ret_submit(RetSubmit{s.seqnum, -EINVAL, 0, s.number_of_packets, {}, packets}));
        return;
    }
    auto u = std::make_unique<Urb>();
    u->owner = this;
    u->queue = &completions_;
    u->seqnum = s.seqnum;
    u->flags = s.flags;
    u->number_of_packets = s.number_of_packets;
    u->in = s.in();
    u->control = s.ep == 0;
    unsigned char type = LIBUSB_TRANSFER_TYPE_CONTROL;
    if (u->control) {
        // The setup packet's direction must be the URB's, or data would flow the wrong way.
        if (((s.setup[0] & LIBUSB_ENDPOINT_IN) != 0) != s.in()) return reply(s, -EPIPE);
        u->buffer.assign(s.setup.begin(), s.setup.end());
        if (s.in()) u->buffer.resize(kSetupSize + s.length);
        else u->buffer.insert(u->buffer.end(), s.data.begin(), s.data.end());
    } else {
        const EndpointLayout* ep = export_->device().endpoint(s.endpoint());
        if (!ep) return reply(s, -EPIPE);
        type = ep->attributes & 3;  // bulk or interrupt
        if (s.in()) u->buffer.resize(s.length);
        else u->buffer = std::move(s.data);
    }
    libusb_transfer* t = alloc_transfer(0);
    if (!t) return drop("out of memory");
    t->dev_handle = export_->handle();
    t->endpoint = u->control ? 0 : s.endpoint();
    t->type = type;
    t->timeout = 0;  // the host keeps the time-out and unlinks the URB when it runs out
    t->buffer = u->buffer.data();
    t->length = static_cast<int>(u->buffer.size());
    t->callback = urb_done;
    t->user_data = u.get();
    u->transfer = t;
    if (const int r = submit_transfer(t, /*timed_by_host=*/true)) {
        free_transfer(t);
        reply(s, refusal_status(r));
        if (r == LIBUSB_ERROR_NO_DEVICE) unplugged();
        return;
    }
    urb_bytes_ += u->buffer.size();
    in_flight_.emplace(s.seqnum, std::move(u));
}

void Connection::unlink(const Unlink& u) {
    const auto it = in_flight_.find(u.victim);
    if (it == in_flight_.end()) {
        // Answered already (its RET_SUBMIT went first), or never submitted.
        queue(ret_unlink(u.seqnum, 0));
        return;
    }
    Urb& victim = *it->second;
    if (victim.unlinks.size() >= kMaxUnlinks) return drop("one URB unlinked over and over");
    victim.unlinks.push_back(u.seqnum);
    // Cancelled, it ends as CANCELLED; already finished, it ends with its own result. Either way
    // its completion answers the unlink.
    if (victim.unlinks.size() == 1) cancel_transfer(victim.transfer);
}

void Connection::completed(Urb* u) {
    const auto it = in_flight_.find(u->seqnum);
    if (it == in_flight_.end() || it->second.get() != u) return;  // not ours: cannot happen
    libusb_transfer* t = u->transfer;
    const std::size_t offset = u->control ? kSetupSize : 0;
    const std::size_t asked = u->buffer.size() - offset;
    const auto actual = std::min<std::size_t>(static_cast<std::size_t>(std::max(t->actual_length, 0)), asked);
    if (phase_ == Phase::Imported || phase_ == Phase::Unplugging) {
        if (t->status == LIBUSB_TRANSFER_CANCELLED) {
            // Unlinked in time: the unlink answers it, and no RET_SUBMIT follows.
            for (const std::uint32_t seq : u->unlinks) queue(ret_unlink(seq, -ECONNRESET));
        } else {
            std::int32_t status = urb_status(t->status);
            if (status == 0 && u->in && (u->flags & URB_SHORT_NOT_OK) && actual < asked) status = -EREMOTEIO;
            const std::span<const std::uint8_t> data =
                u->in ? std::span<const std::uint8_t>(u->buffer.data() + offset, actual) : std::span<const std::uint8_t>();
            queue(ret_submit(RetSubmit{u->seqnum, status, static_cast<std::uint32_t>(actual), u->number_of_packets,
                                       data, {}}));
            for (const std::uint32_t seq : u->unlinks) queue(ret_unlink(seq, 0));
            if (t->status == LIBUSB_TRANSFER_NO_DEVICE) unplugged();
        }
    }
    free_transfer(t);
    urb_bytes_ -= u->buffer.size();
    in_flight_.erase(it);
    settle();
    process();  // requests held back by the limits
}

void Connection::unplugged() {
    if (phase_ != Phase::Imported) return;
    std::fprintf(stderr, "fdhost-usbip: %s unplugged by the model\n", export_->busid().c_str());
    phase_ = Phase::Unplugging;
    deadline_ = Clock::now() + UNPLUG_FLUSH;
    settle();
}

void Connection::drop(const std::string& why) {
    if (phase_ == Phase::Closed || phase_ == Phase::Done) return;
    if (export_) std::fprintf(stderr, "fdhost-usbip: %s connection ended: %s\n", export_->busid().c_str(), why.c_str());
    else if (phase_ != Phase::Closing) std::fprintf(stderr, "fdhost-usbip: connection ended: %s\n", why.c_str());
    close_socket();
    phase_ = Phase::Closed;
    // What is still in flight ends as CANCELLED (or with its own result); nothing is answered now.
    for (auto& [seq, u] : in_flight_) cancel_transfer(u->transfer);
    settle();
}

void Connection::close_socket() {
    if (fd_ < 0) return;
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    fd_ = -1;
    out_.clear();
    out_offset_ = 0;
    out_bytes_ = 0;
}

// Moves on to the next phase once the present one has nothing left to do.
void Connection::settle() {
    if ((phase_ == Phase::Closing || (phase_ == Phase::Unplugging && in_flight_.empty())) && out_bytes_ == 0) {
        close_socket();
        phase_ = Phase::Closed;
    }
    if (phase_ == Phase::Closed && in_flight_.empty()) {
        if (export_) export_->release();  // plugged in afresh for the next import
        export_ = nullptr;
        phase_ = Phase::Done;
    }
}

void Connection::queue(std::vector<std::uint8_t> bytes) {
    if (fd_ < 0 || bytes.empty()) return;
    if (out_bytes_ == 0) last_write_ = Clock::now();  // the stall clock starts with the first byte waiting
    out_bytes_ += bytes.size();
    out_.push_back(std::move(bytes));
}

void Connection::flush() {
    while (fd_ >= 0 && !out_.empty()) {
        iovec iov[64];
        int n = 0;
        std::size_t offset = out_offset_;
        for (auto it = out_.begin(); it != out_.end() && n < 64; ++it, offset = 0)
            iov[n++] = iovec{it->data() + offset, it->size() - offset};
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<std::size_t>(n);
        const ssize_t sent = sendmsg(fd_, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) drop(std::strerror(errno));
            break;
        }
        last_write_ = Clock::now();
        out_bytes_ -= static_cast<std::size_t>(sent);
        auto left = static_cast<std::size_t>(sent);
        while (left > 0) {
            const std::size_t rest = out_.front().size() - out_offset_;
            if (left < rest) {
                out_offset_ += left;
                break;
            }
            left -= rest;
            out_.pop_front();
            out_offset_ = 0;
        }
        process();  // requests held back while the replies piled up
    }
    settle();
}

void Connection::writable() { flush(); }

void Connection::tick(Clock::time_point now) {
    if (fd_ >= 0 && out_bytes_ > 0 && now - last_write_ >= WRITE_STALL) return drop("the peer takes no replies");
    if ((phase_ == Phase::Request || phase_ == Phase::Unplugging) && now >= deadline_)
        return drop(phase_ == Phase::Request ? "no request in time" : "the unplugged device's replies were not taken");
    if (phase_ == Phase::Imported && now >= next_presence_) {
        next_presence_ = now + PRESENCE_CHECK;
        if (!export_->present()) unplugged();
    }
}

Clock::time_point Connection::next_deadline() const {
    auto t = Clock::time_point::max();
    if (fd_ >= 0 && out_bytes_ > 0) t = std::min(t, last_write_ + WRITE_STALL);
    if (phase_ == Phase::Request || phase_ == Phase::Unplugging) t = std::min(t, deadline_);
    if (phase_ == Phase::Imported) t = std::min(t, next_presence_);
    return t;
}

}  // namespace vad::usbip
