#include "core/adapter.hpp"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <thread>
#include <vector>

#include "core/event_loop.hpp"
#include "core/host_clock.hpp"
#include "core/log.hpp"
#include "core/receive_path.hpp"
#include "core/usb_device.hpp"
#include "protocol/command_frame.hpp"
#include "protocol/constants.hpp"

namespace fdh::core {

namespace {
using namespace std::chrono_literals;

// Reads kept queued on 0x81 while completions come one by one: eight, queued again four at a time
// at the end of a round (each submission wakes the library's own machinery, the virtual adapter's
// transfer thread say, and a batch wakes it once). While the event thread works in windows (a busy
// bus) none is queued during a window and one at its end: the frames of the window wait in the
// adapter and come as one container (event_loop.hpp).
constexpr int QUEUED_READS = 8;
constexpr int RESUBMIT_BATCH = 4;
constexpr auto HEARTBEAT_PERIOD = 10ms;
constexpr unsigned HEARTBEAT_TIMEOUT_MS = 100;
// A send is made in slices this long, so that a close waits at most that for it.
constexpr auto SEND_SLICE = 50ms;
// Cancelled transfers complete at once; one that has not after this long (a library that lost it)
// is given up, and the adapter's memory with it is kept rather than freed under it.
constexpr auto REAP_LIMIT = 2s;
constexpr unsigned STOP_ACK_MS = 200;  // the acknowledgement of the stop of capture at closing

void pause_for(bool really, std::chrono::milliseconds t) {
    if (really) std::this_thread::sleep_for(t);
}
}  // namespace

struct Adapter::Session final : LoopMember {
    struct ReadSlot {
        Session* session;
        libusb::Transfer* transfer = nullptr;
        std::unique_ptr<std::uint8_t[]> buffer;
        bool in_flight = false;
    };

    Session(std::shared_ptr<Library> l, std::unique_ptr<OpenDevice> d, std::string serial_, ReceiveOptions o)
        : lib(std::move(l)), device(std::move(d)), serial(std::move(serial_)), name("adapter " + serial),
          receive(std::move(o)) {}

    ~Session() {
        for (ReadSlot& r : reads)
            if (r.transfer) api().async.free_transfer(r.transfer);
        if (heartbeat) api().async.free_transfer(heartbeat);
    }

    const libusb::Api& api() const { return lib->api(); }
    EventLoop& loop() const { return lib->loop(); }

    // Every transfer is made before anything is submitted: a failure leaves nothing in flight.
    bool make_transfers() {
        reads.resize(QUEUED_READS);
        for (ReadSlot& r : reads) {
            r.session = this;
            r.transfer = api().async.alloc_transfer(0);
            r.buffer.reset(new std::uint8_t[RX_LENGTH]);
            if (!r.transfer) return false;
        }
        heartbeat = api().async.alloc_transfer(0);
        return heartbeat != nullptr;
    }

    // With mu held.
    int submit_read(ReadSlot& r) {
        libusb::Transfer& t = *r.transfer;
        t.dev_handle = device->handle();
        t.flags = 0;
        t.endpoint = static_cast<unsigned char>(WINUSB_IN_EP);
        t.type = libusb::TRANSFER_TYPE_BULK;
        t.timeout = 0;  // an idle bus is no reason to wake up
        t.length = RX_LENGTH;
        t.actual_length = 0;
        t.callback = &Session::read_done;
        t.user_data = &r;
        t.buffer = r.buffer.get();
        t.num_iso_packets = 0;
        const int rc = api().async.submit_transfer(&t);
        if (rc == 0) {
            r.in_flight = true;
            ++in_flight;
        }
        return rc;
    }

    // The adapter is gone (unplugged): queued frames stay, everything else ends.
    void lost(const std::string& reason) {
        receive.end(reason);  // first, so that whoever sees `gone` finds the reason (the first one stays)
        if (gone.exchange(true)) return;
        log(Level::Error, name + ": " + reason);
    }

    // Receiving failed for good (a read failed otherwise than by an unplug).
    void reads_failed(int code) {
        if (reads_ended.exchange(true) || gone) return;
        const std::string reason = std::string("receiving failed: ") + libusb::error_name(code);
        log(Level::Error, name + ": " + reason);
        receive.end(reason);
    }

