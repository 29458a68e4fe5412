// fdhost-demo: the interpreter with its usual start-up, running the module body as the main program.
#include <Python.h>

extern "C" PyObject* PyInit_fdhost(void);

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
    if (rc) PyErr_Print();  // a SystemExit ends the process here with its own code
    Py_XDECREF(module);
    Py_XDECREF(spec);
    Py_XDECREF(machinery);
    if (Py_FinalizeEx() < 0) rc = 120;
    return rc;
}
