#include "module/module_body.hpp"

#include "device/names.hpp"
#include "module/checksum_functions.hpp"
#include "module/demo.hpp"
#include "module/fdhost_binding.hpp"
#include "protocol/bit_timing_tables.hpp"
#include "protocol/constants.hpp"
#include "python/interpreter.hpp"
#include "python/printing.hpp"
#include "python/record_classes.hpp"

namespace fdh::py {

namespace {

void import_modules(nb::module_& m) {
    nb::module_::import_("usb.core");
    nb::module_::import_("usb.util");
    m.attr(mod::usb) = nb::module_::import_(mod::usb);
    for (const char* name : {mod::sys, mod::time, mod::threading, mod::signal}) m.attr(name) = nb::module_::import_(name);
}

void add_constants(nb::module_& m) {
    const std::pair<const char*, int> constants[] = {
        {mod::KQ_USBD_VID, KQ_USBD_VID}, {mod::KQ_USBD_PID, KQ_USBD_PID}, {mod::KQ_DEV_MAX, KQ_DEV_MAX},
        {mod::WINUSB_IN_EP, WINUSB_IN_EP}, {mod::WINUSB_OUT_EP, WINUSB_OUT_EP}, {mod::CAN_IN_EP, CAN_IN_EP},
        {mod::CAN_OUT_EP, CAN_OUT_EP}, {mod::CONTROL_IN_EP, CONTROL_IN_EP}, {mod::CONTROL_OUT_EP, CONTROL_OUT_EP},
        {mod::RX_LENGTH, RX_LENGTH}, {mod::RX_ACK_SIZE, RX_ACK_SIZE}, {mod::TX_SIZE, TX_SIZE},
    };
    for (const auto& [name, value] : constants) m.attr(name) = value;
}

template <std::size_t N>
nb::list table(const std::array<TimingRow, N>& rows) {
    nb::list t;
    for (const auto& r : rows) {
        nb::list row;
        for (int v : r) row.append(v);
        t.append(row);
    }
    return t;
}

// Rows: prescaler, segment 1, segment 2 of an 80 MHz clock (protocol/bit_timing_tables.hpp).
void add_bit_timing_tables(nb::module_& m) {
    m.attr(mod::can_seg_table) = table(NOMINAL_TIMING_TABLE);
    m.attr(mod::can_fd_seg_table) = table(DATA_TIMING_TABLE);
}

template <std::size_t N>
nb::object int_enum(nb::module_& m, const char* name, const std::array<std::string_view, N>& names) {
    nb::list members;
    for (std::size_t i = 0; i < N; ++i)
        members.append(nb::make_tuple(nb::str(names[i].data(), names[i].size()), nb::int_(i)));
    return m.attr("IntEnum")(name, members, nb::arg("module") = m.attr("__name__"),
                             nb::arg("qualname") = name);
}

nb::list slot_list() {
    nb::list l;
    for (int i = 0; i < KQ_DEV_MAX; ++i) l.append(nb::none());
    return l;
}

PyObject* signal_handler_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"signum", "frame", nullptr};
    PyObject *signum = nullptr, *frame = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:signal_handler", const_cast<char**>(kw), &signum, &frame))
        return nullptr;
    return guarded([&] {
        py::call_method(global(mod::running), "clear");
        write_stderr("\nInterrupt signal (" + str(global(mod::format)(nb::handle(signum), "d")) + ") received.\n");
        flush_stderr();
        Py_RETURN_NONE;
    });
}

PyMethodDef signal_handler_def = {
    "signal_handler", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(signal_handler_fn)),
    METH_VARARGS | METH_KEYWORDS,
    "signal_handler(signum, frame)\n--\n\n"
    "The SIGINT handler the module installs: clears the event `running` and reports the signal on sys.stderr;\n"
    "it stops no thread and closes no device."};

}  // namespace

void run_module_body(nb::module_ m) {
    set_module(m);
    import_modules(m);
    add_constants(m);
    m.attr("IntEnum") = nb::module_::import_("enum").attr("IntEnum");
    add_bit_timing_tables(m);
    nb::list names;
    for (std::size_t i = 0; i < CMD_TYPE_STR_COUNT; ++i)
        names.append(nb::str(CMD_TYPE_NAMES[i].data(), CMD_TYPE_NAMES[i].size()));
    m.attr(mod::CMD_TYPE_STR) = names;
    m.attr(mod::CMD_TYPE) = int_enum(m, mod::CMD_TYPE, CMD_TYPE_NAMES);
    m.attr(mod::ACK_TYPE) = int_enum(m, mod::ACK_TYPE, ACK_TYPE_NAMES);
    bind_can_records(m);
    bind_command_records(m);
    add_checksum_functions(m);
    m.attr(mod::kq_device) = slot_list();
    m.attr(mod::kq_string) = slot_list();
    m.attr(mod::kq_sn) = slot_list();
    bind_fdhost(m);
    nb::object running = m.attr(mod::threading).attr("Event")();
    running.attr("set")();
    m.attr(mod::running) = running;
    nb::object handler = nb::steal(PyCFunction_NewEx(&signal_handler_def, m.ptr(), m.attr("__name__").ptr()));
    if (!handler.is_valid()) throw nb::python_error();
    m.attr("signal_handler") = handler;
    m.attr(mod::signal).attr("signal")(m.attr(mod::signal).attr("SIGINT"), handler);

    if (nb::str(m.attr("__name__")).equal(nb::str("__main__"))) run_demonstration(m);
}

}  // namespace fdh::py
