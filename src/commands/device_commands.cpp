// The acknowledged device commands and the heartbeat.
#include "command_frame.hpp"
#include "direct_transfer.hpp"
#include "fdhost.hpp"
#include "py_env.hpp"

#include <cstring>

namespace fdh::commands {

namespace {
nb::object cmd_member(const char* name) { return py::global("CMD_TYPE").attr(name); }

nb::object plain_command(nb::handle self, const char* name) {
    return self.attr("usb_contorl_transfer")(cmd_member(name), 0, nb::none(), nb::none(), nb::none());
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
    h.result = self.attr("usb_contorl_transfer")(cmd_member("CMD_ACK_HELLO"), 0, nb::none(), h.length, h.data);
    py::print("Ack_len = " + py::str(h.length[0]) + " , ack_dat: " + py::str(h.data));
    return h;
}
}  // namespace

nb::object start_cap(nb::handle self) { return plain_command(self, "CMD_START_CAP"); }
nb::object stop_cap(nb::handle self) { return plain_command(self, "CMD_STOP_CAP"); }
nb::object start_test(nb::handle self) { return plain_command(self, "CMD_TEST_START"); }

nb::object ack_hello(nb::handle self) { return hello_exchange(self).result; }

nb::object test_ack(nb::handle self, nb::handle length_ref, nb::handle data_ref) {
    Hello h = hello_exchange(self);
    if (!length_ref.is_none()) length_ref[0] = h.length[0];
    if (!data_ref.is_none()) data_ref[0] = h.data[0];
    return h.result;
}

void heart(nb::handle self) {
    static const auto frame = heartbeat_frame();
    try {
        nb::object dev = py::attr(self, "dev_handle");
        nb::object ep = py::global("WINUSB_OUT_EP");
        if (const int number = device::endpoint_number(ep); number >= 0) {
            // Every 10 ms for as long as the object lives: straight to libusb where pyusb allows.
            std::uint8_t bytes[sizeof frame];
            std::memcpy(bytes, frame.data(), sizeof frame);
            int written = 0;
            if (device::direct_transfer(dev, number, bytes, static_cast<int>(sizeof frame), 100, written) !=
                device::Direct::NotTaken)
                return;
        }
        dev.attr("write")(ep, py::to_pybytearray(frame), nb::arg("timeout") = 100);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::print("In USB_CMD_HEART,USB bulk Transmission Error: " + py::error_text(e));
    }
}

}  // namespace fdh::commands