    static void FDH_LIBUSB_CALL read_done(libusb::Transfer* t) {
        auto* slot = static_cast<ReadSlot*>(t->user_data);
        Session& s = *slot->session;
        const std::int64_t arrival = steady_us();
        const int status = t->status;
        const bool on_loop = s.loop().on_loop_thread();
        if ((status == libusb::COMPLETED || (status == libusb::TIMED_OUT && t->actual_length > 0)) &&
            !s.closing.load()) {
            const auto size = static_cast<std::size_t>(std::clamp(t->actual_length, 0, RX_LENGTH));
            const Delivered d = s.receive.deliver({t->buffer, size}, arrival, /*wake=*/!on_loop);
            if (on_loop) s.loop().delivered(s.receive.shared_queue(), d.frames, d.records);
        } else if (status == libusb::NO_DEVICE) {
            s.lost("the adapter was unplugged");
        } else if (status != libusb::COMPLETED && status != libusb::CANCELLED && status != libusb::TIMED_OUT &&
                   !s.closing.load()) {
            s.reads_failed(libusb::error_of(status));
        }
        int failed = 0;
        {
            std::lock_guard lk(s.mu);
            slot->in_flight = false;
            ++s.reads_idle;
            // Reads are queued again as the event thread turns (turn()); a read that
            // another thread completed (libusb runs callbacks wherever events are being handled) at once.
            if (!on_loop && s.may_read()) failed = s.submit_idle_reads(1);
        }
        s.read_submit_failed(failed);
        s.transfer_done();  // last: a close waiting for it may free the session at once
    }

    // A transfer has finished with the session: a close may go on once none is in flight.
    void transfer_done() {
        std::lock_guard lk(mu);
        --in_flight;
        idle.notify_all();
    }

    bool may_read() const { return !closing && !gone && !reads_ended; }

    // With mu held: up to `count` of the idle reads queued; the first failure's code.
    int submit_idle_reads(int count) {
        for (ReadSlot& r : reads) {
            if (count <= 0) break;
            if (r.in_flight) continue;
            if (const int rc = submit_read(r); rc < 0) return rc;
            --reads_idle;
            --count;
        }
        return 0;
    }

    void read_submit_failed(int rc) {
        if (rc == libusb::ERROR_NO_DEVICE)
            lost("the adapter was unplugged");
        else if (rc < 0)
            reads_failed(rc);
    }

    int turn(Turn t) override {
        int failed = 0, wanted = 0;
        {
            std::lock_guard lk(mu);
            if (!may_read()) return 0;
            const int queued = QUEUED_READS - reads_idle;
            if (t == Turn::Collect)
                wanted = queued == 0 ? 1 : 0;
            else if (t == Turn::Steady && (reads_idle >= RESUBMIT_BATCH || queued < 2))
                wanted = reads_idle;
            failed = submit_idle_reads(wanted);
        }
        read_submit_failed(failed);
        return failed < 0 ? 0 : wanted;
    }

    // On the event thread, every 10 ms.
    void beat() {
        if (closing || gone) return;
        int rc;
        {
            std::lock_guard lk(mu);
            if (closing || heartbeat_in_flight) return;  // the last one is still under way: skip
            static const auto frame = heartbeat_frame();
            std::copy(frame.begin(), frame.end(), heartbeat_buffer.begin());
            libusb::Transfer& t = *heartbeat;
            t.dev_handle = device->handle();
            t.flags = 0;
            t.endpoint = static_cast<unsigned char>(WINUSB_OUT_EP);
            t.type = libusb::TRANSFER_TYPE_BULK;
            t.timeout = HEARTBEAT_TIMEOUT_MS;
            t.length = static_cast<int>(heartbeat_buffer.size());
            t.actual_length = 0;
            t.callback = &Session::heartbeat_done;
            t.user_data = this;
            t.buffer = heartbeat_buffer.data();
            t.num_iso_packets = 0;
            rc = api().async.submit_transfer(&t);
            if (rc == 0) {
                heartbeat_in_flight = true;
                ++in_flight;
            }
        }
        if (rc == libusb::ERROR_NO_DEVICE) lost("the adapter was unplugged");
        else if (rc < 0) heartbeat_failed(rc);
    }

