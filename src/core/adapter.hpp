// One open adapter: found by serial and claimed, capture started and the bit timing set, then
// served by its library's event thread (queued reads on 0x81, a heartbeat on 0x01 every 10 ms)
// while any thread sends, receives and gives commands. Errors are results with a one-line reason;
// nothing is printed (reports go to the log sink, log.hpp).
//
// An unplug (a transfer failing with no device) ends the adapter: the frames already queued can
// still be taken, then recv reports the end and send fails; close() then releases it.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "core/command_exchange.hpp"
#include "core/frame_clock.hpp"
#include "core/rx_queue.hpp"
#include "protocol/can_message.hpp"
#include "protocol/frame_filter.hpp"
#include "protocol/records.hpp"

namespace fdh::core {

struct OpenRequest {
    std::string library;             // the libusb to use (a path); "": the hardware library (usb_library.hpp)
    std::string serial;              // exactly as the adapter reports it
    SetupBaudrate timing;            // the bit-timing command's fields
    std::size_t queue_frames = 65536;  // received frames held for a slow taker
    bool receive_own = false;        // also queue the adapter's reports of frames it sent for us
    bool settle = true;              // the pauses a real adapter needs around opening (never taken on the virtual one)
};

class Adapter;

struct OpenResult {
    std::shared_ptr<Adapter> adapter;  // null on failure
    std::string error;                 // why, in one line
};

enum class SendStatus {
    Sent,
    Invalid,   // a frame the adapter cannot carry (error says why)
    TimedOut,  // the adapter's transmit queue stayed full for the whole time-out
    Ended,     // the adapter is closed or went away
    Failed,    // the transfer failed otherwise
};

struct SendResult {
    SendStatus status = SendStatus::Sent;
    std::string error;
};

class Adapter {
public:
    static OpenResult open(const OpenRequest& request);

    ~Adapter();
    Adapter(const Adapter&) = delete;
    Adapter& operator=(const Adapter&) = delete;

    // Sends one frame; waits up to `timeout` for room in the adapter's transmit queue (negative:
    // until it has room or the adapter is closed).
    SendResult send(const CanMessage& frame, std::chrono::milliseconds timeout);

    // The next received frame, waiting up to timeout_s seconds (negative: for ever). Closed once
    // the adapter has ended (end_reason() says why) and no frame is left.
    RxQueue::Pop recv(CanMessage& out, double timeout_s);

    void set_filter(FrameFilter filter);

    // A command and its acknowledgement (protocol/constants.hpp names the codes).
    CommandReply command(std::uint8_t code, std::span<const std::uint8_t> payload = {});

    // Stops the heartbeat and the reads, releases and closes the adapter, ends the queue (its frames
    // stay readable). Safe to call again and from any thread but the event thread.
    void close();

    const std::string& serial() const;
    bool is_virtual() const;
    // Why no more frames come; "" while they do.
    std::string end_reason() const;
    bool ended() const;

    RxQueue& queue();
    std::uint64_t dropped() const;
    TimeSource time_source() const;
    std::uint64_t arrival_timed() const;
    std::uint64_t heartbeats() const;  // heartbeat writes the adapter took

    struct Session;

private:
    explicit Adapter(std::unique_ptr<Session> s);
    std::unique_ptr<Session> owner_;  // let go of when transfers could not be withdrawn
    Session* s_;
};

}  // namespace fdh::core
