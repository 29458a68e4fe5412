// to_bytes and from_bytes of the record classes, written once for every table: the loops over a
// table's fields are unrolled while compiling, so a record costs what hand-written code would.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "protocol/byte_order.hpp"
#include "python/numbers.hpp"
#include "python/record.hpp"

namespace fdh::py {

namespace codec {

// Bits `f` covers, in place in its byte.
constexpr std::uint8_t mask_of(const Field& f) { return static_cast<std::uint8_t>((1u << f.width) - 1); }

// Zero bytes the layout leaves before field I (none for a flag sharing the previous one's byte).
template <RecordId R, std::size_t I>
constexpr std::size_t gap_before() {
    std::size_t end = 0;
    if constexpr (I > 0) end = Layout<R>::fields[I - 1].offset + span_of(Layout<R>::fields[I - 1]);
    return Layout<R>::fields[I].offset > end ? Layout<R>::fields[I].offset - end : 0;
}

// Field I is a flag bit whose byte the next field does not share: the byte is complete after it.
template <RecordId R, std::size_t I>
constexpr bool closes_byte() {
    if constexpr (I + 1 == field_count<R>) {
        return true;
    } else {
        constexpr Field n = Layout<R>::fields[I + 1];
        return n.kind != Kind::Bits || n.offset != Layout<R>::fields[I].offset;
    }
}

// An unsigned 32-bit field's value: an int is range-checked, anything else gives its own bytes.
inline std::uint32_t uint32_of(nb::handle v) {
    if (PyLong_Check(v.ptr())) return static_cast<std::uint32_t>(unsigned_in_range(index_value(v), 0xFFFFFFFF));
    nb::object own = v.attr("to_bytes")(4, "little");
    ByteView view(own);
    return get_le_clipped(view.bytes(), 0, 4);
}

// The value field I of R holds when decoded from the record's bytes at `p` (a nested record: new).
template <RecordId R, std::size_t I>
nb::object decoded_field(const std::uint8_t* p);

}  // namespace codec

// The encoding of `obj`, anything with the fields of record R: each field in table order, read
// straight from the record when `obj` is a plain one, else by attribute name.
template <RecordId R>
FDH_PER_FRAME std::vector<std::uint8_t> encode(nb::handle obj) {
    const Fields<R> in(obj);
    std::vector<std::uint8_t> out;
    out.reserve(Layout<R>::info.size);
    std::uint8_t flags = 0;  // the byte the flag bits are gathered in
    for_each_field<R>([&]<std::size_t I>() {
        constexpr Field f = Layout<R>::fields[I];
        if constexpr (codec::gap_before<R, I>() > 0) out.insert(out.end(), codec::gap_before<R, I>(), std::uint8_t{0});
        nb::object v = in.get(I);
        if constexpr (f.kind == Kind::Bits) {
            flags |= static_cast<std::uint8_t>(masked(v, codec::mask_of(f)) << f.shift);
            if constexpr (codec::closes_byte<R, I>()) out.push_back(std::exchange(flags, std::uint8_t{0}));
        } else if constexpr (f.kind == Kind::Uint32) {
            append_le32(out, codec::uint32_of(v));
        } else if constexpr (f.kind == Kind::Int32) {
            append_le32(out, static_cast<std::uint32_t>(int32_value(v)));
        } else if constexpr (f.kind == Kind::Bytes) {
            append_byte_prefix(out, v, f.width);
        } else if constexpr (f.kind == Kind::AllBytes) {
            append_all_bytes(out, v);
        } else {
            ByteView nested(call_method(v, "to_bytes"));
            out.insert(out.end(), nested.bytes().begin(), nested.bytes().end());
        }
    });
    return out;
}

// obj.to_bytes() of a record R: a bytearray, or bytes for a class whose table says so.
template <RecordId R>
nb::object to_bytes(nb::handle obj) {
    const std::vector<std::uint8_t> out = encode<R>(obj);
    if constexpr (Layout<R>::info.immutable) return to_pybytes(out);
    return to_pybytearray(out);
}

// obj.to_bytes() for any object standing for a record R, without a call into the interpreter when
// it is a plain record.
template <RecordId R>
nb::object packed(nb::handle obj) {
    return plain<R>(obj) ? to_bytes<R>(obj) : call_method(obj, "to_bytes");
}

template <RecordId R, std::size_t I>
nb::object codec::decoded_field(const std::uint8_t* p) {
    constexpr Field f = Layout<R>::fields[I];
    const std::uint8_t* at = p + f.offset;
    if constexpr (f.kind == Kind::Bits) {
        return nb::borrow(byte_int(static_cast<std::uint8_t>((*at >> f.shift) & mask_of(f))));
    } else if constexpr (f.kind == Kind::Uint32) {
        return u32_int(get_le32(at));
    } else if constexpr (f.kind == Kind::Int32) {
        return nb::steal(PyLong_FromLong(static_cast<std::int32_t>(get_le32(at))));
    } else if constexpr (f.kind == Kind::Bytes || f.kind == Kind::AllBytes) {
        return new_byte_list({at, f.width});
    } else {
        return new_record<f.record>(at);
    }
}

template <RecordId R>
template <std::size_t... I>
FDH_PER_FRAME Record<R>::Record(const std::uint8_t* layout_bytes, std::index_sequence<I...>)
    : fields{codec::decoded_field<R, I>(layout_bytes)...} {}

// A new record R decoded from `bytes` (its whole layout), with new records nested in it: the frames
// the receive path hands out.
template <RecordId R>
nb::object decoded(std::span<const std::uint8_t, Layout<R>::info.size> bytes) {
    return new_record<R>(bytes.data());
}

// from_bytes: fewer bytes than the layout is a ValueError that leaves the record as it was; then,
// in table order, a nested record decodes its part through its own from_bytes (and keeps its
// identity) and every other field gets a new value.
template <RecordId R>
void decode_into(Record<R>& rec, nb::handle b) {
    ByteView view(b);
    if (view.bytes().size() < Layout<R>::info.size) throw nb::value_error(Layout<R>::info.too_short);
    const std::uint8_t* p = view.bytes().data();
    for_each_field<R>([&]<std::size_t I>() {
        constexpr Field f = Layout<R>::fields[I];
        if constexpr (f.kind == Kind::Record)
            rec.fields[I].attr("from_bytes")(to_pybytes({p + f.offset, f.width}));
        else
            rec.fields[I] = codec::decoded_field<R, I>(p);
    });
}

}  // namespace fdh::py
