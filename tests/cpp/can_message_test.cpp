// The python-can message <-> adapter record mapping: what goes into the 88-byte transmit record,
// which messages are refused and why, and how received records (hostile ones included) read back.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "can_message.hpp"

namespace {

fdh::CanMessage msg(std::uint32_t id, std::size_t len, bool fd = false, bool extended = false) {
    fdh::CanMessage m;
    m.id = id;
    m.fd = fd;
    m.extended = extended;
    std::vector<std::uint8_t> bytes(len);
    for (std::size_t i = 0; i < len; ++i) bytes[i] = static_cast<std::uint8_t>(0xA0 + i);
    fdh::assign_data(m, bytes);
    return m;
}

fdh::CanHead head(std::uint32_t id, std::uint8_t dlc, bool fd, bool data = true, bool ext = false, bool dir = false) {
    fdh::CanHead h;
    h.id = id;
    h.dlc = dlc;
    h.can_type = fd;
    h.fram_type = data;
    h.id_type = ext;
    h.dir = dir;
    return h;
}

std::vector<std::uint8_t> bytes(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i + 1);
    return v;
}

}  // namespace

TEST(TxRecord, FlagsAndFixedFieldsOnTheWire) {
    fdh::CanMessage m = msg(0x1ABCDEF0, 3, /*fd=*/true, /*extended=*/true);
    m.brs = true;
    m.esi = true;  // not carried by the record
    const auto b = fdh::make_tx_record(m);
    ASSERT_TRUE(b.ok());
    const auto wire = fdh::encode_tx(b.record);
    // bit0 can_type, bit1 fram_type, bit2 id_type, bit3 fd_acc; dlc byte count; send_time 1; interval 0.
    EXPECT_EQ(wire[2], 0x0F);
    EXPECT_EQ(wire[4], 3);
    EXPECT_EQ(wire[8], 1);
    EXPECT_EQ(wire[16] | wire[17] | wire[18] | wire[19], 0);
    EXPECT_EQ(wire[20] | wire[21] << 8 | wire[22] << 16 | wire[23] << 24, 0x1ABCDEF0);
    EXPECT_EQ(wire[24], 0xA0);
    m.esi = false;
    EXPECT_EQ(fdh::make_tx_record(m).record, b.record);

    const auto classic = fdh::make_tx_record(msg(0x123, 8)).record;
    EXPECT_EQ(fdh::encode_tx(classic)[2], 0x02);  // data frame only
    EXPECT_EQ(classic.dlc, 8);
}

TEST(TxRecord, FdPayloadsArePaddedWithZerosToTheNextFdLength) {
    const std::vector<std::pair<std::size_t, std::size_t>> cases = {
        {0, 0}, {8, 8}, {9, 12}, {12, 12}, {13, 16}, {17, 20}, {21, 24}, {25, 32}, {33, 48}, {49, 64}, {64, 64}};
    for (auto [n, padded] : cases) {
        fdh::CanMessage m = msg(0x10, n, true);
        m.data.fill(0xEE);  // stale bytes past len must not reach the wire
        std::copy_n(bytes(n).begin(), n, m.data.begin());
        const auto r = fdh::make_tx_record(m).record;
        EXPECT_EQ(r.dlc, padded) << n;
        for (std::size_t i = 0; i < 64; ++i) EXPECT_EQ(r.data[i], i < n ? i + 1 : 0) << n << " byte " << i;
    }
}

TEST(TxRecord, RemoteFrameCarriesTheRequestedLengthAndNoData) {
    fdh::CanMessage m = msg(0x7FF, 0);
    m.remote = true;
    m.len = 4;
    m.data.fill(0x55);
    const auto b = fdh::make_tx_record(m);
    ASSERT_TRUE(b.ok());
    EXPECT_EQ(b.record.dlc, 4);
    EXPECT_EQ(b.record.fram_type, 0);
    EXPECT_EQ(b.record.data, (std::array<std::uint8_t, 64>{}));
}