    void heartbeat_failed(int code) {
        // Reported once per run of failures: a hundred lines a second would say nothing more.
        if (heartbeat_failing.exchange(true)) return;
        log(Level::Warning, name + ": the heartbeat was not taken: " + libusb::error_name(code));
    }

    static void FDH_LIBUSB_CALL heartbeat_done(libusb::Transfer* t) {
        Session& s = *static_cast<Session*>(t->user_data);
        const int status = t->status;
        // A time-out that crossed the completion still delivered the heartbeat.
        if (status == libusb::COMPLETED || (status == libusb::TIMED_OUT && t->actual_length == t->length)) {
            s.heartbeats.fetch_add(1, std::memory_order_relaxed);
            s.heartbeat_failing = false;
        } else if (status == libusb::NO_DEVICE) {
            s.lost("the adapter was unplugged");
        } else if (status != libusb::CANCELLED) {
            s.heartbeat_failed(libusb::error_of(status));
        }
        {
            std::lock_guard lk(s.mu);
            s.heartbeat_in_flight = false;
        }
        s.transfer_done();
    }

    // Counts a caller's use of the handle, so that close waits for it; false once closing.
    bool enter_call() {
        std::lock_guard lk(mu);
        if (closing) return false;
        ++active_calls;
        return true;
    }
    void leave_call() {
        std::lock_guard lk(mu);
        --active_calls;
        idle.notify_all();
    }

    std::string ended_reason() const {
        std::string r = receive.end_reason();
        return r.empty() ? "the adapter is closed" : r;
    }

    std::shared_ptr<Library> lib;
    std::unique_ptr<OpenDevice> device;
    std::string serial;
    std::string name;
    ReceivePath receive;
    std::vector<ReadSlot> reads;
    libusb::Transfer* heartbeat = nullptr;
    std::array<std::uint8_t, HEARTBEAT_SIZE> heartbeat_buffer{};
    EventLoop::TimerId heartbeat_timer = 0;

    std::mutex mu;
    std::condition_variable idle;  // a transfer completed or a call left
    int in_flight = 0;
    int reads_idle = 0;  // completed reads not queued again yet
    int active_calls = 0;
    bool heartbeat_in_flight = false;
    bool closed = false;
    std::atomic<bool> closing{false};
    std::atomic<bool> gone{false};
    std::atomic<bool> reads_ended{false};
    std::atomic<bool> heartbeat_failing{false};
    std::atomic<std::uint64_t> heartbeats{0};
    std::mutex command_mu;  // one command exchange at a time
};

OpenResult Adapter::open(const OpenRequest& req) {
    LoadResult loaded = Library::load(req.library);
    if (!loaded.library) return {nullptr, loaded.error};
    std::shared_ptr<Library> lib = loaded.library;
    Opened found = open_by_serial(lib, req.serial);
    if (!found.device) return {nullptr, found.error};
    const std::string name = "adapter " + found.info.serial;
    auto fail = [&](const std::string& why) {
        log(Level::Debug, name + ": opening failed: " + why);
        return OpenResult{nullptr, why};
    };
    log(Level::Debug, name + ": found at bus " + std::to_string(found.info.bus) + " address " +
                          std::to_string(found.info.address) + " on " + lib->path());
    std::string error;
    if (!found.device->claim(3, error)) return fail(error);
    log(Level::Debug, name + ": claimed interfaces 0, 1 and 2");

    const bool pauses = req.settle && !lib->is_virtual();
    const libusb::Api& api = lib->api();
    void* handle = found.device->handle();
    pause_for(pauses, 500ms);
    // An adapter left capturing by its last user holds what it captured since: that traffic is
    // not this Bus's, so capture starts afresh. (A virtual adapter is plugged for its Bus and
    // captures from that moment on purpose.)
    CommandReply reply;
    if (!lib->is_virtual()) {
        reply = exchange_command(api, handle, static_cast<std::uint8_t>(CmdType::CMD_STOP_CAP), {});
        if (!reply.accepted) log(Level::Debug, name + ": " + reply.error);
    }
    reply = exchange_command(api, handle, static_cast<std::uint8_t>(CmdType::CMD_START_CAP), {});
    if (!reply.accepted) return fail(reply.error);
    log(Level::Debug, name + ": CMD_START_CAP ACK SUCCESS");
    pause_for(pauses, 200ms);
    const auto setup = encode_setup(req.timing);
    reply = exchange_command(api, handle, static_cast<std::uint8_t>(CmdType::CMD_SETUP_BUARD), setup);
    if (!reply.accepted) return fail(reply.error);
    const auto& t = req.timing;
    const double nominal = phase_bitrate(t.can_prescaler, t.can_seg1, t.can_seg2);
    const double data = phase_bitrate(t.canfd_prescaler, t.canfd_seg1, t.canfd_seg2);
    log(Level::Debug, name + ": CMD_SETUP_BUARD ACK SUCCESS (nominal " + std::to_string(std::llround(nominal)) +
                          " bit/s, data " + std::to_string(std::llround(data)) + " bit/s, " +
                          (t.can_frame_type ? "CAN FD" : "classic CAN") + ")");
    for (int ep : {CAN_OUT_EP, WINUSB_IN_EP}) {
        if (const int r = api.clear_halt(handle, static_cast<unsigned char>(ep)); r < 0) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", ep);
            return fail(std::string("clearing the halt of endpoint ") + hex + " failed: " + libusb::error_name(r));
        }
    }
    pause_for(pauses, 500ms);

