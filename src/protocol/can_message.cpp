#include "can_message.hpp"

#include <algorithm>
#include <cstdio>

namespace fdh {

std::size_t fd_length(std::size_t n) noexcept {
    if (n <= CLASSIC_DATA_MAX) return n;
    for (std::size_t len : {12u, 16u, 20u, 24u, 32u, 48u})
        if (n <= len) return len;
    return CAN_DATA_MAX;
}

void assign_data(CanMessage& m, std::span<const std::uint8_t> bytes) noexcept {
    m.len = static_cast<std::uint16_t>(std::min<std::size_t>(bytes.size(), 0xFFFF));
    m.data.fill(0);
    std::copy_n(bytes.begin(), std::min(bytes.size(), CAN_DATA_MAX), m.data.begin());
}

namespace {

TxError check(const CanMessage& m) noexcept {
    if (m.fd && m.remote) return TxError::FdRemote;
    if (m.brs && !m.fd) return TxError::BrsWithoutFd;
    if (m.id > (m.extended ? EXTENDED_ID_MAX : STANDARD_ID_MAX))
        return m.extended ? TxError::ExtendedIdRange : TxError::StandardIdRange;
    if (m.len > (m.fd ? CAN_DATA_MAX : CLASSIC_DATA_MAX)) return m.fd ? TxError::FdTooLong : TxError::ClassicTooLong;
    return TxError::None;
}

std::string hex(std::uint32_t v) {
    char buf[12];
    std::snprintf(buf, sizeof buf, "0x%lX", static_cast<unsigned long>(v));
    return buf;
}

}  // namespace

TxBuild make_tx_record(const CanMessage& m) noexcept {
    TxBuild out;
    out.error = check(m);
    if (!out.ok()) return out;
    CanTx& t = out.record;
    t.can_type = m.fd;
    t.fram_type = !m.remote;
    t.id_type = m.extended;
    t.fd_acc = m.brs;
    t.send_time = 1;
    t.interval = 0;
    t.can_id = m.id;
    if (m.remote) {
        t.dlc = static_cast<std::uint8_t>(m.len);
        return out;
    }
    // Only len bytes are copied, so the FD padding is the record's zeros, not stale bytes of m.data.
    std::copy_n(m.data.begin(), m.len, t.data.begin());
    t.dlc = static_cast<std::uint8_t>(m.fd ? fd_length(m.len) : m.len);
    return out;
}

std::string describe_length(const CanMessage& m, std::size_t n) {
    if (m.fd) return "a CAN FD frame carries at most 64 data bytes, not " + std::to_string(n);
    return (m.remote ? "a remote frame requests at most 8 bytes, not "
                     : "a classic CAN frame carries at most 8 data bytes, not ") +
           std::to_string(n);
}

std::string describe(TxError e, const CanMessage& m) {
    switch (e) {
        case TxError::None:
            return {};
        case TxError::FdRemote:
            return "CAN FD has no remote frames: a remote frame must be a classic CAN frame";
        case TxError::BrsWithoutFd:
            return "the bitrate switch exists only in CAN FD frames: set is_fd or clear bitrate_switch";
        case TxError::StandardIdRange:
            return "identifier " + hex(m.id) + " does not fit a standard (11-bit) frame, whose largest is " +
                   hex(STANDARD_ID_MAX);
        case TxError::ExtendedIdRange:
            return "identifier " + hex(m.id) + " does not fit an extended (29-bit) frame, whose largest is " +
                   hex(EXTENDED_ID_MAX);
        case TxError::ClassicTooLong:
        case TxError::FdTooLong:
            return describe_length(m, m.len);
    }
    return "invalid message";
}

RxError message_from_record(const CanHead& head, std::span<const std::uint8_t> data, std::uint64_t timestamp_us,
                            CanMessage& out) noexcept {
    const bool fd = head.can_type & 1;
    const bool extended = head.id_type & 1;
    if (head.id > (extended ? EXTENDED_ID_MAX : STANDARD_ID_MAX)) return RxError::IdRange;
    std::size_t len = static_cast<std::size_t>(dlc_to_len(head.dlc & 15));
    if (!fd) len = std::min(len, CLASSIC_DATA_MAX);
    const bool remote = !fd && !(head.fram_type & 1);
    if (!remote && data.size() < len) return RxError::Truncated;

    out.timestamp_us = timestamp_us;
    out.id = head.id;
    out.extended = extended;
    out.remote = remote;
    out.fd = fd;
    out.brs = false;  // the received record does not say which rate the data phase used
    out.esi = false;
    out.echo = head.dir & 1;
    out.len = static_cast<std::uint16_t>(len);
    out.data.fill(0);
    if (!remote) std::copy_n(data.begin(), len, out.data.begin());
    return RxError::None;
}

}  // namespace fdh
