// fdhost_can._native: the adapter core (src/core) for the python-can Bus and the command line. It
// converts between Python and the core and does nothing else; every call hands the core's pending
// reports to Python's logging as it returns (log_bridge.hpp).
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <chrono>
#include <memory>
#include <stdexcept>

#include "binding/frames.hpp"
#include "binding/log_bridge.hpp"
#include "binding/waiting.hpp"
#include "core/adapter.hpp"
#include "core/usb_device.hpp"
#include "protocol/bit_timing_tables.hpp"
#include "protocol/constants.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace fdh::binding {

namespace {
// The C++ sides of the module's exceptions; each carries its one-line reason.
struct OpenError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct AdapterGone : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct TransmitTimeout : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct CommandError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The core's reports reach logging on every way out of a call, exceptions included.
struct Reports {
    Reports() = default;
    Reports(const Reports&) = delete;
    ~Reports() { deliver_logs(); }
};

class Adapter {
public:
    explicit Adapter(std::shared_ptr<core::Adapter> a) : a_(std::move(a)) {}
    Adapter(const Adapter&) = delete;
    Adapter& operator=(const Adapter&) = delete;
    ~Adapter() {
        nb::gil_scoped_release unlocked;
        a_->close();
    }

    nb::object recv(double timeout_s, nb::handle channel) {
        Reports reports;
        CanMessage m;
        auto got = a_->recv(m, 0);  // a frame already waiting is taken without letting go of the lock
        if (got == core::RxQueue::Pop::Timeout && timeout_s != 0)
            got = wait_in_slices(timeout_s, core::RxQueue::Pop::Timeout, [&](double slice) { return a_->recv(m, slice); });
        if (got == core::RxQueue::Pop::Frame) return make_message(m, channel);
        if (got == core::RxQueue::Pop::Timeout) return nb::none();
        throw AdapterGone(a_->end_reason().empty() ? "no more frames" : a_->end_reason());
    }

    void send(std::uint32_t id, bool extended, bool remote, bool fd, bool brs, nb::handle data, int length,
              double timeout_s) {
        Reports reports;
        const CanMessage m = message_to_send(id, extended, remote, fd, brs, data, length);
        core::SendResult last;
        wait_in_slices(timeout_s, core::SendStatus::TimedOut, [&](double slice) {
            last = a_->send(m, std::chrono::milliseconds(static_cast<long long>(slice * 1000 + 0.5)));
            return last.status;
        });
        switch (last.status) {
            case core::SendStatus::Sent: return;
            case core::SendStatus::Invalid: throw nb::value_error(last.error.c_str());
            case core::SendStatus::TimedOut: throw TransmitTimeout(last.error);
            case core::SendStatus::Ended: throw AdapterGone(last.error);
            case core::SendStatus::Failed: break;
        }
        PyErr_SetString(PyExc_OSError, last.error.c_str());
        throw nb::python_error();
    }

    nb::bytes command(int code, nb::bytes payload) {
        Reports reports;
        if (code < 0 || code > 255) throw nb::value_error("a command code is 0 to 255");
        core::CommandReply reply;
        {
            nb::gil_scoped_release unlocked;
            reply = a_->command(static_cast<std::uint8_t>(code),
                                {static_cast<const std::uint8_t*>(payload.data()), payload.size()});
        }
        if (!reply.accepted) throw CommandError(reply.error);
        return nb::bytes(reply.data.data(), reply.data.size());
    }

    void close() {
        {
            nb::gil_scoped_release unlocked;
            a_->close();
        }
        deliver_logs();
    }

    void set_filters(const std::optional<std::vector<FilterRuleTuple>>& rules) { a_->set_filter(filter_of(rules)); }

    std::shared_ptr<core::Adapter> a_;
};

Adapter* open(const std::string& serial, nb::bytes setup, const std::optional<std::string>& library,
                std::size_t queue_frames, bool receive_own, bool settle) {
    Reports reports;
    const auto fields = decode_setup({static_cast<const std::uint8_t*>(setup.data()), setup.size()});
    if (!fields || setup.size() != SETUP_BAUDRATE_SIZE)
        throw nb::value_error("setup must be the 9 bytes of the bit-timing command's payload");
    if (queue_frames < 1 || queue_frames > (std::size_t{1} << 24))
        throw nb::value_error("queue_frames must be 1 to 16777216");
    core::OpenRequest request{library.value_or(""), serial, *fields, queue_frames, receive_own, settle};
    core::OpenResult opened;
    {
        nb::gil_scoped_release unlocked;
        opened = core::Adapter::open(request);
    }
    if (!opened.adapter) throw OpenError(opened.error);
    return new Adapter(std::move(opened.adapter));
}

using ListedAdapter = std::tuple<std::string, int, int, std::vector<int>, int>;

std::vector<ListedAdapter> list_adapters(const std::optional<std::string>& library) {
    Reports reports;
    core::AdapterList listed;
    {
        nb::gil_scoped_release unlocked;
        core::LoadResult loaded = core::Library::load(library.value_or(""));
        if (!loaded.library)
            listed.error = loaded.error;
        else
            listed = core::list_adapters(*loaded.library);
    }
    if (!listed.error.empty()) throw OpenError(listed.error);
    std::vector<ListedAdapter> out;
    for (auto& a : listed.adapters) out.emplace_back(std::move(a.serial), a.bus, a.address, std::move(a.ports), a.error);
    return out;
}

template <std::size_t N>
nb::list table(const std::array<TimingRow, N>& rows) {
    nb::list t;
    for (const auto& r : rows) t.append(nb::make_tuple(r[0], r[1], r[2]));
    return t;
}
}  // namespace

}  // namespace fdh::binding

