// The python-can message <-> adapter record mapping: what goes into the 88-byte transmit record,
// which messages are refused and why, and how received records (hostile ones included) read back.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "can_message.hpp"

namespace {

std::vector<std::uint8_t> bytes(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i + 1);
    return v;
}

fdh::CanMessage msg(std::uint32_t id, std::size_t len, bool fd = false, bool extended = false) {
    fdh::CanMessage m;
    m.id = id;
    m.fd = fd;
    m.extended = extended;
    fdh::assign_data(m, bytes(len));
    return m;
}

// A header as the adapter sends it: identifier, zero time stamp and reserve, then the flag byte.
fdh::CanHead head(std::uint32_t id, std::uint8_t flags) {
    const std::array<std::uint8_t, 12> raw = {std::uint8_t(id), std::uint8_t(id >> 8), std::uint8_t(id >> 16),
                                              std::uint8_t(id >> 24), 0, 0, 0, 0, 0, 0, 0, flags};
    return fdh::decode_head(raw.data());
}

}  // namespace

TEST(TxRecord, FlagsAndFixedFieldsOnTheWire) {
    fdh::CanMessage m = msg(0x1ABCDEF0, 3, /*fd=*/true, /*extended=*/true);
    m.brs = m.esi = true;
    const auto b = fdh::make_tx_record(m);
    ASSERT_TRUE(b.ok());
    const auto wire = fdh::encode_tx(b.record);
    // bit0 can_type, bit1 fram_type, bit2 id_type, bit3 fd_acc; dlc byte count; send_time 1; interval 0.
    EXPECT_EQ(wire[2], 0x0F);
    EXPECT_EQ(wire[4], 3);
    EXPECT_EQ(wire[8], 1);
    EXPECT_EQ(wire[16] | wire[17] | wire[18] | wire[19], 0);
    EXPECT_EQ(wire[20] | wire[21] << 8 | wire[22] << 16 | wire[23] << 24, 0x1ABCDEF0);
    m.esi = false;  // the record has no ESI bit
    EXPECT_EQ(fdh::make_tx_record(m).record, b.record);
    EXPECT_EQ(fdh::encode_tx(fdh::make_tx_record(msg(0x123, 8)).record)[2], 0x02);  // classic data frame
}

TEST(TxRecord, FdPaddingWithZerosAndRemoteFrames) {
    for (auto [n, padded] : std::vector<std::pair<std::size_t, std::size_t>>{
             {0, 0}, {8, 8}, {9, 12}, {13, 16}, {17, 20}, {21, 24}, {25, 32}, {33, 48}, {49, 64}, {64, 64}}) {
        fdh::CanMessage m = msg(0x10, n, true);
        std::fill(m.data.begin() + n, m.data.end(), 0xEE);  // stale bytes past len must not reach the wire
        const auto r = fdh::make_tx_record(m).record;
        EXPECT_EQ(r.dlc, padded) << n;
        for (std::size_t i = 0; i < 64; ++i) EXPECT_EQ(r.data[i], i < n ? i + 1 : 0) << n << " byte " << i;
    }
    fdh::CanMessage remote = msg(0x7FF, 8);
    remote.remote = true;
    remote.len = 4;
    const auto r = fdh::make_tx_record(remote).record;
    EXPECT_EQ(r.dlc, 4);
    EXPECT_EQ(r.fram_type, 0);
    EXPECT_EQ(r.data, (std::array<std::uint8_t, 64>{}));
}

TEST(TxRecord, RefusedMessagesNameTheProblem) {
    auto with = [](fdh::CanMessage m, auto change) {
        change(m);
        return m;
    };
    const std::vector<std::tuple<fdh::CanMessage, fdh::TxError, std::string>> cases = {
        {msg(0x800, 0), fdh::TxError::StandardIdRange, "0x800"},
        {msg(0x20000000, 0, false, true), fdh::TxError::ExtendedIdRange, "0x20000000"},
        {msg(0x1, 9), fdh::TxError::ClassicTooLong, "not 9"},
        {msg(0x1, 300, true), fdh::TxError::FdTooLong, "not 300"},
        {with(msg(0x1, 0), [](auto& m) { m.remote = true, m.len = 9; }), fdh::TxError::ClassicTooLong, "remote"},
        {with(msg(0x1, 0, true), [](auto& m) { m.remote = true; }), fdh::TxError::FdRemote, "remote"},
        {with(msg(0x1, 0), [](auto& m) { m.brs = true; }), fdh::TxError::BrsWithoutFd, "bitrate switch"},
    };
    for (const auto& [m, error, text] : cases) {
        EXPECT_EQ(fdh::make_tx_record(m).error, error) << text;
        EXPECT_NE(fdh::describe(error, m).find(text), std::string::npos) << fdh::describe(error, m);
    }
    for (const auto& m : {msg(0x7FF, 8), msg(0x1FFFFFFF, 64, true, true)}) EXPECT_TRUE(fdh::make_tx_record(m).ok());
}

TEST(RxRecord, FromHeaderAndData) {
    struct Case {
        std::uint32_t id;
        std::uint8_t flags;  // the header's flag byte: fram_type, can_type, id_type, dir, dlc << 4
        std::size_t present;
        fdh::RxError error;
        std::uint16_t len;
        bool remote;
    };
    const std::vector<Case> cases = {
        {0x123, 0x81, 8, fdh::RxError::None, 8, false},
        {0x123, 0xF1, 64, fdh::RxError::None, 8, false},  // classic codes 9-15 mean 8 bytes
        {0x123, 0xD3, 32, fdh::RxError::None, 32, false},
        {0x123, 0xF2, 64, fdh::RxError::None, 64, false},  // FD without the data-frame bit: FD has no remote
        {0x123, 0x40, 0, fdh::RxError::None, 4, true},     // remote: requested length, no bytes needed
        {0x1FFFFFFF, 0xFF, 64, fdh::RxError::None, 64, false},
        {0x800, 0x01, 0, fdh::RxError::IdRange, 0, false},
        {0x20000000, 0x05, 0, fdh::RxError::IdRange, 0, false},
        {0x1, 0xF3, 63, fdh::RxError::Truncated, 0, false},
    };
    for (const auto& c : cases) {
        fdh::CanMessage m;
        m.data.fill(0x77);  // whatever the output held before
        const auto data = bytes(c.present);
        ASSERT_EQ(fdh::message_from_record(head(c.id, c.flags), bytes(c.present), 1700000000123456, m), c.error)
            << std::hex << int(c.flags);
        if (c.error != fdh::RxError::None) continue;
        EXPECT_EQ(m.len, c.len) << std::hex << int(c.flags);
        EXPECT_EQ(m.remote, c.remote);
        EXPECT_EQ(m.fd, bool(c.flags & 2));
        EXPECT_EQ(m.extended, bool(c.flags & 4));
        EXPECT_EQ(m.echo, bool(c.flags & 8));
        EXPECT_EQ(m.timestamp_us, 1700000000123456u);
        for (std::size_t i = 0; i < 64; ++i) EXPECT_EQ(m.data[i], i < c.len && !c.remote ? i + 1 : 0);
    }
}
