// Frame decoding entry points: the DLC table, callback registration and the printed report.
#include "fdhost.hpp"
#include "frame_delivery.hpp"
#include "py_env.hpp"
#include "records.hpp"

namespace fdh::receive {

nb::object can_pack_dlc_get(nb::handle, nb::handle head) {
    nb::object dlc = head.attr("dlc");
    if (py::compare(dlc, 9, Py_LT)) return dlc;
    for (long code = 9; code <= 15; ++code)
        if (py::compare(dlc, code, Py_EQ)) return nb::int_(dlc_to_len(code));
    return nb::int_(0);
}

void set_frame_callback(nb::handle self, nb::handle cb) { nb::setattr(self, "frame_callback_", cb); }

void print_can_value(nb::handle self, nb::handle can_val) {
    nb::object head = can_val.attr("head");
    nb::object format = py::global("format");
    auto flag = [&](const char* name) { return py::truthy(head.attr(name)); };
    py::print("=== CAN Value Frame ===");
    py::print("ID          : 0x" + py::str(format(head.attr("id"), "08X")));
    py::print("Timestamp   : " + py::str(head.attr("time_stamp")));
    py::print(std::string("Frame Type  : ") + (flag("fram_type") ? "Data" : "Remote"));
    py::print(std::string("CAN Type    : ") + (flag("can_type") ? "FD" : "2.0"));
    py::print(std::string("ID Type     : ") + (flag("id_type") ? "Extended" : "Standard"));
    py::print(std::string("Direction   : ") + (py::compare(head.attr("dir"), 0, Py_EQ) ? "RX" : "TX"));
    py::print("DLC         : " + py::str(head.attr("dlc")));
    py::print("Reserve     : " + py::str(head.attr("reserve")));
    // As many bytes as the frame carries (the DLC code's length), so a 64-byte frame shows all 64.
    nb::object count = self.attr("can_pack_dlc_get")(head);
    nb::object slice = nb::steal(PySlice_New(nullptr, count.ptr(), nullptr));
    std::string line = "Data        : ";
    bool first = true;
    for (nb::handle b : can_val.attr("data")[slice]) {
        if (!first) line += ' ';
        line += py::str(format(b, "02X"));
        first = false;
    }
    py::print(line);
    py::print("========================");
}

nb::object unpack_can_frame(nb::handle self, nb::handle pdat, nb::handle actual_len) {
    if (!py::truthy(pdat) || py::compare(actual_len, 4, Py_LT)) return nb::int_(-1);
    py::ByteView view(pdat);
    long long claimed = 0;
    {
        int overflow = 0;
        nb::object idx = nb::steal(PyNumber_Index(actual_len.ptr()));
        if (!idx.is_valid()) throw nb::python_error();
        claimed = PyLong_AsLongLongAndOverflow(idx.ptr(), &overflow);
        if (overflow > 0) claimed = LLONG_MAX;
    }
    return nb::int_(deliver_section(self, view.bytes(), claimed));
}

}  // namespace fdh::receive
