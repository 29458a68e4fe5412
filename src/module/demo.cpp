#include "module/demo.hpp"

#include "python/interpreter.hpp"
#include "python/printing.hpp"

namespace fdh::py {

void run_demonstration(nb::module_ m) {
    const char* serial = "14AA044B241402B10DDBDAFE448040BB";
    try {
        nb::object ctx = m.attr("fdhost")(1000000, 5000000, serial);
        nb::object usb2 = ctx.attr("__enter__")();
        m.attr("usb2") = usb2;
        try {
            nb::bytes data("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFC", 8);
            while (truthy(global("running").attr("is_set")())) {
                m.attr("desired_duration") = 0.01;
                usb2.attr("fdcanFrameSend")(data, 6);
                sleep(nb::cast<double>(m.attr("desired_duration")));
            }
            print("The program exited safely.");
        } catch (nb::python_error& e) {
            // Leave the context as a `with` block would, then let the error go on.
            ctx.attr("__exit__")(e.type(), e.value(), e.traceback());
            throw;
        }
        ctx.attr("__exit__")(nb::none(), nb::none(), nb::none());
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) {
            // SystemExit and the like end the program; close what was opened on the way out.
            if (nb::hasattr(m, "usb2")) m.attr("usb2").attr("close")();
            throw;
        }
        global("print")("Error: hardware interface exception: " + error_text(e),
                        nb::arg("file") = global("sys").attr("stderr"));
    }
    // Closing again after a normal run is harmless; nothing to close if construction failed.
    if (nb::hasattr(m, "usb2")) m.attr("usb2").attr("close")();
}

}  // namespace fdh::py
