// One TCP connection of the USB/IP server: a device list or an import request, then the URBs of
// the imported device. URBs go to the model as asynchronous transfers of the stand-in library
// (one queue per endpoint, in submission order, as many in flight as the peer likes within the
// limits below); their completions come back through the completion queue. The socket is
// non-blocking and only the server's loop thread calls in here.
#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <libusb.h>

#include "usbip_export.hpp"
#include "usbip_protocol.hpp"

namespace vad::usbip {

using Clock = std::chrono::steady_clock;

class Connection;
class CompletionQueue;

// One URB in flight: its transfer of the model and what the reply needs.
struct Urb {
    Connection* owner = nullptr;
    CompletionQueue* queue = nullptr;  // where its completion goes
    std::uint32_t seqnum = 0;
    std::uint32_t flags = 0;
    std::uint32_t number_of_packets = 0;
    bool in = false;
    bool control = false;
    std::vector<std::uint8_t> buffer;   // a control transfer's setup packet first
    libusb_transfer* transfer = nullptr;
    std::vector<std::uint32_t> unlinks;  // CMD_UNLINKs waiting for its end
};

// Finished URBs, posted by the event-handling thread, taken by the loop thread (woken by an eventfd).
class CompletionQueue {
public:
    CompletionQueue();
    int fd() const noexcept { return fd_; }
    void post(Urb* u);
    std::vector<Urb*> take();

private:
    int fd_;
    std::mutex mu_;
    std::vector<Urb*> done_;
};

// Everything the connection asks of the server.
class Exports {
public:
    virtual ~Exports() = default;
    virtual std::vector<Device> device_list() = 0;
    virtual ExportedDevice* find(const std::string& busid) = 0;
};

class Connection {
public:
    // What a connection holds at most; the peer's further requests wait in the socket meanwhile.
    static constexpr std::size_t MAX_URBS = 1024;            // URBs in flight
    static constexpr std::size_t MAX_URB_BYTES = 16u << 20;  // their buffers (usbfs allows 16 MB by default)
    static constexpr std::size_t OUTPUT_HIGH = 1u << 20;     // replies queued
    static constexpr auto WRITE_STALL = std::chrono::seconds(20);   // replies queued, none taken
    static constexpr auto REQUEST_TIME = std::chrono::seconds(30);  // for a device list or import request
    static constexpr auto UNPLUG_FLUSH = std::chrono::seconds(1);   // last replies of an unplugged device
    static constexpr auto PRESENCE_CHECK = std::chrono::milliseconds(100);

    Connection(int fd, std::uint64_t id, Exports& exports, CompletionQueue& completions);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    std::uint64_t id() const noexcept { return id_; }
    int fd() const noexcept { return fd_; }  // -1 once the socket is closed
    const ExportedDevice* device() const noexcept { return export_; }

    void readable();
    void writable();
    void completed(Urb* u);
    // Time-outs, and whether the imported device is still there.
    void tick(Clock::time_point now);
    Clock::time_point next_deadline() const;
    // Sends what is queued, as far as the socket takes it.
    void flush();

    // The device-side disconnect: the socket closes now; URBs in flight are cancelled.
    void drop(const std::string& why);
    // The model unplugged the device: its last replies go out, then the socket closes.
    void unplugged();

    bool wants_read() const noexcept;
    // Whether the peer's closing matters now (while importing or imported).
    bool watches_hangup() const noexcept { return fd_ >= 0 && (phase_ == Phase::Request || phase_ == Phase::Imported); }
    bool wants_write() const noexcept { return fd_ >= 0 && out_bytes_ > 0; }
    // Socket closed, nothing in flight, device released: the server may forget it.
    bool finished() const noexcept { return phase_ == Phase::Done; }

private:
    enum class Phase { Request, Imported, Closing, Unplugging, Closed, Done };

    // Acts on the messages read so far, as far as the limits allow.
    void process();
    bool can_take_more() const noexcept;
    void handle(Message m);
    void import(const ImportRequest& r);
    void submit(Submit s);
    void unlink(const Unlink& u);
    void reply(const Submit& s, std::int32_t status);
    void queue(std::vector<std::uint8_t> bytes);
    void close_socket();
    void settle();

    const std::uint64_t id_;
    int fd_;
    Exports& exports_;
    CompletionQueue& completions_;
    Phase phase_ = Phase::Request;
    Decoder decoder_;
    ExportedDevice* export_ = nullptr;
    std::map<std::uint32_t, std::unique_ptr<Urb>> in_flight_;
    std::size_t urb_bytes_ = 0;
    std::deque<std::vector<std::uint8_t>> out_;
    std::size_t out_offset_ = 0;  // into out_.front()
    std::size_t out_bytes_ = 0;
    Clock::time_point deadline_;        // of the request, or of an unplugged device's last replies
    Clock::time_point last_write_;      // the peer last took bytes
    Clock::time_point next_presence_;
};

}  // namespace vad::usbip
