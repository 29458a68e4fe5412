// One command, one acknowledgement: framing, writing, reading and checking.
#include <vector>

#include "commands/commands.hpp"
#include "commands/enum_members.hpp"
#include "protocol/ack_frame.hpp"
#include "protocol/command_frame.hpp"
#include "python/byte_values.hpp"
#include "python/numbers.hpp"
#include "python/interpreter.hpp"
#include "python/printing.hpp"

namespace fdh::commands {

nb::object usb_control_send(nb::handle self, nb::handle ptr, nb::handle length) {
    nb::object dev = py::attr(self, obj::dev_handle);
    try {
        dev.attr("clear_halt")(py::global(mod::CONTROL_OUT_EP));
    } catch (nb::python_error& e) {
        if (!py::is_usb_error(e)) throw;
        py::print("[Error] usb.util.clear_halt failed: " + py::error_text(e));
        return ack_member(AckType::USB_CLEAR_FAILED);
    }
    try {
        nb::object slice = nb::steal(PySlice_New(nullptr, length.ptr(), nullptr));
        nb::object data = ptr[slice];
        nb::object written = py::attr(self, obj::dev_handle)
                                 .attr("write")(py::global(mod::CONTROL_OUT_EP), data, nb::arg("timeout") = 1000);
        if (!py::compare(written, length, Py_EQ)) {
            py::print("[Error] dev.write wrote " + py::str(written) + " bytes, expected " + py::str(length));
            return ack_member(AckType::USB_SEND_FAILED);
        }
    } catch (nb::python_error& e) {
        if (!py::is_usb_error(e)) throw;
        py::print("[Error] dev.write (bulk transfer) failed: " + py::error_text(e));
        return ack_member(AckType::USB_SEND_FAILED);
    }
    return nb::int_(0);
}

nb::object usb_control_ack(nb::handle self, nb::handle cmd, nb::handle length, nb::handle data) {
    try {
        py::attr(self, obj::dev_handle).attr("clear_halt")(py::global(mod::CONTROL_IN_EP));
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::print("[Error] clear_halt failed: " + py::error_text(e));
        return ack_member(AckType::USB_ACK_FAILED);
    }
    nb::object rx;
    try {
        nb::object got = py::attr(self, obj::dev_handle)
                             .attr("read")(py::global(mod::CONTROL_IN_EP), py::global(mod::RX_ACK_SIZE),
                                           nb::arg("timeout") = 5000);
        rx = nb::steal(PyObject_Bytes(got.ptr()));
        if (!rx.is_valid()) throw nb::python_error();
    } catch (nb::python_error& e) {
        if (!py::is_usb_error(e)) throw;
        py::print("[Error] Usb_control_ack receive failed: " + py::error_text(e));
        return ack_member(AckType::USB_ACK_FAILED);
    }
    py::ByteView view(rx);
    // A reply with no bytes at all is a failed receive, not a frame to take apart.
    if (view.bytes().empty()) {
        py::print("[Error] Usb_control_ack receive failed: empty reply (0 bytes read)");
        return ack_member(AckType::USB_ACK_FAILED);
    }
    // The command code is compared as the caller gave it (an enumeration member or an integer);
    // one that is no byte is compared with the interpreter's == below.
    long long expected = -1;
    try {
        expected = py::index_value(cmd);
        if (expected > 255) expected = -1;
    } catch (nb::python_error&) {
    }
    const AckResult r = check_ack(view.bytes(), static_cast<std::uint8_t>(expected < 0 ? 0 : expected));
    switch (r.check) {
        case AckCheck::Empty:
        case AckCheck::FrameError:
            py::print("[Error] ACK frame err, frame_start = 0x" + py::hex_upper(r.frame_start, 2) +
                      ", frame_end = 0x" + py::hex_upper(r.frame_end, 2));
            return ack_member(AckType::NACK_FM_ERR);
        case AckCheck::CrcError:
            py::print("[Error] ACK crc err, crc_local = 0x" + py::hex_upper(r.crc_local, 4) + " , crc = 0x" +
                      py::hex_upper(r.crc, 4));
            return ack_member(AckType::NACK_CRC_ERR);
        default:
            break;
    }
    if (expected < 0 ? !py::compare(nb::int_(r.cmd_code), cmd, Py_EQ) : r.check == AckCheck::CmdError) {
        py::print("[Error] ACK cmd_code err, cmd_code = 0x" + py::hex_upper(r.cmd_code, 2));
        return ack_member(AckType::USB_ACK_FAILED);
    }
    if (r.ack_code == 0) {
        py::print("ACK successful");
        if (r.ack_len != 0) {
            if (!length.is_none()) length[0] = nb::int_(r.ack_len);
            if (!data.is_none()) data[0] = py::to_pybytes(r.data);
        }
        return nb::int_(r.ack_code);
    }
    py::print("[Error] ACK ack_code err, ack_code = 0x" + py::hex_upper(r.ack_code, 2));
    return nb::int_(r.ack_code);
}

nb::object usb_control_transfer(nb::handle self, nb::handle cmd, nb::handle length, nb::handle pdata,
                                nb::handle rx_len, nb::handle rx_data) {
    const std::size_t tx_size = nb::cast<std::size_t>(py::global(mod::TX_SIZE));
    // The code and the payload length take one and two bytes of the frame: a value that does not
    // fit is an OverflowError before anything is sent.
    const auto code = static_cast<std::uint8_t>(py::unsigned_in_range(py::index_value(cmd), 0xFF));
    const auto n = static_cast<std::uint16_t>(py::unsigned_in_range(py::index_value(length), 0xFFFF));
    if (tx_size < 7 || std::size_t{n} + 7 > tx_size) throw nb::index_error("bytearray index out of range");
    std::vector<std::uint8_t> payload;
    if (!pdata.is_none()) {
        nb::object slice = nb::steal(PySlice_New(nullptr, nb::int_(n).ptr(), nullptr));
        py::ByteView first(pdata[slice]);
        payload.assign(first.bytes().begin(), first.bytes().end());
        payload.resize(n, 0);
    }
    std::vector<std::uint8_t> buffer(tx_size, 0);
    encode_command_frame(code, n, pdata.is_none() ? nullptr : payload.data(), buffer);
    nb::object frame = py::to_pybytearray(buffer);

    py::attr(self, method::usb_control_send)(frame, nb::int_(std::size_t{n} + 7));
    nb::object result = py::attr(self, method::usb_control_ack)(cmd, rx_len, rx_data);
    if (py::compare(result, ack_member(AckType::ACK_PACK), Py_EQ)) {
        py::print(py::str(py::global(mod::CMD_TYPE_STR)[cmd]) + " ACK SUCCESS");
        return result;
    }
    py::print("[Error] " + py::str(py::global(mod::CMD_TYPE_STR)[cmd]) + " ACK FAIL");
    py::call_method(self, method::usb_clear);
    py::attr(py::global(mod::sys), "exit")(-1);
    return result;  // not reached: sys.exit raises SystemExit
}

}  // namespace fdh::commands
