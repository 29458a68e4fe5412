#include "adapter_model.hpp"

#include <algorithm>
#include <cstring>
#include <libusb.h>

#include "arbitration.hpp"
#include "async_transfers.hpp"
#include "constants.hpp"
#include "receive_container.hpp"

namespace vad {
namespace {

// 0x01, 0x02, 0x03, 0x81, 0x82, 0x83 -> 0..5; anything else -1.
int ep_index(std::uint8_t ep) noexcept {
    const int n = ep & 0x7F;
    if (n < 1 || n > 3 || (ep & 0x70)) return -1;
    return (ep & 0x80 ? 3 : 0) + n - 1;
}

}  // namespace

Adapter::Adapter(const AdapterConfig& cfg, std::shared_ptr<CanBus> bus)
    : bus_(std::move(bus)), mu_(bus_->mutex()), cfg_(cfg), serial_(cfg.serial) {
    std::lock_guard lk(mu_);
    const Ps now = now_ps();
    capturing_ = cfg.capture;
    nominal_bps_ = cfg.nominal_bps;
    data_bps_ = cfg.data_bps;
    fd_mode_ = cfg.fd;
    times_ = {bit_time_from_rate(cfg.nominal_bps), bit_time_from_rate(cfg.data_bps)};
    worst_stuffing_ = cfg.worst_stuffing;
    if (cfg.gen.enabled) gen_ = Generator(cfg.gen, now);
    for (EventLog& log : logs_) log.resize(cfg.log_entries);
    for (const Fault& f : cfg.faults) add_fault_locked(f);
    cfg_.faults.clear();
    // Frames other nodes finished before it was plugged in are none of its business.
    bus_->advance(now);
    if (!unplugged_) port_ = bus_->attach(*this);
}

Adapter::~Adapter() {
    std::lock_guard lk(mu_);
    leave_bus();
}

// ---------------------------------------------------------------- state helpers (mu_ held)

int Adapter::alive(Ps now, const std::atomic<bool>& closed) {
    if (gone_ || closed.load(std::memory_order_relaxed)) return LIBUSB_ERROR_NO_DEVICE;
    if (!unplugged_ && now >= unplug_at_) unplug_now();
    return unplugged_ ? LIBUSB_ERROR_NO_DEVICE : 0;
}

void Adapter::unplug_now() {
    leave_bus();  // without power it is no node on the CAN bus either
    unplugged_ = true;
    c_.unplugged = 1;
    notify_all();
}

void Adapter::notify_all() {
    for (auto& cv : in_cv_) cv.notify_all();
    out_cv_.notify_all();
    device_changed();
}

void Adapter::wake_waiters(std::condition_variable& cv) {
    cv.notify_all();
    device_changed();
}

void Adapter::wait(Lock& lk, std::condition_variable& cv, Ps until) {
    until = std::min(until, unplug_at_);
    if (until == NEVER)
        cv.wait(lk);
    else
        cv.wait_until(lk, to_time_point(until));
}

std::condition_variable& Adapter::cv_for(std::uint8_t ep) {
    return ep & 0x80 ? in_cv_[(ep & 0x7F) - 1] : out_cv_;
}

void Adapter::add_fault_locked(const Fault& f) {
    if (f.kind == FaultKind::NoSerial) {
        has_serial_ = false;
    } else if (f.kind == FaultKind::Unplug) {
        if (f.after < 0 && f.ms < 0) {
            unplug_now();
        } else {
            if (f.after >= 0) transfers_left_ = f.after;
            if (f.ms >= 0) unplug_at_ = now_ps() + f.ms * PS_PER_MS;
            notify_all();
        }
    } else {
        faults_.add(f);
    }
}

// ---------------------------------------------------------------- USB side

int Adapter::transfer(std::uint8_t ep, std::uint8_t* buf, int len, int* transferred, unsigned timeout_ms,
                      const std::atomic<bool>& closed) {
    *transferred = 0;
    if (ep_index(ep) < 0) return LIBUSB_ERROR_NOT_FOUND;
    if (len < 0 || (len > 0 && !buf)) return LIBUSB_ERROR_INVALID_PARAM;

    Lock lk(mu_);
    const Ps start = now_ps();
    const Ps deadline = timeout_ms == 0 ? NEVER : start + Ps{timeout_ms} * PS_PER_MS;
    const Start s = begin_locked(ep, len, start, closed);
    if (s.result) return s.result;
    for (;;) {
        const Ps now = now_ps();
        Ps wake = NEVER;
        const int r = attempt_locked(ep, buf, len, s, transferred, now, deadline, closed, wake);
        if (r != NOTHING) return r;
        if (now >= deadline) return expire_locked(ep, s);
        wait(lk, cv_for(ep), std::min(deadline, wake));
    }
}

Adapter::Start Adapter::begin(std::uint8_t ep, int len, const std::atomic<bool>& closed) {
    if (ep_index(ep) < 0) return Start{LIBUSB_ERROR_NOT_FOUND};
    if (len < 0) return Start{LIBUSB_ERROR_INVALID_PARAM};
    Lock lk(mu_);
    return begin_locked(ep, len, now_ps(), closed);
}

int Adapter::attempt(std::uint8_t ep, std::uint8_t* buf, int len, const Start& s, int* transferred, Ps deadline,
                     const std::atomic<bool>& closed, Ps& wake) {
    Lock lk(mu_);
    return attempt_locked(ep, buf, len, s, transferred, now_ps(), deadline, closed, wake);
}

int Adapter::expire(std::uint8_t ep, const Start& s) {
    Lock lk(mu_);
    return expire_locked(ep, s);
}

Adapter::Start Adapter::begin_locked(std::uint8_t ep, int len, Ps now, const std::atomic<bool>& closed) {
    Start s;
    if ((s.result = alive(now, closed))) return s;
    ++c_.transfers;
    if (transfers_left_ == 0) {
        unplug_now();
        s.result = LIBUSB_ERROR_NO_DEVICE;
        return s;
    }
    if (transfers_left_ > 0) --transfers_left_;

    const auto idx = static_cast<std::size_t>(ep_index(ep));
    const FaultMatch m{ep, -1, -1};
    if (halted_[idx]) {
        s.result = LIBUSB_ERROR_PIPE;
    } else if (auto f = faults_.fire(FaultKind::Halt, m)) {
        halted_[idx] = true;
        s.result = f->code;
    } else if (auto stall = faults_.fire(FaultKind::Stall, m)) {
        s.result = stall->code;
    } else if (auto timeout = faults_.fire(FaultKind::Timeout, m)) {
        s.frozen = true;  // nothing moves: the transfer just runs out its time
        s.timeout_code = timeout->code;
    } else if (auto late = faults_.fire(FaultKind::Late, m)) {
        s.late = true;
        s.timeout_code = late->code;
    } else if (!(ep & 0x80)) {
        if (auto f = faults_.fire(FaultKind::Short, m))
            s.out_length = f->bytes >= 0 ? static_cast<int>(std::min<long long>(len, f->bytes)) : std::max(0, len - 1);
    }
    if (s.result) finish(s.result);
    else c_.faults_fired = faults_.fired();
    return s;
}

int Adapter::attempt_locked(std::uint8_t ep, std::uint8_t* buf, int len, const Start& s, int* transferred, Ps now,
                            Ps deadline, const std::atomic<bool>& closed, Ps& wake) {
    wake = NEVER;
    if (int e = alive(now, closed)) return finish(e);
    int r = NOTHING;
    // A time-out fault holds the transfer until its time is up; one without a time-out (a queued read)
    // has no time to run out, so the adapter merely answers it as usual instead of holding it for ever,
    // unless the time-out is kept by the host beyond the library, which then cancels it.
    if (s.frozen && (deadline != NEVER || s.timed_by_host))
        r = NOTHING;
    else if (ep == fdh::WINUSB_IN_EP)
        r = read_rx(buf, len, transferred, now, wake);
    else if (ep & 0x80)
        r = pop_queued(in_queue_[(ep & 0x7F) - 1], buf, len, transferred);
    else  // a short write hands the adapter only the bytes it reports
        r = write_out(ep, buf, s.out_length >= 0 ? s.out_length : len, transferred, now, deadline, wake);
    if (r == 0 && s.late) r = s.timeout_code;  // the data moved all the same
    if (r != NOTHING) return finish(r);
    wake = std::min(wake, unplug_at_);
    return NOTHING;
}

int Adapter::expire_locked(std::uint8_t ep, const Start& s) {
    if (ep & 0x80) ++c_.read_timeouts;
    else if (!s.frozen) ++c_.tx_queue_full;  // only writes to 0x03 wait, for room on the bus
    return finish(s.frozen ? s.timeout_code : LIBUSB_ERROR_TIMEOUT);
}

int Adapter::finish(int result) {
    c_.faults_fired = faults_.fired();
    // The last transfer allowed before a planned unplug completes; then the adapter is gone.
    if (transfers_left_ == 0 && !unplugged_) unplug_now();
    return result;
}

int Adapter::pop_queued(std::deque<std::vector<std::uint8_t>>& q, std::uint8_t* buf, int len, int* transferred) {
    if (q.empty()) return NOTHING;
    const std::vector<std::uint8_t> item = std::move(q.front());
    q.pop_front();
    // A device sending more than was asked for babbles: the transfer fails and the data is lost.
    if (item.size() > static_cast<std::size_t>(len)) return LIBUSB_ERROR_OVERFLOW;
    if (!item.empty()) std::memcpy(buf, item.data(), item.size());
    *transferred = static_cast<int>(item.size());
    return 0;
}

int Adapter::read_rx(std::uint8_t* buf, int len, int* transferred, Ps now, Ps& wake) {
    if (!in_queue_[0].empty()) {
        ++c_.rx_raw;
        return pop_queued(in_queue_[0], buf, len, transferred);
    }
    advance(now);
    const Ps flush = cfg_.flush_us * PS_PER_US;
    const std::size_t limit = std::min<std::size_t>(static_cast<std::size_t>(len), fdh::RX_LENGTH);
    // Frames wait until the oldest has been held flush_us; then all of them go in one container.
    const bool ready = !fifo_.empty() && fifo_.front().done + flush <= now;
    std::size_t n = 0;
    std::size_t bytes = CONTAINER_OVERHEAD;
    while (ready && n < fifo_.size()) {
        const std::size_t s = record_size(fifo_[n]);
        if (bytes + s > limit) break;
        bytes += s;
        ++n;
    }
    if (n == 0 && ready) return LIBUSB_ERROR_OVERFLOW;  // not even one record fits the read
    const bool damage = faults_.rx_due();
    if (n == 0 && !damage) {
        wake = rx_wake_time();
        return NOTHING;
    }

    std::vector<std::uint8_t> records;
    records.reserve(bytes);
    if (n == 0) append_rx_record(records, filler_frame(now));
    for (std::size_t i = 0; i < n; ++i) append_rx_record(records, fifo_[i]);
    fifo_.erase(fifo_.begin(), fifo_.begin() + static_cast<std::ptrdiff_t>(n));
    c_.rx_frames += static_cast<std::int64_t>(n);
    ++c_.rx_containers;

    const auto fault = faults_.fire_rx();
    const std::vector<std::uint8_t> c = fault ? damaged_container(std::move(records), *fault)
                                              : fdh::make_container(records);
    if (c.size() > static_cast<std::size_t>(len)) return LIBUSB_ERROR_OVERFLOW;
    std::memcpy(buf, c.data(), c.size());
    *transferred = static_cast<int>(c.size());
    return 0;
}

Ps Adapter::rx_wake_time() const {
    const Ps flush = cfg_.flush_us * PS_PER_US;
    if (!fifo_.empty()) return fifo_.front().done + flush;
    // Frames finishing while capture is off are dropped, so they are no reason to wake up.
    if (!capturing_) return NEVER;
    const Ps t = bus_->next_completion();
    return t == NEVER ? NEVER : t + flush;
}

int Adapter::write_out(std::uint8_t ep, const std::uint8_t* buf, int len, int* transferred, Ps now, Ps deadline,
                       Ps& wake) {
    const std::span<const std::uint8_t> data(buf, static_cast<std::size_t>(len));
    if (ep == fdh::WINUSB_OUT_EP) {
        heartbeat(data);
    } else if (ep == fdh::CONTROL_OUT_EP) {
        command(data, now);
    } else if (int r = transmit(data, now, deadline, wake)) {
        return r;
    }
    *transferred = len;
    return 0;
}

int Adapter::clear_halt(std::uint8_t ep) {
    const int idx = ep_index(ep);
    if (idx < 0) return LIBUSB_ERROR_NOT_FOUND;
    std::lock_guard lk(mu_);
    if (gone_ || unplugged_) return LIBUSB_ERROR_NO_DEVICE;
    if (auto f = faults_.fire(FaultKind::ClearHalt, FaultMatch{ep, -1, -1})) {
        c_.faults_fired = faults_.fired();
        return f->code;
    }
    halted_[static_cast<std::size_t>(idx)] = false;
    return 0;
}

int Adapter::set_halt(std::uint8_t ep) {
    const int idx = ep_index(ep);
    if (idx < 0) return LIBUSB_ERROR_PIPE;
    std::lock_guard lk(mu_);
    if (gone_ || unplugged_) return LIBUSB_ERROR_NO_DEVICE;
    halted_[static_cast<std::size_t>(idx)] = true;
    return 0;
}

bool Adapter::halted(std::uint8_t ep) {
    const int idx = ep_index(ep);
    std::lock_guard lk(mu_);
    return idx >= 0 && halted_[static_cast<std::size_t>(idx)];
}

void Adapter::reset_endpoints() {
    std::lock_guard lk(mu_);
    halted_.fill(false);
    in_queue_[1].clear();
}

int Adapter::device_fault(FaultKind kind, const FaultMatch& m) {
    std::lock_guard lk(mu_);
    auto f = faults_.fire(kind, m);
    c_.faults_fired = faults_.fired();
    return f ? f->code : 0;
}

bool Adapter::present() {
    std::lock_guard lk(mu_);
    if (!unplugged_ && now_ps() >= unplug_at_) unplug_now();
    return !gone_ && !unplugged_;
}

bool Adapter::has_serial() {
    std::lock_guard lk(mu_);
    return has_serial_;
}

void Adapter::retire() {
    std::lock_guard lk(mu_);
    leave_bus();
    gone_ = true;
    notify_all();
}

void Adapter::wake_all() {
    std::lock_guard lk(mu_);
    notify_all();
}

// ---------------------------------------------------------------- the bus behind the adapter

void Adapter::advance(Ps now) {
    bus_->advance(now);
    // A frame nobody acknowledges is retried by the controller, each try an error: within a few
    // tries it is error passive, where acknowledgement errors count no further. Counted once per
    // frame, looked for at most once a millisecond (a sender writing back to back looks often).
    if (port_ < 0 || ack_error_noted_ || now < next_ack_check_) return;
    next_ack_check_ = now + PS_PER_MS;
    if (bus_->queued(port_) > 0 && bus_->unacknowledged(port_, now)) {
        ack_error_noted_ = true;
        ++c_.tx_ack_errors;
        tec_ = std::max(tec_, 128);
    }
}

void Adapter::leave_bus() {
    bus_->detach(port_);
    port_ = -1;
}

void Adapter::on_frame(const BusFrame& f, Ps end, bool sender, const BitTimes& tx) {
    if (!sender && bus_->strict() && !hears(times_, fd_mode_, f, tx)) {
        // Another bit timing, or an FD frame in classic mode: what it sees is errors, not a frame
        // (counted as by the controller that detects the error first).
        ++c_.rx_errors;
        rec_ = std::min(rec_ + 8, 128);
        return;
    }
    ++c_.bus_frames;
    if (f.origin == Origin::Generator) ++c_.gen_frames;
    if (sender) wake_waiters(out_cv_);  // room in its transmit queue
    if (sender && f.origin == Origin::Host) {
        ++c_.tx_sent;
        ack_error_noted_ = false;
        tec_ = std::max(tec_ - 1, 0);
        if (cfg_.echo) capture(f, end, true);
        if (cfg_.loopback) capture(f, end, false);
    } else {
        if (!sender) rec_ = rec_ > 127 ? 127 : std::max(rec_ - 1, 0);
        capture(f, end, false);  // another node's frame, or one put on the bus from outside
    }
}

void Adapter::on_arbitration_lost() { ++c_.tx_arbitration_lost; }

void Adapter::on_frames_lost(std::uint64_t count) {
    // Its process fell so far behind a shared bus that the frames were gone: as good as a full FIFO.
    (capturing_ ? c_.rx_overflow : c_.rx_dropped) += static_cast<std::int64_t>(count);
}

void Adapter::on_bus_changed() {
    // Readers recompute when the next frame is due; writers look for room again.
    wake_waiters(in_cv_[0]);
    wake_waiters(out_cv_);
}

void Adapter::capture(const BusFrame& f, Ps end, bool dir) {
    if (!capturing_) {
        ++c_.rx_dropped;
    } else if (fifo_.size() >= cfg_.rxbuf) {
        ++c_.rx_overflow;
    } else {
        fifo_.push_back(RxFrame{f, end, dir});
    }
}

}  // namespace vad
