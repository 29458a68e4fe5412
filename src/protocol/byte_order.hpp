// Little-endian field access; every multi-byte field on the wire is little-endian.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

namespace fdh {

inline std::uint16_t get_le16(const std::uint8_t* p) noexcept {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t get_le32(const std::uint8_t* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void put_le16(std::uint8_t* p, std::uint16_t v) noexcept {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put_le32(std::uint8_t* p, std::uint32_t v) noexcept {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void append_le32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// Little-endian value of up to `width` bytes starting at `pos`, counting only bytes inside `s`
// (a field cut short by the end of the data reads as the shorter number; none reads as 0).
inline std::uint32_t get_le_clipped(std::span<const std::uint8_t> s, std::size_t pos, std::size_t width) noexcept {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < width && pos + i < s.size(); ++i) v |= static_cast<std::uint32_t>(s[pos + i]) << (8 * i);
    return v;
}

}  // namespace fdh
