// The USB/IP wire format (version 1.1.1) as the kernel's vhci-hcd and the usbip tools speak it:
// the device list and import requests, then URBs (submit, unlink) and their replies. Every field
// is big-endian. Everything a peer sends is read here, bounds-checked, with every length and
// count limited; nothing else in the server looks at the peer's bytes.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace vad::usbip {

inline constexpr std::uint16_t VERSION = 0x0111;
inline constexpr std::uint16_t OP_REQ_DEVLIST = 0x8005, OP_REP_DEVLIST = 0x0005;
inline constexpr std::uint16_t OP_REQ_IMPORT = 0x8003, OP_REP_IMPORT = 0x0003;
inline constexpr std::uint32_t CMD_SUBMIT = 1, CMD_UNLINK = 2, RET_SUBMIT = 3, RET_UNLINK = 4;
inline constexpr std::uint32_t DIR_OUT = 0, DIR_IN = 1;
inline constexpr std::uint32_t SPEED_HIGH = 3;
inline constexpr std::uint32_t URB_SHORT_NOT_OK = 0x0001;  // transfer_flags: a short IN transfer is an error

inline constexpr std::size_t OP_HEADER_SIZE = 8;
inline constexpr std::size_t PATH_SIZE = 256, BUSID_SIZE = 32;
inline constexpr std::size_t DEVICE_SIZE = 312;  // a device record without its interfaces
inline constexpr std::size_t URB_HEADER_SIZE = 48;
inline constexpr std::size_t ISO_PACKET_SIZE = 16;

// What a peer may ask of one URB. Larger requests end the connection: no client of these
// devices moves more (the host reads 51,200 bytes at a time) and the kernel's own USB/IP code
// allows no more ISO packets.
inline constexpr std::uint32_t MAX_TRANSFER = 4u << 20;
inline constexpr std::uint32_t MAX_ISO_PACKETS = 1024;
// number_of_packets of a non-ISO URB as the protocol document has it; vhci-hcd sends 0 instead.
inline constexpr std::uint32_t NOT_ISO = 0xFFFFFFFF;
inline constexpr std::size_t MAX_MESSAGE = URB_HEADER_SIZE + MAX_TRANSFER + MAX_ISO_PACKETS * ISO_PACKET_SIZE;

struct Interface {
    std::uint8_t cls = 0, subclass = 0, protocol = 0;
};

// One exported device as the device list and the import reply describe it.
struct Device {
    std::string path;   // cut to 255 bytes on the wire
    std::string busid;  // cut to 31 bytes
    std::uint32_t busnum = 0, devnum = 0, speed = SPEED_HIGH;
    std::uint16_t vid = 0, pid = 0, bcd_device = 0;
    std::uint8_t cls = 0, subclass = 0, protocol = 0;
    std::uint8_t configuration = 1, num_configurations = 1;
    std::vector<Interface> interfaces;  // at most 255 go on the wire
};

struct IsoPacket {
    std::uint32_t offset = 0, length = 0, actual_length = 0;
    std::int32_t status = 0;
};

// --- what the peer sends

struct DevlistRequest {};
struct ImportRequest {
    std::string busid;  // up to the first NUL of its 32 bytes
};

struct Submit {
    std::uint32_t seqnum = 0, devid = 0, direction = DIR_OUT, ep = 0;
    std::uint32_t flags = 0, length = 0;
    std::int32_t start_frame = 0;
    std::uint32_t number_of_packets = 0;
    std::int32_t interval = 0;
    std::array<std::uint8_t, 8> setup{};
    std::vector<std::uint8_t> data;  // an OUT transfer's `length` bytes; empty for IN
    std::vector<IsoPacket> iso;      // the ISO packet descriptors, if any

    bool in() const noexcept { return direction == DIR_IN; }
    bool iso_requested() const noexcept { return number_of_packets != 0 && number_of_packets != NOT_ISO; }
    // The endpoint address: its number with the direction in bit 7.
    std::uint8_t endpoint() const noexcept { return static_cast<std::uint8_t>(ep | (in() ? 0x80 : 0)); }
};

struct Unlink {
    std::uint32_t seqnum = 0, devid = 0;
    std::uint32_t victim = 0;  // the seqnum of the URB to unlink
};

// The peer broke the protocol; the connection ends.
struct Violation {
    std::string reason;
};

using Message = std::variant<std::monostate, DevlistRequest, ImportRequest, Submit, Unlink, Violation>;

// Cuts what a peer sends into messages, however it arrives in pieces. Before an import a
// connection carries requests (device list, import); after it, URBs. It never holds more than the
// message under way plus what was fed since the last next(); a violation is final.
class Decoder {
public:
    void feed(std::span<const std::uint8_t> bytes);
    // The next complete message; std::monostate while it is incomplete.
    Message next();
    // The device was imported: URBs follow.
    void start_urbs() noexcept { urbs_ = true; }
    bool in_urb_phase() const noexcept { return urbs_; }
    std::size_t buffered() const noexcept { return buf_.size() - start_; }

private:
    Message request();
    Message urb();
    Message fail(std::string reason);
    std::span<const std::uint8_t> pending() const noexcept { return {buf_.data() + start_, buf_.size() - start_}; }
    void consume(std::size_t n);

    std::vector<std::uint8_t> buf_;
    std::size_t start_ = 0;
    bool urbs_ = false;
    bool failed_ = false;
    std::string failure_;
};

// --- what the server sends

std::vector<std::uint8_t> devlist_reply(std::span<const Device> devices);
// nullptr: the import is refused (status 1).
std::vector<std::uint8_t> import_reply(const Device* device);

struct RetSubmit {
    std::uint32_t seqnum = 0;
    std::int32_t status = 0;               // 0 or a negative errno
    std::uint32_t actual_length = 0;       // bytes moved
    std::uint32_t number_of_packets = 0;   // as the URB had it
    std::span<const std::uint8_t> data;    // an IN transfer's bytes
    std::span<const IsoPacket> iso;
};
std::vector<std::uint8_t> ret_submit(const RetSubmit& r);
std::vector<std::uint8_t> ret_unlink(std::uint32_t seqnum, std::int32_t status);

}  // namespace vad::usbip
