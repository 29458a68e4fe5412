// Frame decoding entry points: the DLC table, callback registration and the printed report.
#include "device/names.hpp"
#include "protocol/records.hpp"
#include "python/byte_values.hpp"
#include "python/numbers.hpp"
#include "python/interpreter.hpp"
#include "python/printing.hpp"
#include "python/record.hpp"
#include "receive/frame_delivery.hpp"
#include "receive/receive.hpp"

namespace fdh::receive {

namespace {
using Head = py::Fields<py::RecordId::CanHead>;
using Value = py::Fields<py::RecordId::CanValue>;
}  // namespace

nb::object can_pack_dlc_get(nb::handle, nb::handle head) {
    nb::object dlc = Head(head).get<"dlc">();
    if (py::compare(dlc, 9, Py_LT)) return dlc;
    for (long code = 9; code <= 15; ++code)
        if (py::compare(dlc, code, Py_EQ)) return nb::int_(dlc_to_len(code));
    return nb::int_(0);
}

void set_frame_callback(nb::handle self, nb::handle cb) { py::set_attr(self, obj::frame_callback_, cb); }

void print_can_value(nb::handle self, nb::handle can_val) {
    const Value value(can_val);
    nb::object head_object = value.get<"head">();
    const Head head(head_object);
    nb::object format = py::global(mod::format);
    py::print("=== CAN Value Frame ===");
    py::print("ID          : 0x" + py::str(format(head.get<"id">(), "08X")));
    py::print("Timestamp   : " + py::str(head.get<"time_stamp">()));
    py::print(std::string("Frame Type  : ") + (py::truthy(head.get<"fram_type">()) ? "Data" : "Remote"));
    py::print(std::string("CAN Type    : ") + (py::truthy(head.get<"can_type">()) ? "FD" : "2.0"));
    py::print(std::string("ID Type     : ") + (py::truthy(head.get<"id_type">()) ? "Extended" : "Standard"));
    py::print(std::string("Direction   : ") + (py::compare(head.get<"dir">(), 0, Py_EQ) ? "RX" : "TX"));
    py::print("DLC         : " + py::str(head.get<"dlc">()));
    py::print("Reserve     : " + py::str(head.get<"reserve">()));
    // As many bytes as the frame carries (the DLC code's length), so a 64-byte frame shows all 64.
    nb::object count = py::attr(self, method::can_pack_dlc_get)(head_object);
    nb::object slice = nb::steal(PySlice_New(nullptr, count.ptr(), nullptr));
    std::string line = "Data        : ";
    bool first = true;
    for (nb::handle b : value.get<"data">()[slice]) {
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
    return nb::int_(deliver_section(self, view.bytes(), py::index_value(actual_len), std::chrono::steady_clock::now()));
}

}  // namespace fdh::receive
