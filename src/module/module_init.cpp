// The module's init function. Multi-phase initialisation, so the demonstration program can execute
// the same module body under the name "__main__"; the module is initialised once per process.
#include <nanobind/nanobind.h>

#include "module/module_body.hpp"
#include "module/module_doc.hpp"

namespace nb = nanobind;

namespace {

PyObject* g_initialised = nullptr;  // the module object whose body has run
int64_t g_interpreter = -1;

int fdhost_exec(PyObject* m) {
    const int64_t interp = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (g_interpreter == -1) {
        g_interpreter = interp;
    } else if (g_interpreter != interp) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return -1;
    }
    if (g_initialised) {
        if (g_initialised == m) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'fdhost' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    // NB_MODULE spelled out (nanobind internals; versions pinned in pyproject.toml): its exec would run the body twice.
    nb::detail::internals = NB_CALL(nb_module_init)(NB_DOMAIN_STR, m);
    if (!nb::detail::internals) return -1;
    nb::set_leak_warnings(false);
    g_initialised = m;
    Py_INCREF(m);
    try {
        fdh::py::run_module_body(nb::borrow<nb::module_>(m));
        return 0;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    return -1;
}

PyObject* g_def = nullptr;

}  // namespace

extern "C" NB_EXPORT PyObject* PyInit_fdhost(void) {
    nb::detail::init_singletons();
    if (!nb::detail::nb_backend_init("fdhost")) return nullptr;
    if (!g_def) g_def = NB_CALL(module_new)("fdhost", fdh::py::module_doc, reinterpret_cast<void*>(fdhost_exec), NB_ABI_MINOR_TAG);
    return g_def;
}
