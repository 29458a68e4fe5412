#include "py_env.hpp"

#include <cstdio>
#include <cstring>

namespace fdh::py {
namespace {
PyObject* g_module = nullptr;  // strong reference, kept for the life of the process
}

PyObject* g_byte_ints[256] = {};

void set_module(nb::handle m) {
    if (!g_byte_ints[0]) {
        for (int i = 0; i < 256; ++i) {
            g_byte_ints[i] = PyLong_FromLong(i);  // references kept for the life of the process
            if (!g_byte_ints[i]) throw nb::python_error();
        }
    }
    Py_XINCREF(m.ptr());
    Py_XDECREF(g_module);
    g_module = m.ptr();
}

nb::handle module() { return g_module; }

nb::object interned(const char* name) {
    // Open addressing on the text's address; an entry counts only when the text matches too, so a
    // name passed from a temporary buffer is still looked up correctly. Guarded by the interpreter lock.
    struct Entry {
        const char* text;
        PyObject* str;  // kept for the life of the process
    };
    constexpr std::size_t SLOTS = 256;
    static Entry table[SLOTS] = {};
    const auto h = reinterpret_cast<std::uintptr_t>(name);
    for (std::size_t i = 0, at = (h ^ (h >> 9)) % SLOTS; i < 8; ++i, at = (at + 1) % SLOTS) {
        Entry& e = table[at];
        if (!e.text) {
            PyObject* s = PyUnicode_InternFromString(name);
            if (!s) throw nb::python_error();
            if (!PyUnicode_IS_COMPACT_ASCII(s)) return nb::steal(s);  // only plain ASCII names are kept
            e.text = name;
            e.str = s;
            return nb::borrow(s);
        }
        if (e.text == name && std::strcmp(static_cast<const char*>(PyUnicode_DATA(e.str)), name) == 0)
            return nb::borrow(e.str);
    }
    // Crowded here: a string of its own, not cached.
    PyObject* s = PyUnicode_InternFromString(name);
    if (!s) throw nb::python_error();
    return nb::steal(s);
}

nb::object attr(nb::handle o, const char* name) {
    PyObject* v = PyObject_GetAttr(o.ptr(), interned(name).ptr());
    if (!v) throw nb::python_error();
    return nb::steal(v);
}

nb::object call_method(nb::handle o, const char* name) {
    PyObject* v = PyObject_CallMethodNoArgs(o.ptr(), interned(name).ptr());
    if (!v) throw nb::python_error();
    return nb::steal(v);
}

nb::object global(const char* name) {
    PyObject* key = interned(name).ptr();
    PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(g_module), key);  // borrowed
    if (!v && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();
        v = builtins ? PyDict_GetItemWithError(builtins, key) : nullptr;
    }
    if (!v) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
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

nb::object usb_core() { return attr(global("usb"), "core"); }
nb::object usb_util() { return attr(global("usb"), "util"); }

namespace {
// getattr(o, name), or an invalid object when that fails (nanobind's hasattr rule).
nb::object optional_attr(nb::handle o, const char* name) {
    PyObject* v = PyObject_GetAttr(o.ptr(), interned(name).ptr());
    if (v) return nb::steal(v);
    PyErr_Clear();  // as hasattr: any failure means "absent"
    return nb::object();
}
}  // namespace

bool is_usb_error(const nb::python_error& e) {
    nb::object cls = attr(usb_core(), "USBError");
    int r = PyObject_IsInstance(e.value().ptr(), cls.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

nb::object error_errno(const nb::python_error& e) {
    nb::object v = optional_attr(e.value(), "errno");
    return v.is_valid() ? v : nb::none();
}

bool is_timeout_error(const nb::python_error& e) {
    nb::object core = usb_core();
    if (nb::object cls = optional_attr(core, "USBTimeoutError"); cls.is_valid()) {
        int r = PyObject_IsInstance(e.value().ptr(), cls.ptr());
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

void sleep(double seconds) { attr(global("time"), "sleep")(seconds); }

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

namespace {
[[noreturn]] void byte_range_error() {
    PyErr_SetString(PyExc_ValueError, "byte must be in range(0, 256)");
    throw nb::python_error();
}

std::uint8_t byte_of(nb::handle item) {
    nb::object idx = nb::steal(PyNumber_Index(item.ptr()));
    if (!idx.is_valid()) throw nb::python_error();
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(idx.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow || v < 0 || v > 255) byte_range_error();
    return static_cast<std::uint8_t>(v);
}
}  // namespace

void append_byte_items(std::vector<std::uint8_t>& out, nb::handle seq, std::size_t limit) {
    if (PyList_CheckExact(seq.ptr())) {
        // A list walked by index as its iterator would (the length is looked at before every item):
        // plain ints are read directly, anything else goes through __index__.
        for (Py_ssize_t i = 0; static_cast<std::size_t>(i) < limit && i < PyList_GET_SIZE(seq.ptr()); ++i) {
            PyObject* item = PyList_GET_ITEM(seq.ptr(), i);
            if (PyLong_CheckExact(item)) {
                int overflow = 0;
                const long v = PyLong_AsLongAndOverflow(item, &overflow);
                if (overflow || v < 0 || v > 255) byte_range_error();
                out.push_back(static_cast<std::uint8_t>(v));
            } else {
                out.push_back(byte_of(nb::borrow(item)));
            }
        }
        return;
    }
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
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        PyObject* o = byte_int(bytes[i]);
        Py_INCREF(o);
        PyList_SET_ITEM(list, i, o);
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
