// Plain built-in functions (not nanobind overloads) so that their argument names and one-line
// documentation strings are exactly what a program introspecting them sees.
#include "checksum_functions.hpp"

#include "crc.hpp"
#include "py_env.hpp"

namespace fdh::py {
namespace {

// Low `bits` bits of val, with the interpreter's & operator.
bool low_bits(PyObject* val, unsigned long long mask, unsigned long long& out) {
    if (PyLong_CheckExact(val)) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(val, &overflow);
        if (!overflow) {
            out = static_cast<unsigned long long>(x) & mask;
            return true;
        }
        PyErr_Clear();
    }
    PyObject* m = PyLong_FromUnsignedLongLong(mask);
    if (!m) return false;
    PyObject* r = PyNumber_And(val, m);
    Py_DECREF(m);
    if (!r) return false;
    out = PyLong_AsUnsignedLongLong(r);
    Py_DECREF(r);
    return !PyErr_Occurred();
}

PyObject* invert_uint8_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"val", nullptr};
    PyObject* val = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:invert_uint8", const_cast<char**>(kw), &val)) return nullptr;
    unsigned long long v = 0;
    if (!low_bits(val, 0xFF, v)) return nullptr;
    return PyLong_FromLong(invert_uint8(v));
}

PyObject* invert_uint16_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"val", nullptr};
    PyObject* val = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:invert_uint16", const_cast<char**>(kw), &val)) return nullptr;
    unsigned long long v = 0;
    if (!low_bits(val, 0xFFFF, v)) return nullptr;
    return PyLong_FromLong(invert_uint16(v));
}

PyObject* crc16_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"data", nullptr};
    PyObject* data = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:CRC16_IBM", const_cast<char**>(kw), &data)) return nullptr;
    // Bytes-like objects: checksum straight over their memory, without the interpreter lock when large.
    if (PyObject_CheckBuffer(data)) {
        Py_buffer view;
        if (PyObject_GetBuffer(data, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) == 0) {
            const char* f = view.format;
            if (view.itemsize == 1 && (!f || ((f[0] == 'B' || f[0] == 'b') && f[1] == 0))) {
                std::span<const std::uint8_t> s(static_cast<const std::uint8_t*>(view.buf),
                                                static_cast<std::size_t>(view.len));
                std::uint16_t crc;
                if (s.size() > 16384) {
                    Py_BEGIN_ALLOW_THREADS crc = crc16_ibm(s);
                    Py_END_ALLOW_THREADS
                } else {
                    crc = crc16_ibm(s);
                }
                PyBuffer_Release(&view);
                return PyLong_FromLong(crc);
            }
            PyBuffer_Release(&view);
        } else {
            PyErr_Clear();
        }
    }
    // Any other iterable: element by element, only the low eight bits of each counted.
    PyObject* it = PyObject_GetIter(data);
    if (!it) return nullptr;
    std::uint16_t crc = 0;
    while (PyObject* item = PyIter_Next(it)) {
        unsigned long long v = 0;
        bool ok = low_bits(item, 0xFF, v);
        Py_DECREF(item);
        if (!ok) {
            Py_DECREF(it);
            return nullptr;
        }
        crc = crc16_byte(crc, static_cast<std::uint8_t>(v));
    }
    Py_DECREF(it);
    if (PyErr_Occurred()) return nullptr;
    return PyLong_FromLong(crc);
}

PyMethodDef methods[] = {
    {"invert_uint8", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(invert_uint8_fn)),
     METH_VARARGS | METH_KEYWORDS, "invert_uint8(val)\n--\n\nReverse the bits of a uint8."},
    {"invert_uint16", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(invert_uint16_fn)),
     METH_VARARGS | METH_KEYWORDS, "invert_uint16(val)\n--\n\nReverse the bits of a uint16."},
    {"CRC16_IBM", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(crc16_fn)), METH_VARARGS | METH_KEYWORDS,
     "CRC16_IBM(data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_checksum_functions(nanobind::module_& m) {
    nb::object name = m.attr("__name__");
    for (PyMethodDef* d = methods; d->ml_name; ++d) {
        PyObject* f = PyCFunction_NewEx(d, m.ptr(), name.ptr());
        if (!f || PyModule_AddObject(m.ptr(), d->ml_name, f) != 0) {
            Py_XDECREF(f);
            throw nb::python_error();
        }
    }
}

}  // namespace fdh::py
