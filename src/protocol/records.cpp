#include "records.hpp"

#include <algorithm>

#include "byte_order.hpp"

namespace fdh {

namespace {
// Bit i of a flag byte into the i-th field.
template <std::size_t N>
void unpack_flags(std::uint8_t byte, std::uint8_t* const (&fields)[N]) noexcept {
    for (std::size_t i = 0; i < N; ++i) *fields[i] = (byte >> i) & 1;
}
}  // namespace

void encode_head(const CanHead& h, std::span<std::uint8_t, CAN_HEAD_SIZE> out) noexcept {
    put_le32(out.data(), h.id);
    put_le32(out.data() + 4, h.time_stamp);
    std::copy(h.reserve.begin(), h.reserve.end(), out.begin() + 8);
    out[11] = head_flag_byte(h.fram_type, h.can_type, h.id_type, h.dir, h.dlc);
}

CanHead decode_head(const std::uint8_t* p) noexcept {
    CanHead h;
    h.id = get_le32(p);
    h.time_stamp = get_le32(p + 4);
    h.reserve = {p[8], p[9], p[10]};
    const std::uint8_t f = p[11];
    h.fram_type = f & 1;
    h.can_type = (f >> 1) & 1;
    h.id_type = (f >> 2) & 1;
    h.dir = (f >> 3) & 1;
    h.dlc = (f >> 4) & 15;
    return h;
}

std::optional<CanHead> decode_head(std::span<const std::uint8_t> b) noexcept {
    if (b.size() < CAN_HEAD_SIZE) return std::nullopt;
    return decode_head(b.data());
}

void encode_tx(const CanTx& t, std::span<std::uint8_t, CAN_TX_SIZE> out) noexcept {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    out[0] = t.reserve0[0];
    out[1] = t.reserve0[1];
    out[2] = tx_flag_byte(t.can_type, t.fram_type, t.id_type, t.fd_acc, t.id_increase, t.data_increase, t.cmd);
    out[3] = t.reserve1;
    out[4] = t.dlc;
    put_le32(out.data() + 8, static_cast<std::uint32_t>(t.send_time));
    std::copy(t.reserve3.begin(), t.reserve3.end(), out.begin() + 12);
    put_le32(out.data() + 16, t.interval);
    put_le32(out.data() + 20, t.can_id);
    std::copy(t.data.begin(), t.data.end(), out.begin() + 24);
}

std::array<std::uint8_t, CAN_TX_SIZE> encode_tx(const CanTx& t) noexcept {
    std::array<std::uint8_t, CAN_TX_SIZE> out{};
    encode_tx(t, out);
    return out;
}

std::optional<CanTx> decode_tx(std::span<const std::uint8_t> b) noexcept {
    if (b.size() < CAN_TX_SIZE) return std::nullopt;
    const std::uint8_t* p = b.data();
    CanTx t;
    t.reserve0 = {p[0], p[1]};
    unpack_flags(p[2], {&t.can_type, &t.fram_type, &t.id_type, &t.fd_acc, &t.id_increase, &t.data_increase, &t.cmd});
    t.reserve1 = p[3];
    t.dlc = p[4];
    t.send_time = static_cast<std::int32_t>(get_le32(p + 8));
    t.reserve3 = {p[12], p[13], p[14], p[15]};
    t.interval = get_le32(p + 16);
    t.can_id = get_le32(p + 20);
    std::copy_n(p + 24, CAN_DATA_MAX, t.data.begin());
    return t;
}

std::array<std::uint8_t, SETUP_BAUDRATE_SIZE> encode_setup(const SetupBaudrate& s) noexcept {
    return {s.can_frame_type, s.can_seg1,   s.can_seg2,   s.can_sjw,        s.can_prescaler,
            s.canfd_seg1,     s.canfd_seg2, s.canfd_sjw, s.canfd_prescaler};
}

std::optional<SetupBaudrate> decode_setup(std::span<const std::uint8_t> b) noexcept {
    if (b.size() < SETUP_BAUDRATE_SIZE) return std::nullopt;
    return SetupBaudrate{b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8]};
}

std::array<std::uint8_t, CAN_ACK_SIZE> encode_ack_record(const CanAck& a) noexcept {
    std::array<std::uint8_t, CAN_ACK_SIZE> out{};
    out[0] = a.ack_dat;
    std::copy(a.ack_reserve.begin(), a.ack_reserve.end(), out.begin() + 1);
    return out;
}

std::optional<CanAck> decode_ack_record(std::span<const std::uint8_t> b) noexcept {
    if (b.size() < CAN_ACK_SIZE) return std::nullopt;
    CanAck a;
    a.ack_dat = b[0];
    std::copy_n(b.begin() + 1, CAN_ACK_SIZE - 1, a.ack_reserve.begin());
    return a;
}

}  // namespace fdh
