// A CAN or CAN FD frame as the python-can Bus exchanges it with the native side, and its mapping to
// the adapter's transmit record and from the adapter's received-frame records.
#pragma once
#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "records.hpp"

namespace fdh {

inline constexpr std::uint32_t STANDARD_ID_MAX = 0x7FF;
inline constexpr std::uint32_t EXTENDED_ID_MAX = 0x1FFFFFFF;
inline constexpr std::size_t CLASSIC_DATA_MAX = 8;

struct CanMessage {
    std::uint64_t timestamp_us = 0;  // epoch microseconds at reception; unused for sending
    std::uint32_t id = 0;
    bool extended = false;
    bool remote = false;
    bool fd = false;
    bool brs = false;
    bool esi = false;
    bool echo = false;       // the adapter's report of a frame it transmitted itself (header dir 1)
    std::uint16_t len = 0;   // data bytes; for a remote frame the length it requests
    std::array<std::uint8_t, CAN_DATA_MAX> data{};

    bool operator==(const CanMessage&) const = default;
};

// Smallest CAN FD payload length (0-8, 12, 16, 20, 24, 32, 48, 64) that holds n bytes; 64 above 64.
std::size_t fd_length(std::size_t n) noexcept;

// Copies a payload from the interpreter: len becomes its size (saturated, so an oversized payload is
// still refused by make_tx_record), data its first bytes.
void assign_data(CanMessage& m, std::span<const std::uint8_t> bytes) noexcept;

// Why a message cannot become a transmit record.
enum class TxError : std::uint8_t {
    None,
    FdRemote,         // CAN FD has no remote frames
    BrsWithoutFd,     // the bitrate switch exists only in CAN FD frames
    StandardIdRange,  // above 0x7FF
    ExtendedIdRange,  // above 0x1FFFFFFF
    ClassicTooLong,   // more than 8 bytes (or a remote frame requesting more than 8)
    FdTooLong,        // more than 64 bytes
};

struct TxBuild {
    CanTx record;
    TxError error = TxError::None;
    bool ok() const noexcept { return error == TxError::None; }
};

// The transmit record for one message. The record's only rate flag is fd_acc (the bitrate switch);
// it has no error-state-indicator bit, so esi is not sent. FD payloads are padded with zeros to the
// next FD length; a remote frame carries its requested length in dlc and no data.
TxBuild make_tx_record(const CanMessage& m) noexcept;

// Why `n` bytes do not fit m's kind of frame (its fd and remote).
std::string describe_length(const CanMessage& m, std::size_t n);

// One sentence for the exception the Bus raises, naming the offending value and the limit.
std::string describe(TxError e, const CanMessage& m);

// Why an adapter record does not become a message.
enum class RxError : std::uint8_t {
    None,
    IdRange,    // the identifier does not fit its format: a corrupted record, not a frame
    Truncated,  // fewer data bytes than its DLC code promises
};

// Fills `out` from one received record. The length comes from the DLC code; a classic frame carries
// at most 8 bytes whatever the code (codes 9-15 mean 8 on a classic bus). Remote frames exist only
// in classic CAN: an FD record with fram_type 0 is an FD data frame. A remote frame's data stays
// empty and its len is the requested length.
RxError message_from_record(const CanHead& head, std::span<const std::uint8_t> data, std::uint64_t timestamp_us,
                            CanMessage& out) noexcept;

}  // namespace fdh
