#include "binding/frames.hpp"

#include <algorithm>
#include <array>

#include "binding/shared_ref.hpp"

namespace fdh::binding {

namespace {
SharedRef g_message_class;
SharedRef g_new;  // object.__new__

enum Slot { TIMESTAMP, ID, EXTENDED, REMOTE, ERROR_FRAME, CHANNEL, DLC, DATA, FD, RX, BRS, ESI, SLOTS };
constexpr std::array<const char*, SLOTS> SLOT_NAMES = {
    "timestamp", "arbitration_id", "is_extended_id", "is_remote_frame", "is_error_frame", "channel",
    "dlc",       "data",           "is_fd",          "is_rx",           "bitrate_switch", "error_state_indicator"};

PyObject* slot_name(Slot s) {
    static std::array<PyObject*, SLOTS> names = [] {
        std::array<PyObject*, SLOTS> n{};
        for (std::size_t i = 0; i < SLOTS; ++i) {
            n[i] = PyUnicode_InternFromString(SLOT_NAMES[i]);
            if (!n[i]) throw nb::python_error();
        }
        return n;
    }();
    return names[s];
}

void set(nb::handle obj, Slot s, PyObject* value) {
    if (!value) throw nb::python_error();
    const int r = PyObject_SetAttr(obj.ptr(), slot_name(s), value);
    Py_DECREF(value);
    if (r != 0) throw nb::python_error();
}

PyObject* flag(bool b) { return nb::handle(b ? Py_True : Py_False).inc_ref().ptr(); }
}  // namespace

void set_message_class(nb::handle cls) {
    if (!PyType_Check(cls.ptr())) throw nb::type_error("the message class must be a class");
    if (!g_new.get().is_valid()) g_new.set(nb::module_::import_("builtins").attr("object").attr("__new__"));
    g_message_class.set(cls);
}

nb::object make_message(const CanMessage& m, nb::handle channel) {
    nb::object cls = g_message_class.get();
    if (!cls.is_valid()) throw nb::type_error("no message class: call set_message_class first");
    nb::object msg = g_new.get()(cls);
    set(msg, TIMESTAMP, PyFloat_FromDouble(static_cast<double>(m.timestamp_us) / 1e6));
    set(msg, ID, PyLong_FromUnsignedLong(m.id));
    set(msg, EXTENDED, flag(m.extended));
    set(msg, REMOTE, flag(m.remote));
    set(msg, ERROR_FRAME, flag(false));
    set(msg, CHANNEL, channel.inc_ref().ptr());
    set(msg, DLC, PyLong_FromLong(m.len));
    set(msg, DATA, PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(m.data.data()),
                                                 m.remote ? 0 : static_cast<Py_ssize_t>(m.len)));
    set(msg, FD, flag(m.fd));
    set(msg, RX, flag(!m.echo));
    set(msg, BRS, flag(m.brs));
    set(msg, ESI, flag(m.esi));
    return msg;
}

CanMessage message_to_send(std::uint32_t id, bool extended, bool remote, bool fd, bool brs, nb::handle data,
                           int length) {
    CanMessage m;
    m.id = id;
    m.extended = extended;
    m.remote = remote;
    m.fd = fd;
    m.brs = brs;
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
    const auto size = static_cast<std::size_t>(std::max<Py_ssize_t>(view.len, 0));
    assign_data(m, {static_cast<const std::uint8_t*>(view.buf), size});
    PyBuffer_Release(&view);
    // assign_data saturates the length; the refusal names the real one.
    if (!remote && size > CAN_DATA_MAX) throw nb::value_error(describe_length(m, size).c_str());
    if (remote) {
        if (length < 0 || length > 0xFFFF) throw nb::value_error("a remote frame requests 0 to 8 bytes");
        m.len = static_cast<std::uint16_t>(length);
    }
    return m;
}

FrameFilter filter_of(const std::optional<std::vector<FilterRuleTuple>>& rules) {
    std::vector<FilterRule> out;
    if (rules)
        for (const auto& [can_id, can_mask, extended, invert] : *rules) out.push_back({can_id, can_mask, extended, invert});
    return FrameFilter(std::move(out));
}

}  // namespace fdh::binding
