// The adapter's five records, one table each: every field once, with where it sits in the record's
// byte layout, what it holds and, for the four the C++ code uses, the member of its struct
// (records.hpp). The C++ encoders and decoders (records.cpp), the extension's record classes (their
// attributes, garbage-collector traversal and clearing, to_bytes, from_bytes) and the records the
// data paths fill in place all follow these tables, so a field added here is a field everywhere:
// one line in the table, and the struct's member if C++ code wants it by name.
#pragma once
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "records.hpp"

namespace fdh::layout {

enum class Kind : std::uint8_t {
    Bits,      // `width` bits from bit `shift` of the byte at `offset`; encoded as value & mask, which never fails
    Uint32,    // unsigned little-endian: an int outside 0 .. 2**32-1 is an OverflowError; any other object
               // is asked for its own four bytes (value.to_bytes(4, "little"))
    Int32,     // signed little-endian, of int(value): a float is cut toward zero
    Bytes,     // a list of byte values; its first `width` entries are encoded (fewer when it is shorter)
    AllBytes,  // a list of `width` byte values when decoded; every entry it holds is encoded
    Record,    // another record, `width` bytes in its own layout, encoded and decoded by its own methods
};

enum class RecordId : std::uint8_t { CanHead, CanValue, CanTx, SetupBaudrate, CanAck };

struct Field {
    const char* name;
    std::uint8_t offset;        // in the record's byte layout
    std::uint8_t width;         // bytes; bits for Kind::Bits
    Kind kind;
    std::uint8_t shift = 0;     // Kind::Bits: where its lowest bit sits in the byte
    std::uint8_t initial = 0;   // numbers: the value a new record holds
    RecordId record{};          // Kind::Record: which record
};

constexpr Field uint32(const char* name, std::uint8_t offset) { return {name, offset, 4, Kind::Uint32}; }
constexpr Field int32(const char* name, std::uint8_t offset) { return {name, offset, 4, Kind::Int32}; }
constexpr Field byte(const char* name, std::uint8_t offset, std::uint8_t initial = 0) {
    return {name, offset, 8, Kind::Bits, 0, initial};
}
constexpr Field flag(const char* name, std::uint8_t offset, std::uint8_t bit) {
    return {name, offset, 1, Kind::Bits, bit};
}
constexpr Field bits(const char* name, std::uint8_t offset, std::uint8_t shift, std::uint8_t width) {
    return {name, offset, width, Kind::Bits, shift};
}
constexpr Field bytes(const char* name, std::uint8_t offset, std::uint8_t count) {
    return {name, offset, count, Kind::Bytes};
}
constexpr Field all_bytes(const char* name, std::uint8_t offset, std::uint8_t count) {
    return {name, offset, count, Kind::AllBytes};
}
constexpr Field record(const char* name, std::uint8_t offset, std::uint8_t size, RecordId which) {
    return {name, offset, size, Kind::Record, 0, 0, which};
}

// Bytes a field takes in the layout (the flag bits of one byte each count the whole byte).
constexpr std::size_t span_of(const Field& f) {
    switch (f.kind) {
        case Kind::Bits: return 1;
        case Kind::Uint32:
        case Kind::Int32: return 4;
        default: return f.width;
    }
}

// What a record class is besides its fields: its name, from_bytes's message for fewer than `size`
// bytes, and whether to_bytes gives bytes rather than a bytearray.
struct RecordInfo {
    const char* name;
    const char* too_short;
    std::size_t size;
    bool immutable = false;
};

template <RecordId>
struct Layout;

template <>
struct Layout<RecordId::CanHead> {
    static constexpr RecordInfo info{"can_head_type", "In can_head_type,Insufficient data for CanHeadType", CAN_HEAD_SIZE};
    static constexpr Field fields[] = {
        uint32("id", 0), uint32("time_stamp", 4), bytes("reserve", 8, 3),
        flag("fram_type", 11, 0), flag("can_type", 11, 1), flag("id_type", 11, 2), flag("dir", 11, 3),
        bits("dlc", 11, 4, 4),
    };
    using Struct = CanHead;
    static constexpr auto members = std::tuple{&CanHead::id, &CanHead::time_stamp, &CanHead::reserve, &CanHead::fram_type,
                                               &CanHead::can_type, &CanHead::id_type, &CanHead::dir, &CanHead::dlc};
};

template <>
struct Layout<RecordId::CanValue> {
    static constexpr RecordInfo info{"can_value_type", "In can_value_type,Insufficient data for CanValueType",
                                     CAN_VALUE_SIZE};
    static constexpr Field fields[] = {record("head", 0, CAN_HEAD_SIZE, RecordId::CanHead),
                                       bytes("data", CAN_HEAD_SIZE, CAN_DATA_MAX)};
};

// The adapter reads bytes 5 to 7 of a transmit record as zeros: the gap before send_time.
template <>
struct Layout<RecordId::CanTx> {
    static constexpr RecordInfo info{"can_tx_type", "In can_tx_type,Insufficient data for CanTxType", CAN_TX_SIZE};
    static constexpr Field fields[] = {
        all_bytes("reserve0", 0, 2),
        flag("can_type", 2, 0), flag("fram_type", 2, 1), flag("id_type", 2, 2), flag("fd_acc", 2, 3),
        flag("id_increase", 2, 4), flag("data_increase", 2, 5), flag("cmd", 2, 6),
        byte("reserve1", 3), byte("dlc", 4), int32("send_time", 8), all_bytes("reserve3", 12, 4),
        uint32("interval", 16), uint32("can_id", 20), bytes("data", 24, CAN_DATA_MAX),
    };
    using Struct = CanTx;
    static constexpr auto members =
        std::tuple{&CanTx::reserve0,    &CanTx::can_type,      &CanTx::fram_type, &CanTx::id_type,  &CanTx::fd_acc,
                   &CanTx::id_increase, &CanTx::data_increase, &CanTx::cmd,       &CanTx::reserve1, &CanTx::dlc,
                   &CanTx::send_time,   &CanTx::reserve3,      &CanTx::interval,  &CanTx::can_id,   &CanTx::data};
};

// The payload of the bit-timing command; both jump widths start at 2, what the adapter expects.
template <>
struct Layout<RecordId::SetupBaudrate> {
    static constexpr RecordInfo info{"setup_baudrate_t", "In setup_baudrate_t,Insufficient data for SetupBaudrate",
                                     SETUP_BAUDRATE_SIZE, true};
    static constexpr Field fields[] = {
        byte("can_frame_type", 0), byte("can_seg1", 1), byte("can_seg2", 2), byte("can_sjw", 3, 2),
        byte("can_prescaler", 4), byte("canfd_seg1", 5), byte("canfd_seg2", 6), byte("canfd_sjw", 7, 2),
        byte("canfd_prescaler", 8),
    };
    using Struct = SetupBaudrate;
    static constexpr auto members = std::tuple{
        &SetupBaudrate::can_frame_type, &SetupBaudrate::can_seg1,   &SetupBaudrate::can_seg2,
        &SetupBaudrate::can_sjw,        &SetupBaudrate::can_prescaler, &SetupBaudrate::canfd_seg1,
        &SetupBaudrate::canfd_seg2,     &SetupBaudrate::canfd_sjw,  &SetupBaudrate::canfd_prescaler};
};

template <>
struct Layout<RecordId::CanAck> {
    static constexpr RecordInfo info{"can_ack_type", "In can_ack_type,Insufficient data for CanAckType", CAN_ACK_SIZE};
    static constexpr Field fields[] = {byte("ack_dat", 0), bytes("ack_reserve", 1, CAN_ACK_SIZE - 1)};
    using Struct = CanAck;
    static constexpr auto members = std::tuple{&CanAck::ack_dat, &CanAck::ack_reserve};
};

template <RecordId R>
inline constexpr std::size_t field_count = std::size(Layout<R>::fields);

// A table the codecs can trust: fields in layout order, none overlapping another (flag bits share
// their byte), each inside the record, and the last one ending the record.
template <RecordId R>
consteval bool well_formed() {
    const auto& fields = Layout<R>::fields;
    std::size_t end = 0;
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        const Field& f = fields[i];
        const bool shares_byte = i > 0 && fields[i - 1].kind == Kind::Bits && f.kind == Kind::Bits &&
                                 fields[i - 1].offset == f.offset && fields[i - 1].shift + fields[i - 1].width <= f.shift;
        if (!shares_byte && f.offset < end) return false;
        if (f.kind == Kind::Bits && f.shift + f.width > 8) return false;
        end = f.offset + span_of(f);
    }
    return end == Layout<R>::info.size;
}
static_assert(well_formed<RecordId::CanHead>() && well_formed<RecordId::CanValue>() && well_formed<RecordId::CanTx>() &&
              well_formed<RecordId::SetupBaudrate>() && well_formed<RecordId::CanAck>());

// A record whose C++ struct the table describes names one member per field, in the same order.
template <RecordId R>
concept HasStruct = requires { Layout<R>::members; };
template <RecordId R>
consteval bool members_match() {
    if constexpr (HasStruct<R>) return std::tuple_size_v<std::remove_const_t<decltype(Layout<R>::members)>> == field_count<R>;
    return true;
}
static_assert(members_match<RecordId::CanHead>() && members_match<RecordId::CanTx>() &&
              members_match<RecordId::SetupBaudrate>() && members_match<RecordId::CanAck>());

// A field's position in its table, found while compiling: a misspelt name does not build.
template <RecordId R>
consteval std::size_t field_index(std::string_view name) {
    for (std::size_t i = 0; i < field_count<R>; ++i)
        if (name == Layout<R>::fields[i].name) return i;
    throw "no such field";
}

}  // namespace fdh::layout

namespace fdh::py {
using layout::Field, layout::Kind, layout::RecordId, layout::RecordInfo, layout::Layout;
using layout::field_count, layout::field_index, layout::span_of;
}  // namespace fdh::py
