#include "usbip_protocol.hpp"

#include <algorithm>
#include <cstdio>

namespace vad::usbip {
namespace {

std::uint32_t be32(std::span<const std::uint8_t> b, std::size_t at) noexcept {
    return static_cast<std::uint32_t>(b[at]) << 24 | static_cast<std::uint32_t>(b[at + 1]) << 16 |
           static_cast<std::uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

std::uint16_t be16(std::span<const std::uint8_t> b, std::size_t at) noexcept {
    return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

// A NUL-terminated string in a field of `size` bytes, zero-filled; cut to fit with its NUL.
void put_text(std::vector<std::uint8_t>& out, const std::string& s, std::size_t size) {
    const std::size_t n = std::min(s.size(), size - 1);
    out.insert(out.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
    out.insert(out.end(), size - n, 0);
}

std::string hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", v);
    return text;
}

void put_op_header(std::vector<std::uint8_t>& out, std::uint16_t code, std::uint32_t status) {
    put16(out, VERSION);
    put16(out, code);
    put32(out, status);
}

void put_device(std::vector<std::uint8_t>& out, const Device& d) {
    put_text(out, d.path, PATH_SIZE);
    put_text(out, d.busid, BUSID_SIZE);
    put32(out, d.busnum);
    put32(out, d.devnum);
    put32(out, d.speed);
    put16(out, d.vid);
    put16(out, d.pid);
    put16(out, d.bcd_device);
    out.insert(out.end(), {d.cls, d.subclass, d.protocol, d.configuration, d.num_configurations,
                           static_cast<std::uint8_t>(std::min<std::size_t>(d.interfaces.size(), 255))});
}

}  // namespace

// ---------------------------------------------------------------- decoding

void Decoder::feed(std::span<const std::uint8_t> bytes) {
    if (failed_ || bytes.empty()) return;
    // What was consumed goes before the buffer grows, so it never holds more than one message's tail.
    if (start_ > 0) {
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buf_.insert(buf_.end(), bytes.begin(), bytes.end());
}

void Decoder::consume(std::size_t n) {
    start_ += n;
    if (start_ == buf_.size()) {
        buf_.clear();
        start_ = 0;
    }
}

Message Decoder::fail(std::string reason) {
    failed_ = true;
    failure_ = std::move(reason);
    buf_.clear();
    buf_.shrink_to_fit();
    start_ = 0;
    return Violation{failure_};
}

Message Decoder::next() {
    if (failed_) return Violation{failure_};
    return urbs_ ? urb() : request();
}

Message Decoder::request() {
    const auto b = pending();
    if (b.size() < OP_HEADER_SIZE) return std::monostate{};
    const std::uint16_t version = be16(b, 0);
    const std::uint16_t code = be16(b, 2);
    if (version != VERSION) return fail("USB/IP version " + hex(version) + ", not 0x111");
    if (code == OP_REQ_DEVLIST) {
        consume(OP_HEADER_SIZE);
        return DevlistRequest{};
    }
    if (code != OP_REQ_IMPORT) return fail("unknown request " + hex(code));
    if (b.size() < OP_HEADER_SIZE + BUSID_SIZE) return std::monostate{};
    const auto field = b.subspan(OP_HEADER_SIZE, BUSID_SIZE);
    const auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
    ImportRequest r{std::string(field.begin(), end)};
    consume(OP_HEADER_SIZE + BUSID_SIZE);
    return r;
}

Message Decoder::urb() {
    const auto b = pending();
    if (b.size() < URB_HEADER_SIZE) return std::monostate{};
    const std::uint32_t command = be32(b, 0);
    if (command == CMD_UNLINK) {
        Unlink u{be32(b, 4), be32(b, 8), be32(b, 20)};
        consume(URB_HEADER_SIZE);
        return u;
    }
    if (command != CMD_SUBMIT) return fail("unknown command " + hex(command));

    Submit s;
    s.seqnum = be32(b, 4);
    s.devid = be32(b, 8);
    s.direction = be32(b, 12);
    s.ep = be32(b, 16);
    s.flags = be32(b, 20);
    s.length = be32(b, 24);
    s.start_frame = static_cast<std::int32_t>(be32(b, 28));
    s.number_of_packets = be32(b, 32);
    s.interval = static_cast<std::int32_t>(be32(b, 36));
    std::copy_n(b.begin() + 40, 8, s.setup.begin());
    if (s.direction != DIR_OUT && s.direction != DIR_IN) return fail("direction " + hex(s.direction));
    if (s.ep > 15) return fail("endpoint " + hex(s.ep));
    if (s.length > MAX_TRANSFER) return fail("transfer of " + std::to_string(s.length) + " bytes");
    if (s.iso_requested() && s.number_of_packets > MAX_ISO_PACKETS)
        return fail(std::to_string(s.number_of_packets) + " ISO packets");

    const std::size_t data = s.in() ? 0 : s.length;
    const std::size_t iso = s.iso_requested() ? std::size_t{s.number_of_packets} * ISO_PACKET_SIZE : 0;
    if (b.size() < URB_HEADER_SIZE + data + iso) return std::monostate{};
    const auto payload = b.subspan(URB_HEADER_SIZE, data);
    s.data.assign(payload.begin(), payload.end());
    const auto packets = b.subspan(URB_HEADER_SIZE + data, iso);
    for (std::size_t at = 0; at < packets.size(); at += ISO_PACKET_SIZE)
        s.iso.push_back(IsoPacket{be32(packets, at), be32(packets, at + 4), be32(packets, at + 8),
                                  static_cast<std::int32_t>(be32(packets, at + 12))});
    consume(URB_HEADER_SIZE + data + iso);
    return s;
}

// ---------------------------------------------------------------- encoding

std::vector<std::uint8_t> devlist_reply(std::span<const Device> devices) {
    std::vector<std::uint8_t> out;
    put_op_header(out, OP_REP_DEVLIST, 0);
    put32(out, static_cast<std::uint32_t>(devices.size()));
    for (const Device& d : devices) {
        put_device(out, d);
        const std::size_t n = std::min<std::size_t>(d.interfaces.size(), 255);
        for (std::size_t i = 0; i < n; ++i)
            out.insert(out.end(), {d.interfaces[i].cls, d.interfaces[i].subclass, d.interfaces[i].protocol, 0});
    }
    return out;
}

std::vector<std::uint8_t> import_reply(const Device* device) {
    std::vector<std::uint8_t> out;
    put_op_header(out, OP_REP_IMPORT, device ? 0 : 1);
    if (device) put_device(out, *device);
    return out;
}

std::vector<std::uint8_t> ret_submit(const RetSubmit& r) {
    std::vector<std::uint8_t> out;
    out.reserve(URB_HEADER_SIZE + r.data.size() + r.iso.size() * ISO_PACKET_SIZE);
    for (const std::uint32_t v : {RET_SUBMIT, r.seqnum, 0u, 0u, 0u, static_cast<std::uint32_t>(r.status),
                                  r.actual_length, 0u, r.number_of_packets, 0u, 0u, 0u})
        put32(out, v);
    out.insert(out.end(), r.data.begin(), r.data.end());
    for (const IsoPacket& p : r.iso)
        for (const std::uint32_t v : {p.offset, p.length, p.actual_length, static_cast<std::uint32_t>(p.status)})
            put32(out, v);
    return out;
}

std::vector<std::uint8_t> ret_unlink(std::uint32_t seqnum, std::int32_t status) {
    std::vector<std::uint8_t> out;
    out.reserve(URB_HEADER_SIZE);
    for (const std::uint32_t v : {RET_UNLINK, seqnum, 0u, 0u, 0u, static_cast<std::uint32_t>(status)}) put32(out, v);
    out.resize(URB_HEADER_SIZE, 0);
    return out;
}

}  // namespace vad::usbip
