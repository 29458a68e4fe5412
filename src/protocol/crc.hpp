// CRC-16/ARC (poly 0x8005 reflected, init 0, no final xor), the checksum of every framed exchange.
#pragma once
#include <cstdint>
#include <span>

namespace fdh {

constexpr std::uint8_t invert_uint8(std::uint64_t val) {
    std::uint8_t out = 0;
    for (int i = 0; i < 8; ++i)
        if (val & (1u << i)) out |= static_cast<std::uint8_t>(1u << (7 - i));
    return out;
}

constexpr std::uint16_t invert_uint16(std::uint64_t val) {
    std::uint16_t out = 0;
    for (int i = 0; i < 16; ++i)
        if (val & (1u << i)) out |= static_cast<std::uint16_t>(1u << (15 - i));
    return out;
}

// Continue a CRC over more bytes; start with crc = 0.
std::uint16_t crc16_update(std::uint16_t crc, std::span<const std::uint8_t> data) noexcept;

// Feed one byte (only its low eight bits count).
std::uint16_t crc16_byte(std::uint16_t crc, std::uint8_t byte) noexcept;

inline std::uint16_t crc16_ibm(std::span<const std::uint8_t> data) noexcept {
    return crc16_update(0, data);
}

}  // namespace fdh
