// CAN frame and command records in the adapter's byte layouts.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace fdh {

inline constexpr std::size_t CAN_HEAD_SIZE = 12;
inline constexpr std::size_t CAN_DATA_MAX = 64;
inline constexpr std::size_t CAN_VALUE_SIZE = CAN_HEAD_SIZE + CAN_DATA_MAX;  // 76
inline constexpr std::size_t CAN_TX_SIZE = 88;
inline constexpr std::size_t SETUP_BAUDRATE_SIZE = 9;
inline constexpr std::size_t CAN_ACK_SIZE = 64;

// Header of a frame reported by the adapter. Flag byte: bit0 fram_type, bit1 can_type,
// bit2 id_type, bit3 dir, bits4-7 dlc code.
struct CanHead {
    std::uint32_t id = 0;
    std::uint32_t time_stamp = 0;
    std::array<std::uint8_t, 3> reserve{};
    std::uint8_t fram_type = 0, can_type = 0, id_type = 0, dir = 0, dlc = 0;

    bool operator==(const CanHead&) const = default;
};

// The virtual adapter fills the reserve bytes: reserve[2] bit 7 is the bitrate switch and bit 6
// the error state indicator of an FD frame (both 0 for classic frames); the other 22 bits carry the
// low bits of its generator's sequence number, reserve[0] lowest.
inline constexpr std::uint8_t HEAD_BRS_BIT = 0x80;
inline constexpr std::uint8_t HEAD_ESI_BIT = 0x40;
inline constexpr unsigned HEAD_SEQ_BITS = 22;
inline constexpr std::uint32_t HEAD_SEQ_MASK = (std::uint32_t{1} << HEAD_SEQ_BITS) - 1;

constexpr std::array<std::uint8_t, 3> head_reserve(std::uint32_t seq, bool brs, bool esi) noexcept {
    seq &= HEAD_SEQ_MASK;
    return {static_cast<std::uint8_t>(seq), static_cast<std::uint8_t>(seq >> 8),
            static_cast<std::uint8_t>(seq >> 16 | (brs ? HEAD_BRS_BIT : 0) | (esi ? HEAD_ESI_BIT : 0))};
}
constexpr std::uint32_t head_seq(const std::array<std::uint8_t, 3>& r) noexcept {
    return (r[0] | std::uint32_t{r[1]} << 8 | std::uint32_t{r[2]} << 16) & HEAD_SEQ_MASK;
}
constexpr bool head_brs(const std::array<std::uint8_t, 3>& r) noexcept { return r[2] & HEAD_BRS_BIT; }
constexpr bool head_esi(const std::array<std::uint8_t, 3>& r) noexcept { return r[2] & HEAD_ESI_BIT; }

constexpr std::uint8_t head_flag_byte(std::uint64_t fram_type, std::uint64_t can_type, std::uint64_t id_type,
                                      std::uint64_t dir, std::uint64_t dlc) noexcept {
    return static_cast<std::uint8_t>((fram_type & 1) | ((can_type & 1) << 1) | ((id_type & 1) << 2) |
                                     ((dir & 1) << 3) | ((dlc & 15) << 4));
}

void encode_head(const CanHead& h, std::span<std::uint8_t, CAN_HEAD_SIZE> out) noexcept;
// Caller guarantees at least 12 bytes.
CanHead decode_head(const std::uint8_t* p) noexcept;
std::optional<CanHead> decode_head(std::span<const std::uint8_t> b) noexcept;

// Data length of a DLC code: 0-8 as is, 9-15 the CAN FD lengths, above 15 nothing,
// negative codes returned unchanged.
constexpr long dlc_to_len(long code) noexcept {
    constexpr long fd[7] = {12, 16, 20, 24, 32, 48, 64};
    if (code < 9) return code;
    if (code <= 15) return fd[code - 9];
    return 0;
}

// Transmit record (88 bytes). Flag byte: bit0 can_type, bit1 fram_type, bit2 id_type, bit3 fd_acc,
// bit4 id_increase, bit5 data_increase, bit6 cmd.
struct CanTx {
    std::array<std::uint8_t, 2> reserve0{};
    std::uint8_t can_type = 0, fram_type = 0, id_type = 0, fd_acc = 0, id_increase = 0, data_increase = 0, cmd = 0;
    std::uint8_t reserve1 = 0;
    std::uint8_t dlc = 0;
    std::int32_t send_time = 0;
    std::array<std::uint8_t, 4> reserve3{};
    std::uint32_t interval = 0;
    std::uint32_t can_id = 0;
    std::array<std::uint8_t, CAN_DATA_MAX> data{};

    bool operator==(const CanTx&) const = default;
};

constexpr std::uint8_t tx_flag_byte(std::uint64_t can_type, std::uint64_t fram_type, std::uint64_t id_type,
                                    std::uint64_t fd_acc, std::uint64_t id_increase, std::uint64_t data_increase,
                                    std::uint64_t cmd) noexcept {
    return static_cast<std::uint8_t>((can_type & 1) | ((fram_type & 1) << 1) | ((id_type & 1) << 2) |
                                     ((fd_acc & 1) << 3) | ((id_increase & 1) << 4) | ((data_increase & 1) << 5) |
                                     ((cmd & 1) << 6));
}

void encode_tx(const CanTx& t, std::span<std::uint8_t, CAN_TX_SIZE> out) noexcept;
std::array<std::uint8_t, CAN_TX_SIZE> encode_tx(const CanTx& t) noexcept;
// Decodes the same 88-byte layout encode_tx writes, so a transmit record round-trips.
std::optional<CanTx> decode_tx(std::span<const std::uint8_t> b) noexcept;

// Bit-timing payload of CMD_SETUP_BUARD, one byte per field in this order.
struct SetupBaudrate {
    std::uint8_t can_frame_type = 0;
    std::uint8_t can_seg1 = 0, can_seg2 = 0, can_sjw = 2, can_prescaler = 0;
    std::uint8_t canfd_seg1 = 0, canfd_seg2 = 0, canfd_sjw = 2, canfd_prescaler = 0;

    bool operator==(const SetupBaudrate&) const = default;
};

std::array<std::uint8_t, SETUP_BAUDRATE_SIZE> encode_setup(const SetupBaudrate& s) noexcept;
std::optional<SetupBaudrate> decode_setup(std::span<const std::uint8_t> b) noexcept;

inline constexpr std::uint32_t CAN_CLOCK_HZ = 80'000'000;
// Bit rate a prescaler and two segments give (0 when the prescaler is 0).
constexpr double phase_bitrate(unsigned prescaler, unsigned seg1, unsigned seg2) noexcept {
    return prescaler == 0 ? 0.0 : double(CAN_CLOCK_HZ) / prescaler / (seg1 + seg2 + 1);
}

struct CanAck {
    std::uint8_t ack_dat = 0;
    std::array<std::uint8_t, CAN_ACK_SIZE - 1> ack_reserve{};
    bool operator==(const CanAck&) const = default;
};
std::array<std::uint8_t, CAN_ACK_SIZE> encode_ack_record(const CanAck& a) noexcept;
std::optional<CanAck> decode_ack_record(std::span<const std::uint8_t> b) noexcept;

}  // namespace fdh
