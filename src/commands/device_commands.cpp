// The acknowledged device commands.
#include "commands/commands.hpp"
#include "commands/enum_members.hpp"
#include "python/interpreter.hpp"
#include "python/printing.hpp"

namespace fdh::commands {

namespace {
nb::object transfer(nb::handle self, CmdType code, nb::handle rx_len, nb::handle rx_data) {
    return py::attr(self, method::usb_control_transfer)(cmd_member(code), 0, nb::none(), rx_len, rx_data);
}

// The hello exchange shared by USB_CMD_ACK_HELLO and USB_CMD_TEST_ACK: result, length holder, data holder.
struct Hello {
    nb::object result;
    nb::list length;
    nb::list data;
};

Hello hello_exchange(nb::handle self) {
    Hello h;
    h.length.append(nb::int_(0));
    h.data.append(nb::none());
    h.result = transfer(self, CmdType::CMD_ACK_HELLO, h.length, h.data);
    py::print("Ack_len = " + py::str(h.length[0]) + " , ack_dat: " + py::str(h.data));
    return h;
}
}  // namespace

nb::object start_cap(nb::handle self) { return transfer(self, CmdType::CMD_START_CAP, nb::none(), nb::none()); }
nb::object stop_cap(nb::handle self) { return transfer(self, CmdType::CMD_STOP_CAP, nb::none(), nb::none()); }
nb::object start_test(nb::handle self) { return transfer(self, CmdType::CMD_TEST_START, nb::none(), nb::none()); }

nb::object ack_hello(nb::handle self) { return hello_exchange(self).result; }

nb::object test_ack(nb::handle self, nb::handle length_ref, nb::handle data_ref) {
    Hello h = hello_exchange(self);
    if (!length_ref.is_none()) length_ref[0] = h.length[0];
    if (!data_ref.is_none()) data_ref[0] = h.data[0];
    return h.result;
}

}  // namespace fdh::commands
