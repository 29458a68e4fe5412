// fdhost-demo: the interpreter with its usual start-up, running the module body as the main program.
#include <Python.h>

#include <csignal>
#if !defined(_WIN32)
#include <unistd.h>
#endif

extern "C" PyObject* PyInit_fdhost(void);

namespace {
// How the interpreter's own program ends after an unhandled KeyboardInterrupt: by the signal itself,
// so the shell sees an interrupted program.
int exit_interrupted() {
#if defined(_WIN32)
    return static_cast<int>(0xC000013AL);  // STATUS_CONTROL_C_EXIT
#else
    std::signal(SIGINT, SIG_DFL);
    kill(getpid(), SIGINT);
    return 128 + SIGINT;  // only if the signal did not end the process
#endif
}
}  // namespace

int main(int argc, char** argv) {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    PyStatus status = PyConfig_SetBytesArgv(&config, argc, argv);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
    status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);

    int rc = 0;
    PyObject* def = PyInit_fdhost();
    PyObject* machinery = def ? PyImport_ImportModule("importlib.machinery") : nullptr;
    PyObject* spec = machinery ? PyObject_CallMethod(machinery, "ModuleSpec", "sO", "__main__", Py_None) : nullptr;
    PyObject* module = spec ? PyModule_FromDefAndSpec(reinterpret_cast<PyModuleDef*>(def), spec) : nullptr;
    if (module) {
        PyObject* modules = PyImport_GetModuleDict();
        PyDict_SetItemString(modules, "__main__", module);
        if (PyModule_ExecDef(module, reinterpret_cast<PyModuleDef*>(def)) < 0) rc = 1;
    } else {
        rc = 1;
    }
    bool interrupted = false;
    if (rc) {
        interrupted = PyErr_ExceptionMatches(PyExc_KeyboardInterrupt);
        PyErr_Print();  // a SystemExit ends the process here with its own code
    }
    Py_XDECREF(module);
    Py_XDECREF(spec);
    Py_XDECREF(machinery);
    if (Py_FinalizeEx() < 0) rc = 120;
    return interrupted ? exit_interrupted() : rc;
}
