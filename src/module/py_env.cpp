#include "py_env.hpp"

#include <cstdio>

namespace fdh::py {
namespace {
PyObject* g_module = nullptr;  // strong reference, kept for the life of the process
}

void set_module(nb::handle m) {
    Py_XINCREF(m.ptr());
    Py_XDECREF(g_module);
    g_module = m.ptr();
}

nb::handle module() { return g_module; }

nb::object global(const char* name) {
    PyObject* dict = PyModule_GetDict(g_module);
    PyObject* v = PyDict_GetItemString(dict, name);  // borrowed
    if (!v) {
        PyObject* builtins = PyEval_GetBuiltins();
        v = builtins ? PyDict_GetItemString(builtins, name) : nullptr;
    }
    if (!v) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw nb::python_error();
    }
    return nb::borrow(v);
}

void set_global(const char* name, nb::handle value) {
    if (PyDict_SetItemString(PyModule_GetDict(g_module), name, value.ptr()) != 0) throw nb::python_error();
}

void print(nb::handle value) { global("print")(value); }
void print(const std::string& text) { global("print")(nb::str(text.data(), text.size())); }
void print2(const std::string& first, nb::handle second) {
    global("print")(nb::str(first.data(), first.size()), second);
}

void write_stderr(const std::string& text) {
    global("sys").attr("stderr").attr("write")(nb::str(text.data(), text.size()));
}
void flush_stderr() { global("sys").attr("stderr").attr("flush")(); }

nb::object usb_core() { return global("usb").attr("core"); }
nb::object usb_util() { return global("usb").attr("util"); }

bool is_usb_error(const nb::python_error& e) {
    nb::object cls = usb_core().attr("USBError");
    int r = PyObject_IsInstance(e.value().ptr(), cls.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

nb::object error_errno(const nb::python_error& e) {
    nb::handle v = e.value();
    if (!nb::hasattr(v, "errno")) return nb::none();
    return v.attr("errno");
}

bool is_timeout_error(const nb::python_error& e) {
    nb::object core = usb_core();
    if (nb::hasattr(core, "USBTimeoutError")) {
        int r = PyObject_IsInstance(e.value().ptr(), core.attr("USBTimeoutError").ptr());
        if (r < 0) throw nb::python_error();
        if (r == 1) return true;
    }
    nb::object num = error_errno(e);
    if (num.is_none()) return false;
    static nb::object etimedout = nb::module_::import_("errno").attr("ETIMEDOUT");
    return num.equal(nb::int_(110)) || num.equal(etimedout);
}

std::string str(nb::handle o) {
    nb::str s = nb::str(o);
    Py_ssize_t n = 0;
    const char* c = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!c) throw nb::python_error();
    return std::string(c, static_cast<std::size_t>(n));
}

std::string error_text(const nb::python_error& e) { return str(e.value()); }

void sleep(double seconds) { global("time").attr("sleep")(seconds); }

bool truthy(nb::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool compare(nb::handle a, nb::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

std::string hex_upper(unsigned long long v, int width) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*llX", width, v);
    return buf;
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
    nb::object it = nb::steal(PyObject_GetIter(seq.ptr()));
    if (!it.is_valid()) throw nb::python_error();
    std::size_t count = 0;
    while (count < limit) {
        nb::object item = nb::steal(PyIter_Next(it.ptr()));
        if (!item.is_valid()) {
            if (PyErr_Occurred()) throw nb::python_error();
            break;
        }
        nb::object idx = nb::steal(PyNumber_Index(item.ptr()));
        if (!idx.is_valid()) throw nb::python_error();
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(idx.ptr(), &overflow);
        if (v == -1 && PyErr_Occurred()) throw nb::python_error();
        if (overflow || v < 0 || v > 255) {
            PyErr_SetString(PyExc_ValueError, "byte must be in range(0, 256)");
            throw nb::python_error();
        }
        out.push_back(static_cast<std::uint8_t>(v));
        ++count;
    }
}

nb::object new_byte_list(std::span<const std::uint8_t> bytes) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(bytes.size()));
    if (!list) throw nb::python_error();
    for (std::size_t i = 0; i < bytes.size(); ++i) PyList_SET_ITEM(list, i, PyLong_FromLong(bytes[i]));
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
