// Acknowledgement frames (adapter -> host on 0x82): building (adapter side) and checking (host side).
#pragma once
#include <cstdint>
#include <span>
#include <vector>

namespace fdh {

// A5, cmd, ack, len(LE16), data, CRC(LE16) over cmd..data, 5A.
std::vector<std::uint8_t> ack_frame(std::uint8_t cmd_code, std::uint8_t ack_code, std::span<const std::uint8_t> data);

enum class AckCheck {
    Empty,      // the read returned nothing
    FrameError, // wrong start or end byte
    CrcError,   // checksum mismatch
    CmdError,   // acknowledges another command
    Accepted,   // ack code 0
    Rejected,   // any other ack code from the adapter
};

struct AckResult {
    AckCheck check = AckCheck::Empty;
    std::uint8_t frame_start = 0;
    std::uint8_t frame_end = 0;
    std::uint16_t crc_local = 0;
    std::uint16_t crc = 0;
    std::uint8_t cmd_code = 0;
    std::uint8_t ack_code = 0;
    std::size_t ack_len = 0;                // the length field N
    std::span<const std::uint8_t> data;     // bytes 5 .. 4+N that lie inside the read (may be shorter than N)
    bool data_complete = false;             // all N data bytes were read
};

// Checks one acknowledgement as the host reads it. The end byte is the last byte read;
// the checksum bytes sit at 5+N and 6+N whatever the read length (absent bytes count as missing
// high-order bytes, so none read gives 0). The local CRC covers bytes 1 .. 4+N that were read.
AckResult check_ack(std::span<const std::uint8_t> frame, std::uint8_t expected_cmd) noexcept;

}  // namespace fdh
