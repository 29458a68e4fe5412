// The interpreter's view of the device class: names and argument names only; the behaviour
// lives in the subsystem folders. A name spelt through method:: is also called through the object
// by other parts of the module (device/names.hpp).
#include "module/fdhost_binding.hpp"

#include "commands/commands.hpp"
#include "device/device.hpp"
#include "device/names.hpp"
#include "device/object_state.hpp"
#include "receive/receive.hpp"
#include "transmit/transmit.hpp"

using namespace nb::literals;

// What help() shows for the class and each method: what it does, arguments and units, what it
// prints, returns and raises. Kept apart from the .def lines so those stay one call each.
namespace fdh::py::doc {
inline constexpr char fdhost[] =
    "One USB-to-CAN-FD adapter, opened and started by the constructor, released by close() or a with block.\n\n"
    "Every method works on the object's plain attributes (dev_handle, stop_thread, mutex_, frame_callback_,\n"
    "nom_baud_, dat_baud_, sn_, ...) and prints its progress and errors as lines on standard output.";
inline constexpr char init[] =
    "Find, open and start the adapter whose serial number is sn.\n\n"
    "nom_baud: nominal (arbitration) bitrate in bit/s: 1000000, 500000, 250000, 200000, 125000 or 100000.\n"
    "dat_baud: data-phase bitrate in bit/s: 5000000, 4000000, 2500000, 2000000, 1000000, 500000, 250000,\n"
    "    200000, 125000 or 100000. Above 1000000 frames are sent as CAN FD, otherwise as classic CAN.\n"
    "sn: the adapter's serial-number string.\n\n"
    "Claims interfaces 0-2, starts capture, sets the bit timing (a rate missing from the tables sends zero\n"
    "timing values) and starts the heartbeat and receive threads; takes at least 1.2 s.\n"
    "Raises SystemExit(-1) when no adapter is found, none has serial sn or the adapter rejects a command;\n"
    "usb.core.USBError when an endpoint halt cannot be cleared.\n\n"
    "Keyword-only options (the python-can interface uses them; the defaults change nothing):\n"
    "line_sink: a callable(line: str, to_stderr: bool) that receives every line the object would print.\n"
    "settle: False skips the constructor's fixed pauses (for virtual adapters).\n"
    "setup: nine bit-timing bytes (a setup_baudrate_t encoding) sent instead of the table lookup.\n"
    "receive_queue: > 0 queues up to that many received frames for recv_message() instead of the callback.\n"
    "receive_own: with receive_queue, also queue the adapter's echoes of frames this object sent.\n"
    "virtual_adapter: the adapter is a virtual one (its frames carry bitrate switch and error state bits).";
inline constexpr char enter[] = "Print the entry banner and return the object itself.";
inline constexpr char exit[] =
    "Stop the worker threads and release the adapter, as close(); an exception from the with block propagates.";
inline constexpr char close[] =
    "Stop the worker threads (waiting for them without time-out) and release the adapter.\n\n"
    "Sends no command to the adapter; calling it again is harmless. Never call it from a frame callback.";
inline constexpr char usb_clear[] =
    "Release the adapter and reset dev_handle, usb_dev, device_list, kq_cnt and the slot lists\n"
    "kq_device, kq_string, kq_sn. Never raises (a failure is printed); does not stop the threads.";
inline constexpr char getDeviceHandle[] = "The pyusb device every transfer uses, or None while no adapter is open.";
inline constexpr char usb_get_kq_device[] =
    "Scan the USB bus for adapters and record up to KQ_DEV_MAX of them, sorted by bus and address, in the\n"
    "module lists kq_device (pyusb devices), kq_string ('device:<bus>,<address>') and kq_sn (serials, '' when\n"
    "unreadable). Returns the list kq_string itself, or [] after usb_clear() when none is found.";
inline constexpr char usb_open[] =
    "Open the scanned adapter whose serial equals sn_str and claim its interfaces 0, 1 and 2.\n\n"
    "Returns 1, or -1 when no scanned adapter has that serial (scan first with usb_get_kq_device) or a claim\n"
    "fails (the adapter is then released).";
inline constexpr char can_pack_dlc_get[] =
    "Data length in bytes for the DLC code of the can_head_type head: codes 0-8 as they are, 9-15 give\n"
    "12, 16, 20, 24, 32, 48, 64; a code above 15 gives 0.";
inline constexpr char fillFDCANFrame[] =
    "Fill the can_tx_type frame in place for a data frame with standard identifier canId.\n\n"
    "Copies at most the first 64 bytes of data and puts their count in dlc; the frame is CAN FD when the\n"
    "data bitrate dat_baud_ is above 1000000 bit/s, classic CAN otherwise.";
inline constexpr char set_tx_frame[] = "Store frame.to_bytes() (88 bytes) in tx_frame, the record send_data() writes.";
inline constexpr char send_data[] =
    "Write tx_frame to the adapter's CAN OUT endpoint (0x03) with a 1 ms time-out.\n\n"
    "A USB failure or a short write is printed, not raised; AttributeError before the first set_tx_frame().";
inline constexpr char fdcanFrameSend[] =
    "Send one CAN frame: data (bytes, bytearray or a list of byte values; at most 64 bytes are sent) with\n"
    "the standard identifier canId, as a data frame.\n\n"
    "CAN FD when the data bitrate is above 1000000 bit/s, classic CAN otherwise. A USB failure of the write\n"
    "is printed, not raised; after the adapter was released the write raises AttributeError.";
inline constexpr char usb_control_send[] =
    "Write the first length bytes of the command frame ptr to endpoint 0x02 (1000 ms time-out).\n\n"
    "Returns 0, or ACK_TYPE.USB_CLEAR_FAILED / ACK_TYPE.USB_SEND_FAILED (the failure is printed).";
inline constexpr char usb_control_ack[] =
    "Read and check the acknowledgement of command code cmd from endpoint 0x82 (5000 ms time-out).\n\n"
    "Returns the adapter's ACK_TYPE code (ACK_PACK, 0, when accepted), or NACK_FM_ERR, NACK_CRC_ERR or\n"
    "USB_ACK_FAILED when the reply is rejected (printed). The reply data of an accepted acknowledgement\n"
    "replaces element 0 of the one-element lists length (its byte count) and data (bytes); None skips one.";
inline constexpr char usb_control_transfer[] =
    "Send command cmd (a CMD_TYPE code 0-6) with length payload bytes from pdata (None: zeros) and check\n"
    "its acknowledgement; rx_len and rx_data receive the reply as in usb_control_ack.\n\n"
    "Returns ACK_TYPE.ACK_PACK. Any other outcome is printed, releases the adapter and raises SystemExit(-1).";
inline constexpr char start_cap[] =
    "Start capturing the bus (CMD_START_CAP). Returns 0; a rejection releases the adapter and raises SystemExit(-1).";
inline constexpr char stop_cap[] =
    "Stop capturing the bus (CMD_STOP_CAP). Returns 0; a rejection releases the adapter and raises SystemExit(-1).";
inline constexpr char start_test[] =
    "Start the adapter's test mode (CMD_TEST_START). Returns 0; a rejection releases the adapter and raises\n"
    "SystemExit(-1).";
inline constexpr char setup_baud[] =
    "Set the bit timing of both phases on an 80 MHz clock.\n\n"
    "canMode: 0 classic CAN, 1 CAN FD. dbrp, dbrp_fd: nominal and data-phase prescalers. can_seg1, can_seg2,\n"
    "can_fd_seg1, can_fd_seg2: time segments 1 and 2 of each phase, in time quanta; both jump widths are 2.\n"
    "Prints the resulting bitrates in bit/s, 80000000 / prescaler / (1 + seg1 + seg2) (left out when a\n"
    "prescaler is 0), and the sampling point in per cent. Returns 0; a rejection releases the adapter and\n"
    "raises SystemExit(-1).";
inline constexpr char ack_hello[] =
    "Send CMD_ACK_HELLO and print the reply's length and data. Returns 0; a rejection releases the adapter\n"
    "and raises SystemExit(-1).";
inline constexpr char test_ack[] =
    "As USB_CMD_ACK_HELLO; also puts the reply length (0 without data) and data (bytes, or None) in element 0\n"
    "of the one-element lists length_ref and data_ref (None skips one).";
inline constexpr char heart[] =
    "Write the 24-byte heartbeat frame to endpoint 0x01 (100 ms time-out); a failure is printed, not raised.\n"
    "The heartbeat thread calls it every 10 ms.";
inline constexpr char setFrameCallback[] =
    "Register cb, called on the receive thread with one can_value_type for every frame received from the\n"
    "bus; None switches delivery off.\n\n"
    "Callbacks never overlap and hold up reading while they run. If cb raises, the error is printed and the\n"
    "rest of that transfer is dropped. cb must not close the object.";
inline constexpr char print_can_value[] =
    "Print the frame can_val (a can_value_type) as an eleven-line report: identifier, time stamp, frame,\n"
    "CAN and identifier type, direction, DLC code, reserve and data bytes. Usable as the frame callback.";
inline constexpr char unpack_can_frame[] =
    "Check one received section pdat of actual_len bytes (16-bit count, frame records, CRC-16) and hand\n"
    "every frame received from the bus to the callback.\n\n"
    "Returns 0, or -1 when the section is rejected (frames before a fault stay delivered). An exception\n"
    "from the callback propagates.";
inline constexpr char unpack_usb_frame[] =
    "Check one bulk receive container pdat of length bytes (0xA5, count, section, 0x5A) and decode its\n"
    "section with unpack_can_frame, holding mutex_.\n\n"
    "Returns unpack_can_frame's result, or -1 when the container is rejected or decoding raised (printed).";
inline constexpr char get_data_thread[] =
    "Receive thread body: read containers from endpoint 0x81 (1 ms time-out) and unpack them until\n"
    "stop_thread is set. A USB error other than a time-out is printed, releases the adapter and ends it.";
inline constexpr char send_thread[] =
    "Heartbeat thread body: USB_CMD_HEART every 10 ms until stop_thread is set. A USB error other than a\n"
    "time-out is printed, releases the adapter and ends it.";
inline constexpr char send_message[] =
    "Send one CAN or CAN FD frame built natively from its fields; prints nothing.\n\n"
    "length: the payload length in bytes (an FD payload is padded with zeros to the next FD length).\n"
    "timeout: seconds to wait for the adapter to take the frame; negative waits as long as it takes.\n"
    "Raises ValueError for a frame the adapter cannot carry, TimeoutError when the adapter's queue stays\n"
    "full past timeout, usb.core.USBError when the transfer fails.";
inline constexpr char recv_message[] =
    "The next received frame of the receive queue as a tuple (epoch seconds, id, fields..., data), or None\n"
    "when none came within timeout seconds (negative: wait for ever; 0: poll).\n"
    "Raises OSError once the object is closed or its adapter failed and no frame is left.";
inline constexpr char set_receive_filters[] =
    "Replace the receive queue's filters: a list of (can_id, can_mask, extended or None, inverted) tuples, or None\n"
    "to pass every frame. Frames no filter accepts are dropped in the reader.";
inline constexpr char receive_dropped[] = "Frames dropped because the receive queue was full (the newest are dropped).";
inline constexpr char receive_fileno[] =
    "A file descriptor that is readable while received frames wait in the queue (-1 where not available).";
inline constexpr char can_rev_thread[] =
    "As get_data_thread, on endpoint 0x83; the constructor does not start it.";
}  // namespace fdh::py::doc