TEST(TxRecord, RefusedMessagesNameTheProblem) {
    struct Case {
        fdh::CanMessage m;
        fdh::TxError error;
        const char* text;
    };
    auto with = [](fdh::CanMessage m, auto change) {
        change(m);
        return m;
    };
    const std::vector<Case> cases = {
        {msg(0x800, 0), fdh::TxError::StandardIdRange, "0x800"},
        {msg(0x20000000, 0, false, true), fdh::TxError::ExtendedIdRange, "0x20000000"},
        {msg(0x1, 9), fdh::TxError::ClassicTooLong, "not 9"},
        {msg(0x1, 65, true), fdh::TxError::FdTooLong, "not 65"},
        {msg(0x1, 300, true), fdh::TxError::FdTooLong, "not 300"},
        {with(msg(0x1, 0), [](auto& m) { m.remote = true, m.len = 9; }), fdh::TxError::ClassicTooLong, "remote"},
        {with(msg(0x1, 0, true), [](auto& m) { m.remote = true; }), fdh::TxError::FdRemote, "remote"},
        {with(msg(0x1, 0), [](auto& m) { m.brs = true; }), fdh::TxError::BrsWithoutFd, "bitrate switch"},
    };
    for (const auto& c : cases) {
        const auto b = fdh::make_tx_record(c.m);
        EXPECT_EQ(b.error, c.error) << c.text;
        EXPECT_NE(fdh::describe(b.error, c.m).find(c.text), std::string::npos) << fdh::describe(b.error, c.m);
    }
    // The limits themselves are accepted.
    for (const auto& m : {msg(0x7FF, 8), msg(0x1FFFFFFF, 64, true, true), msg(0x0, 0)})
        EXPECT_TRUE(fdh::make_tx_record(m).ok()) << m.id;
}

TEST(RxRecord, FieldsFromTheHeader) {
    const auto data = bytes(64);
    fdh::CanMessage m;
    ASSERT_EQ(fdh::message_from_record(head(0x1FFFFFFF, 13, true, true, true, true), data, 1700000000123456, m),
              fdh::RxError::None);
    EXPECT_EQ(m.id, 0x1FFFFFFFu);
    EXPECT_TRUE(m.fd && m.extended && m.echo && !m.remote && !m.brs && !m.esi);
    EXPECT_EQ(m.len, 32);
    EXPECT_EQ(m.timestamp_us, 1700000000123456u);
    EXPECT_EQ(m.data[31], 32);
    EXPECT_EQ(m.data[32], 0);
}

TEST(RxRecord, LengthFromTheDlcCode) {
    // {code, fd, len}: classic codes 9-15 mean 8 bytes; an FD record without the data-frame bit is data.
    struct Case {
        std::uint8_t code;
        bool fd;
        std::uint16_t len;
    };
    for (auto c : std::vector<Case>{{0, false, 0}, {8, false, 8}, {9, false, 8}, {15, false, 8},
                                    {8, true, 8}, {9, true, 12}, {14, true, 48}, {15, true, 64}}) {
        fdh::CanMessage m;
        ASSERT_EQ(fdh::message_from_record(head(0x5, c.code, c.fd, !c.fd), bytes(64), 0, m), fdh::RxError::None);
        EXPECT_EQ(m.len, c.len) << int(c.code);
        EXPECT_FALSE(m.remote);
    }
}

TEST(RxRecord, RemoteFrameHasTheRequestedLengthAndNoData) {
    fdh::CanMessage m;
    m.data.fill(0x77);  // whatever the output held before
    ASSERT_EQ(fdh::message_from_record(head(0x123, 4, false, false), bytes(4), 0, m), fdh::RxError::None);
    EXPECT_TRUE(m.remote);
    EXPECT_EQ(m.len, 4);
    EXPECT_EQ(m.data, (std::array<std::uint8_t, 64>{}));
    // A remote record need not carry the bytes it requests.
    EXPECT_EQ(fdh::message_from_record(head(0x123, 8, false, false), {}, 0, m), fdh::RxError::None);
}

TEST(RxRecord, HostileRecordsAreRefused) {
    fdh::CanMessage m;
    EXPECT_EQ(fdh::message_from_record(head(0x800, 0, false), {}, 0, m), fdh::RxError::IdRange);
    EXPECT_EQ(fdh::message_from_record(head(0x20000000, 0, false, true, true), {}, 0, m), fdh::RxError::IdRange);
    EXPECT_EQ(fdh::message_from_record(head(0x1, 15, true), bytes(63), 0, m), fdh::RxError::Truncated);
    EXPECT_EQ(fdh::message_from_record(head(0x1, 12, false), bytes(7), 0, m), fdh::RxError::Truncated);
}
