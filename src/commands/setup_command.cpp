// The bit-timing setup command: fill the payload record, report the rates, send it.
#include "commands/commands.hpp"
#include "commands/enum_members.hpp"
#include "protocol/records.hpp"
#include "python/interpreter.hpp"
#include "python/printing.hpp"
#include "python/record.hpp"

namespace fdh::commands {

namespace {
nb::object num(PyObject* r) {
    if (!r) throw nb::python_error();
    return nb::steal(r);
}
nb::object add(nb::handle a, nb::handle b) { return num(PyNumber_Add(a.ptr(), b.ptr())); }
nb::object truediv(nb::handle a, nb::handle b) { return num(PyNumber_TrueDivide(a.ptr(), b.ptr())); }
nb::object mul(nb::handle a, nb::handle b) { return num(PyNumber_Multiply(a.ptr(), b.ptr())); }

// The bit rate a prescaler and two segments give on the adapter's 80 MHz clock. The arguments are
// whatever the caller passed, so the arithmetic is the interpreter's and the report prints the
// float it gives.
nb::object rate(nb::handle prescaler, nb::handle seg1, nb::handle seg2) {
    return truediv(truediv(nb::int_(CAN_CLOCK_HZ), prescaler), add(add(seg1, seg2), nb::int_(1)));
}

// Where in a bit the adapter samples, in percent of the bit: after the sync quantum and segment 1.
nb::object sampling_point(nb::handle seg1, nb::handle seg2) {
    nb::object one = nb::float_(1.0);
    return mul(truediv(add(one, seg1), add(add(one, seg1), seg2)), nb::float_(100.0));
}

// Prints the rates and sampling point of a filled setup record and sends it. The rates are
// computed from the values the caller gave (`dbrp` ...), so the report shows what was asked.
nb::object report_and_send(nb::handle self, nb::handle rec, nb::handle dbrp, nb::handle dbrp_fd, nb::handle can_seg1,
                           nb::handle can_seg2, nb::handle can_fd_seg1, nb::handle can_fd_seg2) {
    const py::Fields<py::RecordId::SetupBaudrate> fields(rec);
    if (py::compare(dbrp, 0, Py_NE) && py::compare(dbrp_fd, 0, Py_NE)) {
        py::print("Set the arbitration domain baud rate: " + py::str(rate(dbrp, can_seg1, can_seg2)));
        py::print("Set the data baud rate: " + py::str(rate(dbrp_fd, can_fd_seg1, can_fd_seg2)));
    }
#if FDHOST_WINDOWS_REPORT
    py::print("Domain Sampling point: " + py::str(sampling_point(fields.get<"can_seg1">(), fields.get<"can_seg2">())) + "%");
    py::print("Data Sampling point: " + py::str(sampling_point(fields.get<"canfd_seg1">(), fields.get<"canfd_seg2">())) + "%");
#else
    py::print("Sampling point: " + py::str(sampling_point(fields.get<"canfd_seg1">(), fields.get<"canfd_seg2">())) + "%");
#endif
    nb::object payload = py::call_method(rec, "to_bytes");
    return py::attr(self, method::usb_control_transfer)(cmd_member(CmdType::CMD_SETUP_BUARD), nb::len(payload), payload,
                                                        nb::none(), nb::none());
}
}  // namespace

nb::object setup_baud(nb::handle self, nb::handle canMode, nb::handle dbrp, nb::handle dbrp_fd, nb::handle can_seg1,
                      nb::handle can_seg2, nb::handle can_fd_seg1, nb::handle can_fd_seg2) {
    nb::object rec = py::global(mod::setup_baudrate_t)();
    const py::Fields<py::RecordId::SetupBaudrate> fields(rec);
    fields.set<"can_frame_type">(canMode);
    fields.set<"can_prescaler">(dbrp);
    fields.set<"canfd_prescaler">(dbrp_fd);
    fields.set<"can_seg1">(can_seg1);
    fields.set<"can_seg2">(can_seg2);
    fields.set<"can_sjw">(nb::int_(2));
    fields.set<"canfd_seg1">(can_fd_seg1);
    fields.set<"canfd_seg2">(can_fd_seg2);
    fields.set<"canfd_sjw">(nb::int_(2));
    return report_and_send(self, rec, dbrp, dbrp_fd, can_seg1, can_seg2, can_fd_seg1, can_fd_seg2);
}

nb::object send_setup(nb::handle self, const SetupBaudrate& t) {
    nb::object rec = py::global(mod::setup_baudrate_t)();
    const py::Fields<py::RecordId::SetupBaudrate> fields(rec);
    auto v = [](std::uint8_t b) { return nb::int_(b); };
    fields.set<"can_frame_type">(v(t.can_frame_type));
    fields.set<"can_seg1">(v(t.can_seg1));
    fields.set<"can_seg2">(v(t.can_seg2));
    fields.set<"can_sjw">(v(t.can_sjw));
    fields.set<"can_prescaler">(v(t.can_prescaler));
    fields.set<"canfd_seg1">(v(t.canfd_seg1));
    fields.set<"canfd_seg2">(v(t.canfd_seg2));
    fields.set<"canfd_sjw">(v(t.canfd_sjw));
    fields.set<"canfd_prescaler">(v(t.canfd_prescaler));
    return report_and_send(self, rec, v(t.can_prescaler), v(t.canfd_prescaler), v(t.can_seg1), v(t.can_seg2),
                           v(t.canfd_seg1), v(t.canfd_seg2));
}

}  // namespace fdh::commands
