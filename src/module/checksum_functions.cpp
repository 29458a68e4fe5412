// Plain built-in functions (not nanobind overloads) so that their argument names and one-line
// documentation strings are exactly what a program introspecting them sees.
#include "module/checksum_functions.hpp"

#include "protocol/crc.hpp"
#include "python/interpreter.hpp"
#include "python/numbers.hpp"

namespace fdh::py {
namespace {

// The one argument of a call, by position or as `keyword`; nullptr with the interpreter's
// TypeError for any other number of arguments.
PyObject* only_argument(PyObject* args, PyObject* kwargs, const char* format, const char* keyword) {
    const char* kw[] = {keyword, nullptr};
    PyObject* value = nullptr;
    return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kw), &value) ? value : nullptr;
}

PyObject* invert_uint8_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* val = only_argument(args, kwargs, "O:invert_uint8", "val");
    return val ? guarded([&] { return PyLong_FromLong(invert_uint8(masked(val, 0xFF))); }) : nullptr;
}

PyObject* invert_uint16_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* val = only_argument(args, kwargs, "O:invert_uint16", "val");
    return val ? guarded([&] { return PyLong_FromLong(invert_uint16(masked(val, 0xFFFF))); }) : nullptr;
}

PyObject* crc16_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* data = only_argument(args, kwargs, "O:CRC16_IBM", "data");
    if (!data) return nullptr;
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
    return guarded([&] {
        nb::object it = nb::steal(PyObject_GetIter(data));
        if (!it.is_valid()) throw nb::python_error();
        std::uint16_t crc = 0;
        while (nb::object item = nb::steal(PyIter_Next(it.ptr())))
            crc = crc16_byte(crc, static_cast<std::uint8_t>(masked(item, 0xFF)));
        if (PyErr_Occurred()) throw nb::python_error();
        return PyLong_FromLong(crc);
    });
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
