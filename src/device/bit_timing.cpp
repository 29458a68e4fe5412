// Turning the requested bitrates into prescaler and segment values: a lookup in the two tables
// the module exposes (read at construction time, so a program may replace rows first).
#include <array>

#include "commands/commands.hpp"
#include "device/device.hpp"
#include "device/names.hpp"
#include "device/object_state.hpp"
#include "protocol/records.hpp"
#include "python/interpreter.hpp"

namespace fdh::device {

namespace {
// A row's prescaler, segment 1 and segment 2. The tables are the module's, which a program may
// replace, so a row that does not hold exactly three values fails with the interpreter's own
// unpacking error.
std::array<nb::object, 3> unpack_row(nb::handle row) {
    nb::object it = nb::steal(PyObject_GetIter(row.ptr()));
    if (!it.is_valid()) throw nb::python_error();
    std::array<nb::object, 3> out;
    for (int i = 0; i < 3; ++i) {
        nb::object item = nb::steal(PyIter_Next(it.ptr()));
        if (!item.is_valid()) {
            if (PyErr_Occurred()) throw nb::python_error();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 3, got %d)", i);
            throw nb::python_error();
        }
        out[i] = item;
    }
    nb::object extra = nb::steal(PyIter_Next(it.ptr()));
    if (extra.is_valid()) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
        throw nb::python_error();
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return out;
}

nb::object floordiv(nb::handle a, nb::handle b) {
    nb::object r = nb::steal(PyNumber_FloorDivide(a.ptr(), b.ptr()));
    if (!r.is_valid()) throw nb::python_error();
    return r;
}

// The first row whose bitrate equals `wanted`; zeros when none does.
std::array<nb::object, 3> find_row(const char* table, nb::handle wanted) {
    nb::object clock = nb::int_(CAN_CLOCK_HZ);
    for (nb::handle row : py::global(table)) {
        auto [prescaler, seg1, seg2] = unpack_row(row);
        nb::object quanta = nb::int_(1) + seg1 + seg2;
        if (py::compare(floordiv(floordiv(clock, prescaler), quanta), wanted, Py_EQ)) return {prescaler, seg1, seg2};
    }
    return {nb::int_(0), nb::int_(0), nb::int_(0)};
}
}  // namespace

void setup_bit_timing(nb::handle self) {
    // Fields given to the constructor (python-can bit timings) are sent as they are.
    if (const ObjectState* s = object_state(self); s && s->options.setup) {
        commands::send_setup(self, *s->options.setup);
        return;
    }
    auto [dbrp, can_seg1, can_seg2] = find_row(mod::can_seg_table, py::attr(self, obj::nom_baud_));
    auto [dbrp_fd, can_fd_seg1, can_fd_seg2] = find_row(mod::can_fd_seg_table, py::attr(self, obj::dat_baud_));
    nb::object can_mode = nb::int_(py::compare(py::attr(self, obj::dat_baud_), 1000000, Py_LE) ? 0 : 1);
    py::attr(self, method::USB_CMD_SETUP_BAUD)(can_mode, dbrp, dbrp_fd, can_seg1, can_seg2, can_fd_seg1, can_fd_seg2);
}

}  // namespace fdh::device
