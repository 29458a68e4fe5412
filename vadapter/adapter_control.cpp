// The control side of an adapter: run-time settings, faults, injected traffic, counters and logs.
#include <algorithm>
#include <cstring>

#include "adapter_model.hpp"

namespace vad {
namespace {

long copy_entry(const std::vector<std::uint8_t>* e, std::uint8_t* buf, std::size_t cap) {
    if (!e) return -1;
    const std::size_t n = std::min(cap, e->size());
    if (buf && n) std::memcpy(buf, e->data(), n);
    return static_cast<long>(e->size());
}

}  // namespace

bool Adapter::apply(std::string_view key, std::string_view value, std::string& error) {
    if (key == "serial" || key == "bus" || key == "port" || key == "canbus" || key == "canbus_local") {
        error = "only vad_configure sets ";
        error.append(key);
        return false;
    }
    std::lock_guard lk(mu_);
    AdapterConfig next = cfg_;
    if (!apply_adapter_item(next, key, value, error)) return false;
    const Ps now = now_ps();
    advance(now);  // what the bus carried so far happened under the old settings
    if (key == "capture") capturing_ = next.capture;
    if (key == "nominal" || key == "data") {
        nominal_bps_ = next.nominal_bps;
        data_bps_ = next.data_bps;
        times_ = {bit_time_from_rate(next.nominal_bps), bit_time_from_rate(next.data_bps)};
    }
    if (key == "stuffing") worst_stuffing_ = next.worst_stuffing;
    if (key == "logs")
        for (EventLog& log : logs_) log.resize(next.log_entries);
    if (key == "gen") gen_ = Generator(next.gen, now);
    if (key == "fault") add_fault_locked(next.faults.back());
    next.faults.clear();
    cfg_ = std::move(next);
    notify_all();
    bus_->changed();  // its timing or generator may change when the others' next frame is due
    return true;
}

void Adapter::add_fault(const Fault& f) {
    std::lock_guard lk(mu_);
    add_fault_locked(f);
}

void Adapter::clear_faults() {
    std::lock_guard lk(mu_);
    faults_.clear();
    halted_.fill(false);
    transfers_left_ = -1;
    unplug_at_ = NEVER;
}

void Adapter::set_hello(std::span<const std::uint8_t> reply) {
    std::lock_guard lk(mu_);
    cfg_.hello.assign(reply.begin(), reply.end());
}

bool Adapter::queue_raw(int ep, std::span<const std::uint8_t> bytes) {
    if (ep != 0x81 && ep != 0x82 && ep != 0x83) return false;
    std::lock_guard lk(mu_);
    in_queue_[(ep & 0x7F) - 1].emplace_back(bytes.begin(), bytes.end());
    wake_waiters(in_cv_[(ep & 0x7F) - 1]);
    return true;
}

bool Adapter::bus_frame(BusFrame f) {
    std::lock_guard lk(mu_);
    const Ps now = now_ps();
    advance(now);
    if (bus_->queued(port_) >= bus_->max_queued()) return false;
    f.origin = Origin::Injected;
    f.ready = now;
    bus_->submit(port_, f);
    return true;
}

void Adapter::unplug(long long after_transfers, long long after_ms) {
    Fault f;
    f.kind = FaultKind::Unplug;
    f.after = after_transfers;
    f.ms = after_ms;
    add_fault(f);
}

void Adapter::counters(struct vad_counters& out) {
    std::lock_guard lk(mu_);
    if (!gone_ && !unplugged_) advance(now_ps());
    c_.capturing = capturing_;
    c_.loopback = cfg_.loopback;
    c_.nominal_bitrate = static_cast<std::int64_t>(nominal_bps_ + 0.5);
    c_.data_bitrate = static_cast<std::int64_t>(data_bps_ + 0.5);
    c_.fd_mode = fd_mode_;
    c_.gen_seq = gen_.next_seq();
    c_.faults_fired = faults_.fired();
    c_.tx_queued = port_ >= 0 ? static_cast<std::int64_t>(bus_->queued(port_)) : 0;
    c_.tx_error_counter = tec_;
    c_.rx_error_counter = rec_;
    c_.error_state = std::max(tec_, rec_) >= 128 ? 2 : std::max(tec_, rec_) >= 96 ? 1 : 0;
    out = c_;
}

long long Adapter::log_count(int log) {
    std::lock_guard lk(mu_);
    return log >= 0 && log < 4 ? static_cast<long long>(logs_[log].size()) : -1;
}

long long Adapter::log_total(int log) {
    std::lock_guard lk(mu_);
    return log >= 0 && log < 4 ? logs_[log].total() : -1;
}

long Adapter::log_entry(int log, long long index, std::uint8_t* buf, std::size_t cap) {
    std::lock_guard lk(mu_);
    return log >= 0 && log < 4 ? copy_entry(logs_[log].at(index), buf, cap) : -1;
}

long Adapter::log_last(int log, std::uint8_t* buf, std::size_t cap) {
    std::lock_guard lk(mu_);
    return log >= 0 && log < 4 ? copy_entry(logs_[log].last(), buf, cap) : -1;
}

void Adapter::clear_logs() {
    std::lock_guard lk(mu_);
    for (auto& l : logs_) l.clear();
}

}  // namespace vad
