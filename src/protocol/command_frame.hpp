// Command frames (host -> adapter on 0x02) and the fixed heartbeat frame (0x01).
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "constants.hpp"

namespace fdh {

// Largest payload that fits the command transmit buffer with its 7 framing bytes.
inline constexpr std::size_t MAX_COMMAND_PAYLOAD = TX_SIZE - 7;

// Writes A5, code, len(LE16), payload (zeros when absent), CRC(LE16), 5A into out.
// out must hold 7 + payload_len bytes; returns the frame length.
std::size_t encode_command_frame(std::uint8_t code, std::uint16_t payload_len,
                                 const std::uint8_t* payload_or_null, std::span<std::uint8_t> out) noexcept;

std::vector<std::uint8_t> command_frame(std::uint8_t code, std::span<const std::uint8_t> payload);

inline constexpr std::uint8_t HEARTBEAT_CODE = 0x10;
inline constexpr std::size_t HEARTBEAT_PAYLOAD = 17;
inline constexpr std::size_t HEARTBEAT_SIZE = 24;

// A5 10 11 00, seventeen FF, CRC 0x1C0A low byte first, 5A.
std::array<std::uint8_t, HEARTBEAT_SIZE> heartbeat_frame() noexcept;

// What the adapter sees on 0x02: a command frame checked for start, end, length and CRC.
struct ParsedCommand {
    std::uint8_t code = 0;
    std::span<const std::uint8_t> payload;
};
std::optional<ParsedCommand> parse_command_frame(std::span<const std::uint8_t> frame) noexcept;

}  // namespace fdh
