// Deliberately plain helpers the fuzz references are built from: no tables, no pointer arithmetic,
// every access bounds-checked, so they can be trusted by reading them.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

namespace ref {

using Bytes = std::vector<std::uint8_t>;

inline Bytes to_bytes(std::span<const std::uint8_t> s) { return Bytes(s.begin(), s.end()); }

// Bytes [a, b) of v, clipped to what v holds (an out-of-range slice is empty, never an error).
inline Bytes slice(const Bytes& v, std::size_t a, std::size_t b) {
    Bytes out;
    for (std::size_t i = a; i < b && i < v.size(); ++i) out.push_back(v.at(i));
    return out;
}

// Little-endian value of all bytes of v (at most 4); an empty v reads as 0.
inline std::uint32_t le(const Bytes& v) {
    std::uint32_t x = 0;
    for (std::size_t i = v.size(); i-- > 0;) x = (x << 8) | v.at(i);
    return x;
}

inline std::uint32_t reverse_bits(std::uint32_t v, int width) {
    std::uint32_t out = 0;
    for (int i = 0; i < width; ++i)
        if (v & (1u << i)) out |= 1u << (width - 1 - i);
    return out;
}

// CRC-16/ARC from its textbook definition: poly 0x8005 fed MSB first, with input and result
// bit-reversed; shares nothing with the table-driven core.
inline std::uint16_t crc16_arc(const Bytes& v) {
    std::uint32_t crc = 0;
    for (std::uint8_t b : v) {
        crc ^= reverse_bits(b, 8) << 8;
        for (int k = 0; k < 8; ++k) crc = (crc & 0x8000) ? ((crc << 1) ^ 0x8005) & 0xFFFF : (crc << 1) & 0xFFFF;
    }
    return static_cast<std::uint16_t>(reverse_bits(crc, 16));
}

inline bool same(std::span<const std::uint8_t> a, const Bytes& b) { return to_bytes(a) == b; }

}  // namespace ref
