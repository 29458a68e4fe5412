// The interpreter as the device code sees it: the module's namespace, attribute access with names
// made once, pyusb looked up at the moment of use, and what a caught exception is.
#pragma once
#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>

namespace nb = nanobind;

namespace fdh::py {

// The module object once its body has started; names are looked up in its namespace at the
// moment of use, so a program can rebind them (slot lists, tables, the imported `usb`, `time` ...).
void set_module(nb::handle m);
nb::handle module();
nb::object global(const char* name);  // NameError when missing, as a Python global would be
void set_global(const char* name, nb::handle value);

// The interned str of `name`, made once per text and kept for the life of the process: attribute
// and namespace lookups with it skip building a new string each time. Needs the interpreter lock.
nb::object interned(const char* name);
// getattr(o, name), setattr(o, name, value) and o.name() with an interned name.
nb::object attr(nb::handle o, const char* name);
void set_attr(nb::handle o, const char* name, nb::handle value);
nb::object call_method(nb::handle o, const char* name);
// getattr(o, name), or an invalid object when that fails: any failure means "absent", as for hasattr.
nb::object optional_attr(nb::handle o, const char* name);
// fn(*args) without a tuple; the last len(kwnames) arguments are passed by those keywords.
nb::object call(nb::handle fn, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);

// usb.core / usb.util through the module's `usb`, looked up afresh on every call.
nb::object usb_core();
nb::object usb_util();

// An exception caught from a call into Python.
bool is_usb_error(const nb::python_error& e);        // isinstance(e, usb.core.USBError)
nb::object error_errno(const nb::python_error& e);   // e.errno (None when absent)
bool is_timeout_error(const nb::python_error& e);    // errno 110, the platform's ETIMEDOUT, or the time-out class
std::string error_text(const nb::python_error& e);   // str(e)
std::string str(nb::handle o);                       // str(o)

// The result of `body` for a function the interpreter calls directly (a PyCFunction): an exception
// thrown on the way becomes the interpreter's pending error and the result nullptr.
template <typename Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (nb::python_error& e) {
        e.restore();
    }
    return nullptr;
}

// time.sleep(seconds) through the module's `time` (releases the interpreter lock while waiting).
void sleep(double seconds);

// bool(o) and rich comparison, with the interpreter's semantics.
bool truthy(nb::handle o);
bool compare(nb::handle a, nb::handle b, int op);
inline bool compare(nb::handle a, long b, int op) { return compare(a, nb::int_(b), op); }

}  // namespace fdh::py