    // The virtual adapter's model, through the stand-in or through the kernel, reports each frame's
    // bitrate switch and error state indicator and stamps it with the host's monotonic clock.
    const bool model = lib->is_virtual() || found.manufacturer == VIRTUAL_MANUFACTURER;
    ReceiveOptions ro;
    ro.capacity = req.queue_frames;
    ro.choice = {req.receive_own, model, !model && data > nominal, t.can_frame_type == 0};
    ro.bus_clock = model;
    ro.name = name;
    auto session = std::make_unique<Session>(lib, std::move(found.device), found.info.serial, std::move(ro));
    if (!session->make_transfers()) return fail("libusb could not allocate transfers");
    Session& s = *session;
    std::shared_ptr<Adapter> adapter(new Adapter(std::move(session)));
    lib->loop().attach(&s);
    int rc = 0;
    {
        std::lock_guard lk(s.mu);
        s.reads_idle = QUEUED_READS;
        rc = s.submit_idle_reads(QUEUED_READS);
    }
    if (rc < 0) {
        adapter->close();
        return fail(std::string("queueing the reads of 0x81 failed: ") + libusb::error_name(rc));
    }
    s.heartbeat_timer = lib->loop().add_timer(HEARTBEAT_PERIOD, [&s] { s.beat(); });
    log(Level::Debug, name + ": receiving, heartbeat every 10 ms");
    return {std::move(adapter), {}};
}

Adapter::Adapter(std::unique_ptr<Session> s) : owner_(std::move(s)), s_(owner_.get()) {}

Adapter::~Adapter() { close(); }

void Adapter::close() {
    Session* s = s_;
    {
        std::lock_guard lk(s->mu);
        if (s->closed) return;
        s->closing = true;
    }
    if (s->heartbeat_timer) s->loop().remove_timer(s->heartbeat_timer);
    bool reaped;
    {
        std::unique_lock lk(s->mu);
        for (auto& r : s->reads)
            if (r.in_flight) s->api().async.cancel_transfer(r.transfer);
        if (s->heartbeat_in_flight) s->api().async.cancel_transfer(s->heartbeat);
        s->loop().wake();
        reaped = s->idle.wait_for(lk, REAP_LIMIT, [s] { return s->in_flight == 0; });
        // A send or a command under way ends within its own time-outs.
        s->idle.wait(lk, [s] { return s->active_calls == 0; });
        s->closed = true;
    }
    s->receive.end("the bus was closed");
    if (!reaped) {
        // The library may still write into these buffers and call back into this session.
        log(Level::Error, s->name + ": transfers could not be withdrawn; the adapter is left claimed");
        (void)owner_.release();
        return;
    }
    s->loop().detach(s);
    // Capture stops with the Bus, so the adapter does not gather traffic for nobody; briefly, since
    // an adapter that does not answer is released all the same. (A virtual one is unplugged.)
    if (!s->gone && !s->lib->is_virtual()) {
        const CommandReply reply = exchange_command(s->api(), s->device->handle(),
                                                    static_cast<std::uint8_t>(CmdType::CMD_STOP_CAP), {}, STOP_ACK_MS);
        if (!reply.accepted) log(Level::Debug, s->name + ": " + reply.error);
    }
    s->device.reset();  // releases the interfaces and closes the handle
    log(Level::Debug, s->name + ": closed");
}

