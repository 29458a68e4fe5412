// Integers out of the objects a program hands the module, with the interpreter's own rules and
// error messages: every field, argument and count that becomes a number goes through here.
#pragma once
#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>

namespace nb = nanobind;

namespace fdh::py {

// operator.index(o), saturated at the limits of long long (TypeError for what is no integer).
long long index_value(nb::handle o);
// A value that must fit 0..max, as the bytes of a record or a command frame: OverflowError
// "can't convert negative int to unsigned" below, "int too big to convert" above (int.to_bytes's).
unsigned long long unsigned_in_range(long long v, unsigned long long max);
// int(o) as a signed 32-bit value (a float is cut toward zero); "int too big to convert" outside.
std::int32_t int32_value(nb::handle o);
// operator.index(o) as one byte; ValueError "byte must be in range(0, 256)" outside 0..255, as
// bytearray gives it.
std::uint8_t byte_value(nb::handle o);
// o & mask with the interpreter's & operator, so bools and int subclasses work and other types
// fail as they would in Python; the flag and byte fields of the records never overflow.
unsigned long long masked(nb::handle o, unsigned long long mask);
// A plain int within lo..hi, or nothing (no error raised or left behind): the values pyusb's own
// objects hold, where anything else is left to pyusb. Inline: the encoders call it for every byte.
inline std::optional<long> plain_int(nb::handle o, long lo, long hi) {
    if (!o.is_valid() || !PyLong_CheckExact(o.ptr())) return std::nullopt;
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(o.ptr(), &overflow);
    if (overflow || v < lo || v > hi) return std::nullopt;
    return v;
}

}  // namespace fdh::py
