#include "crc.hpp"

#include <array>

namespace fdh {
namespace {

// Reflected table: one entry per byte value, 0xA001 being 0x8005 bit-reversed.
constexpr std::array<std::uint16_t, 256> make_table() {
    std::array<std::uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t r = static_cast<std::uint16_t>(i);
        for (int k = 0; k < 8; ++k) r = (r & 1) ? static_cast<std::uint16_t>((r >> 1) ^ 0xA001) : static_cast<std::uint16_t>(r >> 1);
        t[i] = r;
    }
    return t;
}

// Slicing-by-8 tables, so large receive sections are checked eight bytes per step.
constexpr std::array<std::array<std::uint16_t, 256>, 8> make_tables() {
    std::array<std::array<std::uint16_t, 256>, 8> t{};
    t[0] = make_table();
    for (unsigned i = 0; i < 256; ++i)
        for (int k = 1; k < 8; ++k)
            t[k][i] = static_cast<std::uint16_t>((t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF]);
    return t;
}

constexpr auto TABLES = make_tables();

}  // namespace

std::uint16_t crc16_byte(std::uint16_t crc, std::uint8_t byte) noexcept {
    return static_cast<std::uint16_t>((crc >> 8) ^ TABLES[0][(crc ^ byte) & 0xFF]);
}

std::uint16_t crc16_update(std::uint16_t crc, std::span<const std::uint8_t> data) noexcept {
    const std::uint8_t* p = data.data();
    std::size_t n = data.size();
    while (n >= 8) {
        const std::uint32_t x = crc ^ (static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8));
        crc = static_cast<std::uint16_t>(TABLES[7][x & 0xFF] ^ TABLES[6][(x >> 8) & 0xFF] ^ TABLES[5][p[2]] ^
                                         TABLES[4][p[3]] ^ TABLES[3][p[4]] ^ TABLES[2][p[5]] ^ TABLES[1][p[6]] ^
                                         TABLES[0][p[7]]);
        p += 8;
        n -= 8;
    }
    while (n >= 4) {
        std::uint32_t x = crc ^ (static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8));
        crc = static_cast<std::uint16_t>(TABLES[3][x & 0xFF] ^ TABLES[2][(x >> 8) & 0xFF] ^ TABLES[1][p[2]] ^
                                         TABLES[0][p[3]]);
        p += 4;
        n -= 4;
    }
    while (n--) crc = crc16_byte(crc, *p++);
    return crc;
}

}  // namespace fdh
