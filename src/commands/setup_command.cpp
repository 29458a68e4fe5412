// The bit-timing setup command: fill the payload record, report the rates, send it.
#include "fdhost.hpp"
#include "py_env.hpp"

namespace fdh::commands {

namespace {
nb::object num(PyObject* r) {
    if (!r) throw nb::python_error();
    return nb::steal(r);
}
nb::object add(nb::handle a, nb::handle b) { return num(PyNumber_Add(a.ptr(), b.ptr())); }
nb::object truediv(nb::handle a, nb::handle b) { return num(PyNumber_TrueDivide(a.ptr(), b.ptr())); }
nb::object mul(nb::handle a, nb::handle b) { return num(PyNumber_Multiply(a.ptr(), b.ptr())); }

// clock / prescaler / (seg1 + seg2 + 1), in floating point.
nb::object rate(nb::handle prescaler, nb::handle seg1, nb::handle seg2) {
    return truediv(truediv(nb::int_(80000000), prescaler), add(add(seg1, seg2), nb::int_(1)));
}

// (1.0 + seg1) / (1.0 + seg1 + seg2) * 100.0
nb::object sampling_point(nb::handle seg1, nb::handle seg2) {
    nb::object one = nb::float_(1.0);
    return mul(truediv(add(one, seg1), add(add(one, seg1), seg2)), nb::float_(100.0));
}
}  // namespace

nb::object setup_buard(nb::handle self, nb::handle canMode, nb::handle dbrp, nb::handle dbrp_fd, nb::handle can_seg1,
                       nb::handle can_seg2, nb::handle can_fd_seg1, nb::handle can_fd_seg2) {
    nb::object rec = py::global("setup_baudrate_t")();
    nb::setattr(rec, "can_frame_type", canMode);
    nb::setattr(rec, "can_prescaler", dbrp);
    nb::setattr(rec, "canfd_prescaler", dbrp_fd);
    nb::setattr(rec, "can_seg1", can_seg1);
    nb::setattr(rec, "can_seg2", can_seg2);
    nb::setattr(rec, "can_sjw", nb::int_(2));
    nb::setattr(rec, "canfd_seg1", can_fd_seg1);
    nb::setattr(rec, "canfd_seg2", can_fd_seg2);
    nb::setattr(rec, "canfd_sjw", nb::int_(2));

    if (py::compare(dbrp, 0, Py_NE) && py::compare(dbrp_fd, 0, Py_NE)) {
        py::print("Set the arbitration domain baud rate: " + py::str(rate(dbrp, can_seg1, can_seg2)));
        py::print("Set the data baud rate: " + py::str(rate(dbrp_fd, can_fd_seg1, can_fd_seg2)));
    }
#if FDHOST_WINDOWS_REPORT
    py::print("Domain Sampling point: " + py::str(sampling_point(rec.attr("can_seg1"), rec.attr("can_seg2"))) + "%");
    py::print("Data Sampling point: " + py::str(sampling_point(rec.attr("canfd_seg1"), rec.attr("canfd_seg2"))) + "%");
#else
    py::print("Sampling point: " + py::str(sampling_point(rec.attr("canfd_seg1"), rec.attr("canfd_seg2"))) + "%");
#endif
    nb::object payload = rec.attr("to_bytes")();
    return self.attr("usb_contorl_transfer")(py::global("CMD_TYPE").attr("CMD_SETUP_BUARD"), nb::len(payload), payload,
                                             nb::none(), nb::none());
}

}  // namespace fdh::commands
