// The receive path at its limits: a full 51,200-byte read, and sections whose count or claimed
// length promise more bytes than are there (fields then read as shorter numbers, records as cut).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "constants.hpp"
#include "crc.hpp"
#include "receive_container.hpp"

namespace {

std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i);
    return v;
}

fdh::CanHead head(std::uint32_t id, std::uint8_t dlc) {
    fdh::CanHead h;
    h.id = id;
    h.time_stamp = id * 7;
    h.fram_type = 1;
    h.dlc = dlc;
    return h;
}

}  // namespace

TEST(MaximalContainer, EveryRecordOfAFullReadIsDelivered) {
    // 673 records of 76 bytes, then one of 28 and one of 17: 51,193 record bytes, a 51,200-byte read.
    std::vector<std::uint8_t> dlcs(673, 15);
    dlcs.push_back(10);
    dlcs.push_back(5);
    std::vector<std::uint8_t> records;
    for (std::uint32_t i = 0; i < dlcs.size(); ++i)
        fdh::append_record(records, head(i, dlcs[i]), pattern(64, static_cast<std::uint8_t>(i)));
    const auto transfer = fdh::make_container(records);
    ASSERT_EQ(transfer.size(), static_cast<std::size_t>(fdh::RX_LENGTH));

    const auto c = fdh::check_container(transfer);
    ASSERT_EQ(c.check, fdh::ContainerCheck::Ok);
    EXPECT_EQ(c.bytes_num, 51193u);
    const auto s = fdh::check_section(c.section, static_cast<long long>(c.section.size()));
    ASSERT_EQ(s.check, fdh::SectionCheck::Ok);

    fdh::RecordCursor cursor(s.records, s.bytes_size);
    fdh::RecordView v;
    std::uint32_t n = 0;
    while (cursor.next(v) == fdh::RecordStep::Record) {
        ASSERT_EQ(v.head.id, n);
        ASSERT_EQ(v.head.dlc, dlcs[n]);
        const auto want = pattern(static_cast<std::size_t>(fdh::dlc_to_len(dlcs[n])), static_cast<std::uint8_t>(n));
        ASSERT_TRUE(std::equal(v.data.begin(), v.data.end(), want.begin(), want.end())) << "record " << n;
        ++n;
    }
    EXPECT_EQ(n, dlcs.size());
    EXPECT_EQ(cursor.next(v), fdh::RecordStep::End);
    EXPECT_EQ(cursor.offset(), 51193u);
}

TEST(SectionLengthsLie, ASingleZeroByteReadsAsAnEmptyValidSection) {
    // Count and checksum both lie past the byte: each reads 0, and the CRC of one zero byte is 0.
    const std::uint8_t one[] = {0x00};
    const auto s = fdh::check_section(one, 4);
    EXPECT_EQ(s.check, fdh::SectionCheck::Ok);
    EXPECT_EQ(s.bytes_size, 0u);
    EXPECT_TRUE(s.records.empty());
}

TEST(SectionLengthsLie, HalfAChecksumReadsAsItsLowByte) {
    // Find record bytes whose checksum has a zero high byte, then drop that byte from the section.
    for (unsigned ab = 0; ab < 0x10000; ++ab) {
        std::vector<std::uint8_t> sec = {0x02, 0x00, static_cast<std::uint8_t>(ab), static_cast<std::uint8_t>(ab >> 8)};
        const std::uint16_t crc = fdh::crc16_ibm(sec);
        if (crc > 0xFF) continue;
        sec.push_back(static_cast<std::uint8_t>(crc));
        const auto s = fdh::check_section(sec, 6);
        EXPECT_EQ(s.check, fdh::SectionCheck::Ok);
        EXPECT_EQ(s.crc_recv, crc);
        sec.push_back(0x01);  // now the high byte is present and wrong
        EXPECT_EQ(fdh::check_section(sec, 6).check, fdh::SectionCheck::CrcFailed);
        return;
    }
    FAIL() << "no two-byte record with a one-byte checksum";
}

TEST(SectionLengthsLie, CursorCutsRecordsAtTheEndOfTheBytes) {
    // The count promises 40 record bytes; only one header and 3 of its 8 data bytes are there.
    std::vector<std::uint8_t> records;
    fdh::append_record(records, head(0x42, 8), pattern(8, 0xA0));
    records.resize(15);
    std::vector<std::uint8_t> sec = {40, 0};
    sec.insert(sec.end(), records.begin(), records.end());

    const auto s = fdh::check_section(sec, 44);
    EXPECT_EQ(s.check, fdh::SectionCheck::CrcFailed);  // the missing checksum reads as 0
    EXPECT_EQ(s.crc_recv, 0);
    ASSERT_EQ(s.records.size(), 15u);

    fdh::RecordCursor cursor(s.records, s.bytes_size);
    fdh::RecordView v;
    ASSERT_EQ(cursor.next(v), fdh::RecordStep::Record);
    EXPECT_EQ(v.head.id, 0x42u);
    EXPECT_EQ(v.data.size(), 3u);
    EXPECT_EQ(v.data[0], 0xA0);
    // 20 counted bytes remain, but no header is there to read.
    EXPECT_EQ(cursor.next(v), fdh::RecordStep::HeaderTruncated);
}