NB_MODULE(_native, m) {
    using namespace fdh;
    using namespace fdh::binding;
    m.doc() = "The fdhost adapter core for the python-can interface and the command line (private).";
    // Adapters a program never closed are still alive when the interpreter exits; that is no leak
    // worth a report on standard error (the interface closes them at exit where it can).
    nb::set_leak_warnings(false);

    nb::exception<OpenError>(m, "OpenError");
    nb::exception<AdapterGone>(m, "AdapterGone");
    nb::exception<TransmitTimeout>(m, "TransmitTimeout", PyExc_TimeoutError);
    nb::exception<CommandError>(m, "CommandError");

    m.attr("can_seg_table") = table(NOMINAL_TIMING_TABLE);
    m.attr("can_fd_seg_table") = table(DATA_TIMING_TABLE);
    m.attr("CMD_ACK_HELLO") = static_cast<int>(CmdType::CMD_ACK_HELLO);
    m.attr("CMD_GET_BAUD") = static_cast<int>(CmdType::CMD_GET_BAUD);
    m.attr("CMD_READ_SN") = static_cast<int>(CmdType::CMD_READ_SN);
    m.attr("LIBUSB_ERROR_ACCESS") = libusb::ERROR_ACCESS;
    m.def("error_name", [](int code) { return std::string(libusb::error_name(code)); }, "code"_a,
          "libusb's name of an error code, with what it means.");

    m.def("set_log_handler", &set_log_handler, "handler"_a.none(),
          "Where the core's reports go: handler(level, text) with logging's levels; None drops them.");
    m.def("set_message_class", &set_message_class, "cls"_a, "The class recv() makes messages of (can.Message).");
    m.def("hardware_library", &core::Library::hardware_path, "The libusb-1.0 hardware adapters are found on.");
    m.def("list_adapters", &list_adapters, "library"_a.none() = nb::none(),
          "(serial, bus, address, ports, libusb error) of every adapter, sorted by bus and address.");
    m.def("open", &open, "serial"_a, "setup"_a, nb::kw_only(), "library"_a.none() = nb::none(),
          "queue_frames"_a = 65536, "receive_own"_a = false, "settle"_a = true, nb::rv_policy::take_ownership,
          "Opens the adapter with that serial on the library (None: the hardware one). Raises OpenError.");

    nb::class_<Adapter>(m, "Adapter", "An open adapter (see open()).")
        .def("recv", &Adapter::recv, "timeout"_a, "channel"_a.none(),
             "The next frame as a message, None after timeout seconds (negative: for ever). Raises AdapterGone.")
        .def("send", &Adapter::send, "arbitration_id"_a, "is_extended_id"_a, "is_remote_frame"_a, "is_fd"_a,
             "bitrate_switch"_a, "data"_a, "dlc"_a, "timeout"_a,
             "Sends one frame. Raises ValueError, TransmitTimeout, AdapterGone or OSError.")
        .def("set_filters", &Adapter::set_filters, "rules"_a.none(),
             "(can_id, can_mask, extended or None, inverted) rules; None passes every frame.")
        .def("command", &Adapter::command, "code"_a, "payload"_a = nb::bytes(""),
             "A command and its acknowledgement; the reply data. Raises CommandError.")
        .def("hello", [](Adapter& a) { return a.command(static_cast<int>(CmdType::CMD_ACK_HELLO), nb::bytes("")); },
             "The adapter's reply to CMD_ACK_HELLO.")
        .def("close", &Adapter::close, "Stops and releases the adapter; its queued frames stay readable.")
        .def("fileno", [](Adapter& a) { return a.a_->queue().wake_fd(); },
             "A descriptor readable while frames wait or once the adapter has ended (-1 where none).")
        .def_prop_ro("serial", [](Adapter& a) { return a.a_->serial(); })
        .def_prop_ro("is_virtual", [](Adapter& a) { return a.a_->is_virtual(); })
        .def_prop_ro("dropped", [](Adapter& a) { return a.a_->dropped(); }, "Frames the full queue dropped.")
        .def_prop_ro("end_reason", [](Adapter& a) { return a.a_->end_reason(); }, "Why no more frames come; ''.")
        .def_prop_ro("time_source", [](Adapter& a) { return std::string(core::to_string(a.a_->time_source())); },
                     "How the latest frame's time was obtained: 'bus clock', 'learned' or 'arrival'.")
        .def_prop_ro("arrival_timed", [](Adapter& a) { return a.a_->arrival_timed(); },
                     "Frames timed by their arrival because their time stamps could not be used.")
        .def_prop_ro("heartbeats", [](Adapter& a) { return a.a_->heartbeats(); }, "Heartbeats the adapter took.");
}
