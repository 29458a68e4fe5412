// A Python object the module keeps for the rest of the process (a handler, a class), set and read
// from any thread: on a free-threaded interpreter no interpreter lock orders those, so a reader
// takes its own reference under the mutex and a replaced object is released after it.
#pragma once
#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace fdh::binding {

class SharedRef {
public:
    // The object, or an invalid handle when none is set.
    nb::object get() {
        nb::ft_lock_guard lock(mu_);
        return nb::borrow(obj_);
    }
    // Sets the object (None or an invalid handle: none).
    void set(nb::handle obj) {
        PyObject* next = obj.is_valid() && !obj.is_none() ? obj.inc_ref().ptr() : nullptr;
        PyObject* before;
        {
            nb::ft_lock_guard lock(mu_);
            before = obj_;
            obj_ = next;
        }
        if (before) nb::handle(before).dec_ref();  // may run Python code: not under the mutex
    }

private:
    nb::ft_mutex mu_;
    PyObject* obj_ = nullptr;  // never released at exit: the interpreter may be finalising by then
};

}  // namespace fdh::binding
