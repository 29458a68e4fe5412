#include "records.hpp"

#include <algorithm>
#include <utility>

#include "byte_order.hpp"
#include "record_layouts.hpp"

namespace fdh {

namespace {
using layout::Field;
using layout::Kind;
using layout::Layout;
using layout::RecordId;

// Every field of record R, from its struct into its bytes and back, as its table describes it.
template <RecordId R, typename Fn>
constexpr void each_field(Fn&& fn) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (fn.template operator()<I>(), ...);
    }(std::make_index_sequence<layout::field_count<R>>{});
}

template <RecordId R>
void encode(const typename Layout<R>::Struct& rec, std::uint8_t* out) noexcept {
    std::fill_n(out, Layout<R>::info.size, std::uint8_t{0});
    each_field<R>([&]<std::size_t I>() {
        constexpr Field f = Layout<R>::fields[I];
        const auto& v = rec.*std::get<I>(Layout<R>::members);
        if constexpr (f.kind == Kind::Bits)
            out[f.offset] |= static_cast<std::uint8_t>((v & ((1u << f.width) - 1)) << f.shift);
        else if constexpr (f.kind == Kind::Uint32 || f.kind == Kind::Int32)
            put_le32(out + f.offset, static_cast<std::uint32_t>(v));
        else
            std::copy_n(v.begin(), std::min<std::size_t>(f.width, v.size()), out + f.offset);
    });
}

template <RecordId R>
typename Layout<R>::Struct decode(const std::uint8_t* p) noexcept {
    typename Layout<R>::Struct rec{};
    each_field<R>([&]<std::size_t I>() {
        constexpr Field f = Layout<R>::fields[I];
        auto& v = rec.*std::get<I>(Layout<R>::members);
        using T = std::remove_reference_t<decltype(v)>;
        if constexpr (f.kind == Kind::Bits)
            v = static_cast<T>((p[f.offset] >> f.shift) & ((1u << f.width) - 1));
        else if constexpr (f.kind == Kind::Uint32 || f.kind == Kind::Int32)
            v = static_cast<T>(get_le32(p + f.offset));
        else
            std::copy_n(p + f.offset, std::min<std::size_t>(f.width, v.size()), v.begin());
    });
    return rec;
}

template <RecordId R>
std::optional<typename Layout<R>::Struct> decode(std::span<const std::uint8_t> b) noexcept {
    if (b.size() < Layout<R>::info.size) return std::nullopt;
    return decode<R>(b.data());
}
}  // namespace

void encode_head(const CanHead& h, std::span<std::uint8_t, CAN_HEAD_SIZE> out) noexcept {
    encode<RecordId::CanHead>(h, out.data());
}

CanHead decode_head(const std::uint8_t* p) noexcept { return decode<RecordId::CanHead>(p); }

std::optional<CanHead> decode_head(std::span<const std::uint8_t> b) noexcept { return decode<RecordId::CanHead>(b); }

void encode_tx(const CanTx& t, std::span<std::uint8_t, CAN_TX_SIZE> out) noexcept { encode<RecordId::CanTx>(t, out.data()); }

std::array<std::uint8_t, CAN_TX_SIZE> encode_tx(const CanTx& t) noexcept {
    std::array<std::uint8_t, CAN_TX_SIZE> out{};
    encode<RecordId::CanTx>(t, out.data());
    return out;
}

std::optional<CanTx> decode_tx(std::span<const std::uint8_t> b) noexcept { return decode<RecordId::CanTx>(b); }

std::array<std::uint8_t, SETUP_BAUDRATE_SIZE> encode_setup(const SetupBaudrate& s) noexcept {
    std::array<std::uint8_t, SETUP_BAUDRATE_SIZE> out{};
    encode<RecordId::SetupBaudrate>(s, out.data());
    return out;
}

std::optional<SetupBaudrate> decode_setup(std::span<const std::uint8_t> b) noexcept {
    return decode<RecordId::SetupBaudrate>(b);
}

std::array<std::uint8_t, CAN_ACK_SIZE> encode_ack_record(const CanAck& a) noexcept {
    std::array<std::uint8_t, CAN_ACK_SIZE> out{};
    encode<RecordId::CanAck>(a, out.data());
    return out;
}

std::optional<CanAck> decode_ack_record(std::span<const std::uint8_t> b) noexcept { return decode<RecordId::CanAck>(b); }

}  // namespace fdh
