#include "python/byte_values.hpp"

#include <algorithm>

#include "python/numbers.hpp"

namespace fdh::py {

PyObject* g_byte_ints[256] = {};

void make_byte_ints() {
    if (g_byte_ints[0]) return;
    for (int i = 0; i < 256; ++i) {
        g_byte_ints[i] = PyLong_FromLong(i);  // references kept for the life of the process
        if (!g_byte_ints[i]) throw nb::python_error();
    }
}

ByteView::ByteView(nb::handle obj) {
    if (PyObject_CheckBuffer(obj.ptr()) && PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) == 0) {
        const char* f = view_.format;
        if (view_.itemsize == 1 && (!f || f[0] == 'B' || f[0] == 'b' || (f[0] == '<' && f[1] == 'B') ||
                                    (f[0] == '=' && f[1] == 'B') || (f[0] == '@' && f[1] == 'B'))) {
            has_view_ = true;
            span_ = {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
            return;
        }
        PyBuffer_Release(&view_);
    }
    PyErr_Clear();
    append_byte_items(copy_, obj);
    span_ = copy_;
}

ByteView::~ByteView() {
    if (has_view_) PyBuffer_Release(&view_);
}

void append_byte_items(std::vector<std::uint8_t>& out, nb::handle seq, std::size_t limit) {
    if (PyList_CheckExact(seq.ptr())) {
        // A list walked by index as its iterator would (the length is looked at before every item).
        for (Py_ssize_t i = 0; static_cast<std::size_t>(i) < limit && i < PyList_GET_SIZE(seq.ptr()); ++i)
            out.push_back(byte_value(nb::borrow(PyList_GET_ITEM(seq.ptr(), i))));
        return;
    }
    nb::object it = nb::steal(PyObject_GetIter(seq.ptr()));
    if (!it.is_valid()) throw nb::python_error();
    for (std::size_t count = 0; count < limit; ++count) {
        nb::object item = nb::steal(PyIter_Next(it.ptr()));
        if (!item.is_valid()) {
            if (PyErr_Occurred()) throw nb::python_error();
            break;
        }
        out.push_back(byte_value(item));
    }
}

namespace {
// The first `limit` entries of a list holding only ints 0..255 (what encoding its slice would
// give, without making the slice); false, with `out` unchanged, for anything else.
bool append_plain_bytes(std::vector<std::uint8_t>& out, nb::handle seq, std::size_t limit) {
    if (!PyList_CheckExact(seq.ptr())) return false;
    const std::size_t n = std::min(static_cast<std::size_t>(PyList_GET_SIZE(seq.ptr())), limit);
    std::uint8_t bytes[256];
    if (n > sizeof bytes) return false;
    for (std::size_t i = 0; i < n; ++i) {
        const auto v = plain_int(nb::handle(PyList_GET_ITEM(seq.ptr(), static_cast<Py_ssize_t>(i))), 0, 255);
        if (!v) return false;  // the general path raises the error
        bytes[i] = static_cast<std::uint8_t>(*v);
    }
    out.insert(out.end(), bytes, bytes + n);
    return true;
}
}  // namespace

void append_byte_prefix(std::vector<std::uint8_t>& out, nb::handle seq, std::size_t count) {
    if (append_plain_bytes(out, seq, count)) return;
    nb::object first = nb::steal(PySequence_GetSlice(seq.ptr(), 0, static_cast<Py_ssize_t>(count)));
    if (!first.is_valid()) throw nb::python_error();
    append_byte_items(out, first);
}

void append_all_bytes(std::vector<std::uint8_t>& out, nb::handle seq) {
    if (!append_plain_bytes(out, seq, SIZE_MAX)) append_byte_items(out, seq);
}

nb::object new_byte_list(std::span<const std::uint8_t> bytes) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(bytes.size()));
    if (!list) throw nb::python_error();
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        PyObject* o = byte_int(bytes[i]);
        Py_INCREF(o);
        PyList_SET_ITEM(list, i, o);
    }
    return nb::steal(list);
}

nb::object zeros_list(std::size_t n) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (!list) throw nb::python_error();
    PyObject* zero = byte_int(0);
    for (std::size_t i = 0; i < n; ++i) {
        Py_INCREF(zero);
        PyList_SET_ITEM(list, i, zero);
    }
    return nb::steal(list);
}

nb::bytes to_pybytes(std::span<const std::uint8_t> bytes) {
    return nb::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

nb::object to_pybytearray(std::span<const std::uint8_t> bytes) {
    PyObject* ba = PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<Py_ssize_t>(bytes.size()));
    if (!ba) throw nb::python_error();
    return nb::steal(ba);
}

}  // namespace fdh::py
