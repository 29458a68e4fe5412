#include "python/numbers.hpp"

#include <climits>

namespace fdh::py {

namespace {
[[noreturn]] void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw nb::python_error();
}

long long saturated(PyObject* integer) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(integer, &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return overflow > 0 ? LLONG_MAX : overflow < 0 ? LLONG_MIN : v;
}
}  // namespace

long long index_value(nb::handle o) {
    if (PyLong_CheckExact(o.ptr())) return saturated(o.ptr());
    nb::object idx = nb::steal(PyNumber_Index(o.ptr()));
    if (!idx.is_valid()) throw nb::python_error();
    return saturated(idx.ptr());
}

unsigned long long unsigned_in_range(long long v, unsigned long long max) {
    if (v < 0) raise(PyExc_OverflowError, "can't convert negative int to unsigned");
    if (static_cast<unsigned long long>(v) > max) raise(PyExc_OverflowError, "int too big to convert");
    return static_cast<unsigned long long>(v);
}

std::int32_t int32_value(nb::handle o) {
    nb::object i = nb::steal(PyNumber_Long(o.ptr()));
    if (!i.is_valid()) throw nb::python_error();
    const long long v = saturated(i.ptr());
    if (v < INT32_MIN || v > INT32_MAX) raise(PyExc_OverflowError, "int too big to convert");
    return static_cast<std::int32_t>(v);
}

std::uint8_t byte_value(nb::handle o) {
    const long long v = index_value(o);
    if (v < 0 || v > 255) raise(PyExc_ValueError, "byte must be in range(0, 256)");
    return static_cast<std::uint8_t>(v);
}

unsigned long long masked(nb::handle o, unsigned long long mask) {
    if (PyLong_CheckExact(o.ptr())) {
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
        if (!overflow) return static_cast<unsigned long long>(x) & mask;
        PyErr_Clear();
    }
    nb::object m = nb::steal(PyLong_FromUnsignedLongLong(mask));
    nb::object r = nb::steal(PyNumber_And(o.ptr(), m.ptr()));
    if (!r.is_valid()) throw nb::python_error();
    const unsigned long long out = PyLong_AsUnsignedLongLong(r.ptr());
    if (PyErr_Occurred()) throw nb::python_error();
    return out;
}

}  // namespace fdh::py
