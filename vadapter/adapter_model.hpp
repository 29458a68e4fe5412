// One virtual RU-ZEDUZ: its three endpoint pairs, the command channel, its node on a CAN bus,
// the receive FIFO, faults, logs and counters. Every public member is thread-safe; the model runs
// under the lock of its bus, which it shares with the other adapters on that bus.
#pragma once
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <memory>

#include "bus.hpp"
#include "config.hpp"
#include "containers.hpp"
#include "event_log.hpp"
#include "faults.hpp"
#include "vadapter.h"

namespace vad {

class Adapter final : public BusNode {
public:
    Adapter(const AdapterConfig& cfg, std::shared_ptr<CanBus> bus);
    ~Adapter() override;
    Adapter(const Adapter&) = delete;
    Adapter& operator=(const Adapter&) = delete;

    // --- USB side ---
    // One bulk transfer; bit 7 of the endpoint gives the direction. `closed` is the handle's flag:
    // a transfer waiting when it is set ends with LIBUSB_ERROR_NO_DEVICE.
    int transfer(std::uint8_t ep, std::uint8_t* buf, int len, int* transferred, unsigned timeout_ms,
                 const std::atomic<bool>& closed);

    // The same transfer in pieces, for callers that must not block (asynchronous transfers).
    // begin() counts it and fires the faults that decide it at once; attempt() moves its data if it
    // can, or returns PENDING with `wake` set to the time worth looking again (NEVER: only when the
    // adapter's state changes); expire() ends it at its deadline. Each gives a libusb result.
    struct Start {
        int result = 0;             // decided at once (a libusb error); 0: the data phase follows
        bool frozen = false;        // a time-out fault: nothing moves until the deadline
        int timeout_code = 0;       // that fault's error, or a late fault's
        // A late fault: the data moves, then the transfer reports a time-out, as when a time-out and
        // the completion cross on a real host controller.
        bool late = false;
        int out_length = -1;        // a short-write fault: the bytes the adapter takes and reports
        // The transfer has no time-out here because its caller keeps one of its own beyond this
        // library (a USB/IP host): a time-out fault then holds it until the caller cancels it.
        bool timed_by_host = false;
    };
    static constexpr int PENDING = 1;
    Start begin(std::uint8_t ep, int len, const std::atomic<bool>& closed);
    int attempt(std::uint8_t ep, std::uint8_t* buf, int len, const Start& s, int* transferred, Ps deadline,
                const std::atomic<bool>& closed, Ps& wake);
    int expire(std::uint8_t ep, const Start& s);
    int clear_halt(std::uint8_t ep);
    int set_halt(std::uint8_t ep);  // SET_FEATURE(ENDPOINT_HALT) from the host
    bool halted(std::uint8_t ep);
    void reset_endpoints();
    // Error code a device-level fault (open, claim, serial read) makes the operation fail with, or 0.
    int device_fault(FaultKind kind, const FaultMatch& m);
    bool present();
    bool has_serial();
    const std::string& serial() const noexcept { return serial_; }
    // The model was replaced: everything waiting ends, every later transfer fails.
    void retire();
    // Waiting transfers look again at their handle's closed flag.
    void wake_all();

    // --- control side ---
    bool apply(std::string_view key, std::string_view value, std::string& error);
    void add_fault(const Fault& f);
    void clear_faults();
    void set_hello(std::span<const std::uint8_t> reply);
    bool queue_raw(int ep, std::span<const std::uint8_t> bytes);
    bool bus_frame(BusFrame f);  // false: its queue for the bus is full
    void unplug(long long after_transfers, long long after_ms);
    void counters(struct vad_counters& out);
    long long log_count(int log);
    long long log_total(int log);
    long log_entry(int log, long long index, std::uint8_t* buf, std::size_t cap);
    long log_last(int log, std::uint8_t* buf, std::size_t cap);
    void clear_logs();

private:
    using Lock = std::unique_lock<std::mutex>;
    static constexpr int NOTHING = PENDING;  // a transfer found nothing to move yet

