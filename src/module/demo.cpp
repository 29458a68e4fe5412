#include "module/demo.hpp"

#include "python/interpreter.hpp"
#include "python/printing.hpp"

namespace fdh::py {

namespace {

// While alive, `e` is the exception being handled (what sys.exc_info() gives), as inside an
// `except` or `finally` block: an exception raised by the code run meanwhile gets it as its
// __context__, so a traceback shows both.
class Handling {
public:
    explicit Handling(const nb::python_error& e) {
        PyErr_GetExcInfo(&type_, &value_, &traceback_);
        PyErr_SetExcInfo(e.type().inc_ref().ptr(), e.value().inc_ref().ptr(), e.traceback().release().ptr());
    }
    ~Handling() { PyErr_SetExcInfo(type_, value_, traceback_); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject *type_ = nullptr, *value_ = nullptr, *traceback_ = nullptr;
};

nb::object traceback_or_none(const nb::python_error& e) {
    nb::object tb = e.traceback();
    return tb.is_valid() ? tb : nb::none();
}

// The `with fdhost(...) as usb2:` block: construction, the loop until Ctrl-C, the closing message.
void run_with_block(nb::object& constructed) {
    constructed = global("fdhost")(1000000, 5000000, "14AA044B241402B10DDBDAFE448040BB");
    nb::object leave = attr(constructed, "__exit__");  // looked up before entering, as `with` does
    set_global("usb2", call_method(constructed, "__enter__"));
    try {
        nb::bytes data("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFC", 8);
        while (truthy(call_method(global("running"), "is_set"))) {
            set_global("desired_duration", nb::float_(0.01));
            attr(global("usb2"), "fdcanFrameSend")(data, 6);
            attr(global("time"), "sleep")(global("desired_duration"));
        }
        print("The program exited safely.");
    } catch (nb::python_error& e) {
        bool suppressed;
        {
            Handling handling(e);
            suppressed = truthy(leave(e.type(), e.value(), traceback_or_none(e)));
        }
        if (!suppressed) throw;
        return;
    }
    leave(nb::none(), nb::none(), nb::none());
}

// Closes `usb2`; when __enter__ failed, the object it was called on instead: its worker threads
// already run, and the program could not end while they do.
void close_at_end(const nb::object& constructed) {
    if (PyDict_GetItemString(PyModule_GetDict(module().ptr()), "usb2"))
        call_method(global("usb2"), "close");
    else if (constructed.is_valid())
        call_method(constructed, "close");
}

}  // namespace

void run_demonstration(nb::module_) {
    nb::object constructed;
    try {
        try {
            run_with_block(constructed);
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_Exception)) throw;  // SystemExit, KeyboardInterrupt: closed, then passed on
            Handling handling(e);
            const std::string text = "Error: hardware interface exception: " + error_text(e);
            global("print")(nb::str(text.data(), text.size()), nb::arg("file") = global("sys").attr("stderr"));
        }
    } catch (nb::python_error& e) {
        Handling handling(e);
        close_at_end(constructed);
        throw;
    }
    // After a normal run the object is closed a second time, which is harmless.
    close_at_end(constructed);
}

}  // namespace fdh::py
