// One command, one acknowledgement: framing, writing, reading and checking.
#include <vector>

#include "ack_frame.hpp"
#include "command_frame.hpp"
#include "fdhost.hpp"
#include "py_env.hpp"

namespace fdh::commands {

namespace {
nb::object ack_member(const char* name) { return py::global("ACK_TYPE").attr(name); }

// value.to_bytes(width, "little") as an integer: OverflowError when it does not fit.
unsigned long fit_unsigned(nb::handle v, unsigned long max) {
    nb::object idx = nb::steal(PyNumber_Index(v.ptr()));
    if (!idx.is_valid()) throw nb::python_error();
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(idx.ptr(), &overflow);
    if (x == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow < 0 || (!overflow && x < 0)) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
        throw nb::python_error();
    }
    if (overflow > 0 || static_cast<unsigned long long>(x) > max) {
        PyErr_SetString(PyExc_OverflowError, "int too big to convert");
        throw nb::python_error();
    }
    return static_cast<unsigned long>(x);
}
}  // namespace

nb::object usb_control_send(nb::handle self, nb::handle ptr, nb::handle length) {
    nb::object dev = self.attr("dev_handle");
    try {
        dev.attr("clear_halt")(py::global("CONTROL_OUT_EP"));
    } catch (nb::python_error& e) {
        if (!py::is_usb_error(e)) throw;
        py::print("[Error] usb.util.clear_halt failed: " + py::error_text(e));
        return ack_member("USB_CLEAR_FAILED");
    }
    try {
        nb::object slice = nb::steal(PySlice_New(nullptr, length.ptr(), nullptr));
        nb::object data = ptr[slice];
        nb::object written = self.attr("dev_handle").attr("write")(py::global("CONTROL_OUT_EP"), data,
                                                                   nb::arg("timeout") = 1000);
        if (!py::compare(written, length, Py_EQ)) {
            py::print("[Error] dev.write wrote " + py::str(written) + " bytes, expected " + py::str(length));
            return ack_member("USB_SEND_FAILED");
        }
    } catch (nb::python_error& e) {
        if (!py::is_usb_error(e)) throw;
        py::print("[Error] dev.write (bulk transfer) failed: " + py::error_text(e));
        return ack_member("USB_SEND_FAILED");
    }
    return nb::int_(0);
}

nb::object usb_control_ack(nb::handle self, nb::handle cmd, nb::handle length, nb::handle data) {
    try {
        self.attr("dev_handle").attr("clear_halt")(py::global("CONTROL_IN_EP"));
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::print("[Error] clear_halt failed: " + py::error_text(e));
        return ack_member("USB_ACK_FAILED");
    }
    nb::object rx;
    try {
        nb::object got = self.attr("dev_handle").attr("read")(py::global("CONTROL_IN_EP"), py::global("RX_ACK_SIZE"),
                                                               nb::arg("timeout") = 5000);
        rx = nb::steal(PyObject_Bytes(got.ptr()));
        if (!rx.is_valid()) throw nb::python_error();
    } catch (nb::python_error& e) {
        if (!py::is_usb_error(e)) throw;
        py::print("[Error] Usb_control_ack receive failed: " + py::error_text(e));
        return ack_member("USB_ACK_FAILED");
    }
    py::ByteView view(rx);
    // A reply with no bytes at all is a failed receive, not a frame to take apart.
    if (view.bytes().empty()) {
        py::print("[Error] Usb_control_ack receive failed: empty reply (0 bytes read)");
        return ack_member("USB_ACK_FAILED");
    }
    // The command code is compared as the caller gave it (an enumeration member or an integer).
    long long expected = -1;
    {
        nb::object idx = nb::steal(PyNumber_Index(cmd.ptr()));
        if (idx.is_valid()) {
            int overflow = 0;
            expected = PyLong_AsLongLongAndOverflow(idx.ptr(), &overflow);
            if (overflow || expected < 0 || expected > 255) expected = -1;
        }
        PyErr_Clear();
    }
    const AckResult r = check_ack(view.bytes(), static_cast<std::uint8_t>(expected < 0 ? 0 : expected));
    switch (r.check) {
        case AckCheck::Empty:
        case AckCheck::FrameError:
            py::print("[Error] ACK frame err, frame_start = 0x" + py::hex_upper(r.frame_start, 2) +
                      ", frame_end = 0x" + py::hex_upper(r.frame_end, 2));
            return ack_member("NACK_FM_ERR");
        case AckCheck::CrcError:
            py::print("[Error] ACK crc err, crc_local = 0x" + py::hex_upper(r.crc_local, 4) + " , crc = 0x" +
                      py::hex_upper(r.crc, 4));
            return ack_member("NACK_CRC_ERR");
        default:
            break;
    }
    if (expected < 0 ? !py::compare(nb::int_(r.cmd_code), cmd, Py_EQ) : r.check == AckCheck::CmdError) {
        py::print("[Error] ACK cmd_code err, cmd_code = 0x" + py::hex_upper(r.cmd_code, 2));
        return ack_member("USB_ACK_FAILED");
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

nb::object usb_contorl_transfer(nb::handle self, nb::handle cmd, nb::handle length, nb::handle pdata,
                                nb::handle rx_len, nb::handle rx_data) {
    const std::size_t tx_size = nb::cast<std::size_t>(py::global("TX_SIZE"));
    const auto code = static_cast<std::uint8_t>(fit_unsigned(cmd, 0xFF));
    const auto n = static_cast<std::uint16_t>(fit_unsigned(length, 0xFFFF));
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

    self.attr("usb_control_send")(frame, nb::int_(std::size_t{n} + 7));
    nb::object result = self.attr("usb_control_ack")(cmd, rx_len, rx_data);
    if (py::compare(result, ack_member("ACK_PACK"), Py_EQ)) {
        py::print(py::str(py::global("CMD_TYPE_STR")[cmd]) + " ACK SUCCESS");
        return result;
    }
    py::print("[Error] " + py::str(py::global("CMD_TYPE_STR")[cmd]) + " ACK FAIL");
    self.attr("usb_clear")();
    py::global("sys").attr("exit")(-1);
    return result;  // not reached: sys.exit raises SystemExit
}

}  // namespace fdh::commands