    // Everything below expects mu_ held.
    int alive(Ps now, const std::atomic<bool>& closed);
    void unplug_now();
    void wait(Lock& lk, std::condition_variable& cv, Ps until);
    std::condition_variable& cv_for(std::uint8_t ep);
    // Wakes the transfers waiting on cv, synchronous ones and asynchronous ones alike.
    void wake_waiters(std::condition_variable& cv);
    void notify_all();
    void add_fault_locked(const Fault& f);

    Start begin_locked(std::uint8_t ep, int len, Ps now, const std::atomic<bool>& closed);
    int attempt_locked(std::uint8_t ep, std::uint8_t* buf, int len, const Start& s, int* transferred, Ps now,
                       Ps deadline, const std::atomic<bool>& closed, Ps& wake);
    int expire_locked(std::uint8_t ep, const Start& s);
    int finish(int result);  // every transfer ends here
    int write_out(std::uint8_t ep, const std::uint8_t* buf, int len, int* transferred, Ps now, Ps deadline,
                  Ps& wake);
    int pop_queued(std::deque<std::vector<std::uint8_t>>& q, std::uint8_t* buf, int len, int* transferred);
    int read_rx(std::uint8_t* buf, int len, int* transferred, Ps now, Ps& wake);
    Ps rx_wake_time() const;

    void heartbeat(std::span<const std::uint8_t> frame);
    void command(std::span<const std::uint8_t> frame, Ps now);
    std::vector<std::uint8_t> execute(std::uint8_t code, std::span<const std::uint8_t> payload, std::uint8_t& ack,
                                      Ps now);
    std::vector<std::uint8_t> setup(std::span<const std::uint8_t> payload, std::uint8_t& ack, Ps now);
    int transmit(std::span<const std::uint8_t> record, Ps now, Ps deadline, Ps& wake);

    void advance(Ps now);
    void leave_bus();
    void capture(const BusFrame& f, Ps end, bool dir);

    // BusNode, called by the bus with mu_ held.
    BitTimes bit_times() const override { return times_; }
    bool fd_mode() const override { return fd_mode_; }
    bool worst_stuffing() const override { return worst_stuffing_; }
    Generator& generator() override { return gen_; }
    void on_frame(const BusFrame& f, Ps end, bool sender, const BitTimes& tx) override;
    void on_arbitration_lost() override;
    void on_frames_lost(std::uint64_t count) override;
    void on_bus_changed() override;

    const std::shared_ptr<CanBus> bus_;
    std::mutex& mu_;                    // the bus's
    int port_ = -1;                     // on the bus; -1 once unplugged or retired
    std::condition_variable in_cv_[3];  // readers of 0x81, 0x82, 0x83
    std::condition_variable out_cv_;    // writers waiting for room on the bus, or for a time-out

    AdapterConfig cfg_;                 // current behaviour; its fault list is not used
    const std::string serial_;
    bool has_serial_ = true;
    bool gone_ = false;
    bool unplugged_ = false;
    long long transfers_left_ = -1;     // bulk transfers until the unplug; -1: none planned
    Ps unplug_at_ = NEVER;

    bool capturing_ = false;
    BitTimes times_;
    bool worst_stuffing_ = false;
    Generator gen_;
    std::deque<RxFrame> fifo_;
    std::deque<std::vector<std::uint8_t>> in_queue_[3];  // raw containers (0x81), acks (0x82), raw (0x83)
    std::array<bool, 6> halted_{};
    FaultSet faults_;
    EventLog logs_[4];
    struct vad_counters c_{};
    std::array<std::uint8_t, 9> setup_{};
    bool has_setup_ = false;
    double nominal_bps_ = 0;
    double data_bps_ = 0;
    bool fd_mode_ = true;
    // Error counters as a CAN controller keeps them; the frame at the front of the queue was
    // already counted as unacknowledged.
    int tec_ = 0;
    int rec_ = 0;
    bool ack_error_noted_ = false;
    Ps next_ack_check_ = 0;
};

}  // namespace vad