namespace fdh::py {

namespace {
// The C++ side of an fdhost object holds only what the constructor's keyword options add
// (device/object_state.hpp): every method works on the Python object itself, whose attributes are
// all of its specified state, so a method also serves an instance made without the constructor
// (fdhost.__new__), as a program testing without hardware may do.
using device::Fdhost;
using H = nb::handle;
// The lines the method prints go to the object's line sink, if it was given one.
using Output = device::OutputScope;
}  // namespace

void bind_fdhost(nb::module_& m) {
    namespace d = device;
    namespace c = commands;
    namespace t = transmit;
    namespace r = receive;
    nb::class_<Fdhost> cls(m, "fdhost", nb::dynamic_attr(), doc::fdhost);
    cls.def("__init__",
            [](Fdhost* f, H nom_baud, H dat_baud, H sn, H line_sink, H settle, H setup, H receive_queue,
               H receive_own, H virtual_adapter) {
                device::Options options =
                    device::parse_options(line_sink, settle, setup, receive_queue, receive_own, virtual_adapter);
                new (f) Fdhost{{std::move(options), {}}};
                // Usable from here on: the constructor calls the object's own methods.
                nb::handle self = nb::find(*f);
                nb::inst_mark_ready(self);
                Output output(self);
                d::init(self, nom_baud, dat_baud, sn);
            },
            "nom_baud"_a, "dat_baud"_a, "sn"_a, nb::kw_only(), "line_sink"_a.none() = nb::none(),
            "settle"_a = true, "setup"_a.none() = nb::none(), "receive_queue"_a = 0, "receive_own"_a = false,
            "virtual_adapter"_a = false, doc::init)
        .def("__enter__", [](H f) { Output output(f); return d::enter(f); }, doc::enter)
        .def("__exit__", [](H f, H, H, H) { Output output(f); d::exit(f); }, "exc_type"_a.none(), "exc_val"_a.none(),
             "exc_tb"_a.none(), doc::exit)
        .def("close", [](H f) { Output output(f); d::close(f); }, doc::close)
        .def(method::usb_clear, [](H f) { Output output(f); d::usb_clear(f); }, doc::usb_clear)
        .def("getDeviceHandle", [](H f) { return d::get_device_handle(f); }, doc::getDeviceHandle)
        .def(method::usb_get_kq_device, [](H f) { return d::usb_get_kq_device(f); }, doc::usb_get_kq_device)
        .def(method::usb_open, [](H f, H sn_str) { return d::usb_open(f, sn_str); }, "sn_str"_a.none(), doc::usb_open)
        .def(method::can_pack_dlc_get, [](H f, H head) { return r::can_pack_dlc_get(f, head); }, "head"_a.none(),
             doc::can_pack_dlc_get)
        .def(method::fillFDCANFrame, [](H f, H data, H frame, H canId) { t::fill_fdcan_frame(f, data, frame, canId); },
             "data"_a.none(), "frame"_a.none(), "canId"_a.none(), doc::fillFDCANFrame)
        .def(method::set_tx_frame, [](H f, H frame) { t::set_tx_frame(f, frame); }, "frame"_a.none(), doc::set_tx_frame)
        .def(method::send_data, [](H f) { t::send_data(f); }, doc::send_data)
        .def("fdcanFrameSend", [](H f, H data, H canId) { t::fdcan_frame_send(f, data, canId); },
             "data"_a.none(), "canId"_a.none(), doc::fdcanFrameSend)
        .def(method::usb_control_send, [](H f, H ptr, H length) { return c::usb_control_send(f, ptr, length); },
             "ptr"_a.none(), "length"_a.none(), doc::usb_control_send)
        .def(method::usb_control_ack, [](H f, H cmd, H length, H data) { return c::usb_control_ack(f, cmd, length, data); },
             "cmd"_a.none(), "length"_a.none(), "data"_a.none(), doc::usb_control_ack)
        .def(method::usb_control_transfer,
             [](H f, H cmd, H length, H pdata, H rx_len, H rx_data) {
                 return c::usb_control_transfer(f, cmd, length, pdata, rx_len, rx_data);
             },
             "cmd"_a.none(), "length"_a.none(), "pdata"_a.none(), "rx_len"_a.none(), "rx_data"_a.none(), doc::usb_control_transfer)
        .def(method::USB_CMD_START_CAP, [](H f) { return c::start_cap(f); }, doc::start_cap)
        .def("USB_CMD_STOP_CAP", [](H f) { return c::stop_cap(f); }, doc::stop_cap)
        .def("USB_CMD_START_TEST", [](H f) { return c::start_test(f); }, doc::start_test)
        .def(method::USB_CMD_SETUP_BAUD,
             [](H f, H canMode, H dbrp, H dbrp_fd, H can_seg1, H can_seg2, H can_fd_seg1, H can_fd_seg2) {
                 return c::setup_baud(f, canMode, dbrp, dbrp_fd, can_seg1, can_seg2, can_fd_seg1, can_fd_seg2);
             },
             "canMode"_a.none(), "dbrp"_a.none(), "dbrp_fd"_a.none(), "can_seg1"_a.none(), "can_seg2"_a.none(),
             "can_fd_seg1"_a.none(), "can_fd_seg2"_a.none(), doc::setup_baud)
        .def("USB_CMD_ACK_HELLO", [](H f) { return c::ack_hello(f); }, doc::ack_hello)
        .def("USB_CMD_TEST_ACK", [](H f, H length_ref, H data_ref) { return c::test_ack(f, length_ref, data_ref); },
             "length_ref"_a.none(), "data_ref"_a.none(), doc::test_ack)
        .def(method::USB_CMD_HEART, [](H f) { c::heart(f); }, doc::heart)
        .def("setFrameCallback", [](H f, H cb) { r::set_frame_callback(f, cb); }, "cb"_a.none(), doc::setFrameCallback)
        .def("print_can_value", [](H f, H can_val) { r::print_can_value(f, can_val); }, "can_val"_a.none(), doc::print_can_value)
        .def(method::unpack_can_frame, [](H f, H pdat, H actual_len) { return r::unpack_can_frame(f, pdat, actual_len); },
             "pdat"_a.none(), "actual_len"_a.none(), doc::unpack_can_frame)
        .def(method::unpack_usb_frame, [](H f, H pdat, H length) { return r::unpack_usb_frame(f, pdat, length); },
             "pdat"_a.none(), "length"_a.none(), doc::unpack_usb_frame)
        .def(method::get_data_thread, [](H f) { r::get_data_thread(f); }, doc::get_data_thread)
        .def(method::send_thread, [](H f) { c::send_thread(f); }, doc::send_thread)
        .def("can_rev_thread", [](H f) { r::can_rev_thread(f); }, doc::can_rev_thread)
        // For the python-can Bus: frames in and out without the callback, the receive filter, and
        // what an event loop needs.
        .def("send_message",
             [](H f, H id, H extended, H remote, H fd, H brs, H data, H length, double timeout) {
                 t::send_message(f, id, extended, remote, fd, brs, data, length, timeout);
             },
             "arbitration_id"_a, "is_extended_id"_a, "is_remote_frame"_a, "is_fd"_a, "bitrate_switch"_a, "data"_a,
             "length"_a, "timeout"_a = -1.0, doc::send_message)
        .def("recv_message", [](H f, double timeout) { return r::recv_message(f, timeout); }, "timeout"_a = -1.0,
             doc::recv_message)
        .def("set_receive_filters", [](H f, H rules) { r::set_receive_filters(f, rules); }, "rules"_a.none(),
             doc::set_receive_filters)
        .def_prop_ro("receive_dropped", [](H f) { return r::receive_dropped(f); }, doc::receive_dropped)
        .def("receive_fileno", [](H f) { return r::receive_fileno(f); }, doc::receive_fileno);
    r::remember_own_methods(cls);
    c::remember_own_heart(cls);
}

}  // namespace fdh::py
