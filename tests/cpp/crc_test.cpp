// The slicing-by-4 CRC must agree with the one-bit-at-a-time definition for every length and start
// alignment, since a slip in the four-byte step only shows at some lengths or offsets.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <span>
#include <string_view>
#include <vector>

#include "crc.hpp"

namespace {

std::uint16_t bitwise_arc(std::span<const std::uint8_t> data) {
    std::uint16_t crc = 0;
    for (std::uint8_t b : data) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

std::vector<std::uint8_t> random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng());
    return v;
}

std::span<const std::uint8_t> bytes_of(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace

TEST(Crc16, KnownValues) {
    EXPECT_EQ(fdh::crc16_ibm(bytes_of("123456789")), 0xBB3D);  // the catalogue check value
    EXPECT_EQ(fdh::crc16_ibm({}), 0x0000);
    const std::uint8_t stop_cap[] = {0x01, 0x00, 0x00};
    EXPECT_EQ(fdh::crc16_ibm(stop_cap), 0xC051);
    std::vector<std::uint8_t> heartbeat = {0x10, 0x11, 0x00};
    heartbeat.insert(heartbeat.end(), 17, 0xFF);
    EXPECT_EQ(fdh::crc16_ibm(heartbeat), 0x1C0A);
}

TEST(Crc16, SlicedMatchesBitwiseAtEveryShortLengthAndAlignment) {
    const auto buf = random_bytes(400, 1);
    for (std::size_t start = 0; start < 8; ++start)
        for (std::size_t len = 0; start + len <= 300; ++len) {
            const auto s = std::span<const std::uint8_t>(buf).subspan(start, len);
            ASSERT_EQ(fdh::crc16_ibm(s), bitwise_arc(s)) << "start " << start << " length " << len;
        }
}

TEST(Crc16, SlicedMatchesBitwiseOnLongRuns) {
    const auto buf = random_bytes(51200 + 8, 2);
    const std::span<const std::uint8_t> all(buf);
    EXPECT_EQ(fdh::crc16_ibm(all.first(51200)), bitwise_arc(all.first(51200)));
    std::mt19937 rng(3);
    for (int i = 0; i < 200; ++i) {
        const std::size_t start = rng() % 8, len = rng() % 51201;
        ASSERT_EQ(fdh::crc16_ibm(all.subspan(start, len)), bitwise_arc(all.subspan(start, len)))
            << "start " << start << " length " << len;
    }
    // Saturated inputs drive every table index to its extremes.
    for (std::uint8_t fill : {0x00, 0xFF, 0x5A}) {
        const std::vector<std::uint8_t> same(51200, fill);
        EXPECT_EQ(fdh::crc16_ibm(same), bitwise_arc(same)) << "fill " << int(fill);
    }
}

TEST(Crc16, UpdateContinuesAcrossAnySplit) {
    const auto buf = random_bytes(64, 4);
    const std::span<const std::uint8_t> all(buf);
    const std::uint16_t whole = bitwise_arc(all);
    for (std::size_t cut = 0; cut <= all.size(); ++cut)
        ASSERT_EQ(fdh::crc16_update(fdh::crc16_ibm(all.first(cut)), all.subspan(cut)), whole) << "cut " << cut;
    std::uint16_t crc = 0;
    for (std::uint8_t b : buf) crc = fdh::crc16_byte(crc, b);
    EXPECT_EQ(crc, whole);
}
