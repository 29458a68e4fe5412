#include "python/interpreter.hpp"

#include <cstring>
#include <iterator>

#include "python/byte_values.hpp"

namespace fdh::py {
namespace {
PyObject* g_module = nullptr;  // strong reference, kept for the life of the process
}

void set_module(nb::handle m) {
    make_byte_ints();
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

void set_attr(nb::handle o, const char* name, nb::handle value) {
    if (PyObject_SetAttr(o.ptr(), interned(name).ptr(), value.ptr()) != 0) throw nb::python_error();
}

nb::object call_method(nb::handle o, const char* name) {
    PyObject* v = PyObject_CallMethodNoArgs(o.ptr(), interned(name).ptr());
    if (!v) throw nb::python_error();
    return nb::steal(v);
}

nb::object optional_attr(nb::handle o, const char* name) {
    PyObject* v = PyObject_GetAttr(o.ptr(), interned(name).ptr());
    if (!v) PyErr_Clear();
    return nb::steal(v);
}

nb::object call(nb::handle fn, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    const std::size_t positional = args.size() - (kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
    PyObject* r = PyObject_Vectorcall(fn.ptr(), const_cast<PyObject**>(std::data(args)), positional, kwnames);
    if (!r) throw nb::python_error();
    return nb::steal(r);
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

nb::object usb_core() { return attr(global("usb"), "core"); }
nb::object usb_util() { return attr(global("usb"), "util"); }

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

}  // namespace fdh::py
