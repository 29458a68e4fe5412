// Short reads of an acknowledgement: the length, checksum and data fields lie past what was read and
// read as shorter numbers, and the local checksum covers whatever bytes are there, end byte included.
#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <vector>

#include "ack_frame.hpp"
#include "crc.hpp"

namespace {

// Fills frame[at] and frame[at + 1] so that the CRC over frame[1..] is 0; unique when it exists.
bool zero_crc_with_two_bytes(std::vector<std::uint8_t>& frame, std::size_t at) {
    for (unsigned xy = 0; xy < 0x10000; ++xy) {
        frame[at] = static_cast<std::uint8_t>(xy);
        frame[at + 1] = static_cast<std::uint8_t>(xy >> 8);
        if (fdh::crc16_ibm(std::span<const std::uint8_t>(frame).subspan(1)) == 0) return true;
    }
    return false;
}

}  // namespace

TEST(AckShortRead, FourBytesWhoseChecksumLiesBeyondTheRead) {
    // A5 cmd code 5A: the length reads 0x5A from its low byte alone, the checksum bytes are missing
    // (0), and the local checksum runs over cmd, code and the end byte.
    std::vector<std::uint8_t> f = {0xA5, 0, 0, 0x5A};
    ASSERT_TRUE(zero_crc_with_two_bytes(f, 1));
    const auto r = fdh::check_ack(f, f[1]);
    EXPECT_EQ(r.check, f[2] == 0 ? fdh::AckCheck::Accepted : fdh::AckCheck::Rejected);
    EXPECT_EQ(r.ack_len, 0x5Au);
    EXPECT_EQ(r.crc, 0);
    EXPECT_TRUE(r.data.empty());
    EXPECT_FALSE(r.data_complete);
    EXPECT_EQ(fdh::check_ack(f, static_cast<std::uint8_t>(f[1] + 1)).check, fdh::AckCheck::CmdError);
}

TEST(AckShortRead, DataCutShortKeepsWhatWasRead) {
    // Ten data bytes promised, four read before the end byte; the end byte counts as data.
    std::vector<std::uint8_t> f = {0xA5, 0x07, 0x00, 10, 0, 0x11, 0x22, 0, 0, 0x5A};
    ASSERT_TRUE(zero_crc_with_two_bytes(f, 7));
    const auto r = fdh::check_ack(f, 0x07);
    EXPECT_EQ(r.check, fdh::AckCheck::Accepted);
    EXPECT_EQ(r.ack_len, 10u);
    EXPECT_EQ(r.crc, 0);
    ASSERT_EQ(r.data.size(), 5u);
    EXPECT_EQ(r.data[0], 0x11);
    EXPECT_EQ(r.data[4], 0x5A);
    EXPECT_FALSE(r.data_complete);
}

TEST(AckShortRead, ChecksumHighByteDoublesAsEndByte) {
    // A frame one byte short: the end byte sits where the checksum's high byte belongs and is read
    // as both. It passes only if the checksum's high byte happens to be 0x5A.
    for (unsigned cmd = 0; cmd < 256; ++cmd)
        for (unsigned code = 0; code < 256; ++code) {
            const std::uint8_t body[] = {static_cast<std::uint8_t>(cmd), static_cast<std::uint8_t>(code), 0, 0};
            const std::uint16_t crc = fdh::crc16_ibm(body);
            if ((crc >> 8) != 0x5A) continue;
            const std::vector<std::uint8_t> f = {0xA5, body[0], body[1], 0, 0, static_cast<std::uint8_t>(crc), 0x5A};
            const auto r = fdh::check_ack(f, body[0]);
            EXPECT_EQ(r.crc, crc);
            EXPECT_TRUE(r.data_complete);
            EXPECT_NE(r.check, fdh::AckCheck::CrcError);
            return;
        }
    FAIL() << "no command/code pair with checksum high byte 0x5A";
}
