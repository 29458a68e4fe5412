// Reference for the host's acknowledgement check: the four tests in order, every field read through
// a slice that clips at the end of the read.
#pragma once
#include <cstdint>

#include "ack_frame.hpp"
#include "ref_bytes.hpp"

namespace ref {

struct Ack {
    fdh::AckCheck check = fdh::AckCheck::Empty;  // the verdict labels are shared; the logic is not
    std::uint8_t start = 0, end = 0;
    std::size_t len = 0;
    std::uint16_t crc = 0, crc_local = 0;
    std::uint8_t cmd = 0, code = 0;
    Bytes data;
};

inline Ack check_ack(const Bytes& f, std::uint8_t expected_cmd) {
    Ack r;
    if (f.empty()) return r;
    r.start = f.at(0);
    r.end = f.at(f.size() - 1);
    if (r.start != 0xA5 || r.end != 0x5A) {
        r.check = fdh::AckCheck::FrameError;
        return r;
    }
    r.len = le(slice(f, 3, 5));
    r.crc = static_cast<std::uint16_t>(le(slice(f, 5 + r.len, 7 + r.len)));
    r.crc_local = crc16_arc(slice(f, 1, 5 + r.len));
    if (r.crc != r.crc_local) {
        r.check = fdh::AckCheck::CrcError;
        return r;
    }
    const Bytes cmd = slice(f, 1, 2);
    r.cmd = static_cast<std::uint8_t>(le(cmd));
    if (cmd.empty() || r.cmd != expected_cmd) {
        r.check = fdh::AckCheck::CmdError;
        return r;
    }
    r.code = static_cast<std::uint8_t>(le(slice(f, 2, 3)));
    r.data = slice(f, 5, 5 + r.len);
    r.check = r.code == 0 ? fdh::AckCheck::Accepted : fdh::AckCheck::Rejected;
    return r;
}

}  // namespace ref