SendResult Adapter::send(const CanMessage& frame, std::chrono::milliseconds timeout) {
    const TxBuild built = make_tx_record(frame);
    if (!built.ok()) return {SendStatus::Invalid, describe(built.error, frame)};
    auto record = encode_tx(built.record);
    Session& s = *s_;
    if (s.gone || !s.enter_call()) return {SendStatus::Ended, s.ended_reason()};
    struct Leave {
        Session& s;
        ~Leave() { s.leave_call(); }
    } leave{s};
    const bool forever = timeout.count() < 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto slice = SEND_SLICE;
        if (!forever) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            slice = std::clamp(left, 1ms, SEND_SLICE);
        }
        int moved = 0;
        const int r = s.api().bulk_transfer(s.device->handle(), static_cast<unsigned char>(CAN_OUT_EP), record.data(),
                                            static_cast<int>(record.size()), &moved, static_cast<unsigned>(slice.count()));
        // The whole frame moved: sent, also when its time-out crossed the completion (a real host
        // controller then reports the time-out with the data transferred).
        if ((r == 0 || r == libusb::ERROR_TIMEOUT) && moved == static_cast<int>(record.size())) return {};
        if (r == libusb::ERROR_NO_DEVICE) {
            s.lost("the adapter was unplugged");
            return {SendStatus::Ended, s.ended_reason()};
        }
        if (moved > 0 || (r < 0 && r != libusb::ERROR_TIMEOUT))
            return {SendStatus::Failed, r < 0 ? std::string("sending failed: ") + libusb::error_name(r)
                                              : "the adapter took " + std::to_string(moved) + " of the " +
                                                    std::to_string(record.size()) + " bytes of a frame"};
        if (s.closing) return {SendStatus::Ended, s.ended_reason()};
        if (!forever && std::chrono::steady_clock::now() >= deadline)
            return {SendStatus::TimedOut, "the adapter's transmit queue stayed full"};
    }
}

RxQueue::Pop Adapter::recv(CanMessage& out, double timeout_s) { return s_->receive.queue().pop(out, timeout_s); }

void Adapter::set_filter(FrameFilter filter) { s_->receive.set_filter(std::move(filter)); }

CommandReply Adapter::command(std::uint8_t code, std::span<const std::uint8_t> payload) {
    Session& s = *s_;
    if (s.gone || !s.enter_call()) return {false, 0, {}, command_name(code) + ": " + s.ended_reason()};
    CommandReply reply;
    {
        std::lock_guard lk(s.command_mu);
        reply = exchange_command(s.api(), s.device->handle(), code, payload);
    }
    s.leave_call();
    return reply;
}

const std::string& Adapter::serial() const { return s_->serial; }
bool Adapter::is_virtual() const { return s_->lib->is_virtual(); }
std::string Adapter::end_reason() const { return s_->receive.end_reason(); }
bool Adapter::ended() const { return !s_->receive.end_reason().empty(); }
RxQueue& Adapter::queue() { return s_->receive.queue(); }
std::uint64_t Adapter::dropped() const { return s_->receive.queue().dropped(); }
TimeSource Adapter::time_source() const { return s_->receive.time_source(); }
std::uint64_t Adapter::arrival_timed() const { return s_->receive.arrival_timed(); }
std::uint64_t Adapter::heartbeats() const { return s_->heartbeats.load(std::memory_order_relaxed); }

}  // namespace fdh::core
