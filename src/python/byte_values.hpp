// Bytes between the interpreter and C++: reading any byte sequence a program passes, appending the
// entries of a list of byte values, and making the ints, lists and byte strings handed back.
#pragma once
#include <nanobind/nanobind.h>

#include <cstdint>
#include <span>
#include <vector>

namespace nb = nanobind;

namespace fdh::py {

// Bytes of a bytes-like object (itemsize 1) or, failing that, of any sequence of integers 0..255,
// in the interpreter's usual way (TypeError / ValueError otherwise).
struct ByteView {
    explicit ByteView(nb::handle obj);
    ~ByteView();
    ByteView(const ByteView&) = delete;
    ByteView& operator=(const ByteView&) = delete;
    std::span<const std::uint8_t> bytes() const { return span_; }

private:
    Py_buffer view_{};
    bool has_view_ = false;
    std::vector<std::uint8_t> copy_;
    std::span<const std::uint8_t> span_;
};

// Appends each item of `seq` (at most `limit` of them) as a byte, as bytearray.extend does.
void append_byte_items(std::vector<std::uint8_t>& out, nb::handle seq, std::size_t limit = SIZE_MAX);
// The bytes of seq[:count] (fewer when it is shorter): a list of plain ints is read in place.
void append_byte_prefix(std::vector<std::uint8_t>& out, nb::handle seq, std::size_t count);
// The bytes of every item of `seq`, however many.
void append_all_bytes(std::vector<std::uint8_t>& out, nb::handle seq);

// The int objects for 0..255: the interpreter keeps one of each, and these hand it out from a
// table filled once (by make_byte_ints, when the module loads) instead of asking for it anew.
void make_byte_ints();
extern PyObject* g_byte_ints[256];
inline PyObject* byte_int(std::uint8_t v) { return g_byte_ints[v]; }  // borrowed, valid for good
// An int, the shared one for 0..255.
inline nb::object small_int(long v) {
    return v >= 0 && v <= 255 ? nb::borrow(byte_int(static_cast<std::uint8_t>(v))) : nb::steal(PyLong_FromLong(v));
}
inline nb::object u32_int(std::uint32_t v) {
    return v <= 255 ? nb::borrow(byte_int(static_cast<std::uint8_t>(v))) : nb::steal(PyLong_FromUnsignedLong(v));
}

nb::object new_byte_list(std::span<const std::uint8_t> bytes);  // list of ints
nb::object zeros_list(std::size_t n);                            // [0] * n
nb::bytes to_pybytes(std::span<const std::uint8_t> bytes);
nb::object to_pybytearray(std::span<const std::uint8_t> bytes);

}  // namespace fdh::py
