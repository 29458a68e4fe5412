#include "receive/frame_delivery.hpp"

#include <vector>

#include "device/names.hpp"
#include "protocol/receive_container.hpp"
#include "python/interpreter.hpp"
#include "python/printing.hpp"
#include "python/received_records.hpp"

namespace fdh::receive {

namespace {
constexpr std::size_t RELEASE_LOCK_ABOVE = 4096;  // bytes; below this the lock round trip costs more

struct Cut {
    SectionResult section;
    std::vector<RecordView> records;
    RecordStep last = RecordStep::End;
};

// Reads `self.frame_callback_`. When the attribute can only come from the instance namespace
// (plain attribute access, nothing of that name on the class), the namespace is read directly.
class CallbackSlot {
public:
    explicit CallbackSlot(nb::handle self) : self_(self), name_(py::interned(obj::frame_callback_)) {
        PyTypeObject* type = Py_TYPE(self.ptr());
        if (type->tp_getattro == PyObject_GenericGetAttr && !_PyType_Lookup(type, name_.ptr())) {
            dict_ = nb::steal(PyObject_GenericGetDict(self.ptr(), nullptr));
            if (!dict_.is_valid()) PyErr_Clear();
        }
    }
    // True when get() reads the instance namespace directly: a look-up that runs no Python code.
    bool plain() const { return dict_.is_valid(); }
    nb::object get() const {
        if (dict_.is_valid()) {
            if (PyObject* v = PyDict_GetItemWithError(dict_.ptr(), name_.ptr())) return nb::borrow(v);
            if (PyErr_Occurred()) throw nb::python_error();
        }
        nb::object v = nb::steal(PyObject_GetAttr(self_.ptr(), name_.ptr()));
        if (!v.is_valid()) throw nb::python_error();
        return v;
    }

private:
    nb::handle self_;
    nb::object name_;
    nb::object dict_;
};

void cut_section(std::span<const std::uint8_t> section, long long actual_len, Cut& out) {
    out.section = check_section(section, actual_len);
    if (out.section.check != SectionCheck::Ok) return;
    out.records.reserve(out.section.records.size() / CAN_HEAD_SIZE + 1);
    RecordCursor cursor(out.section.records, out.section.bytes_size);
    RecordView view;
    while ((out.last = cursor.next(view)) == RecordStep::Record) out.records.push_back(view);
}
}  // namespace

int deliver_section(nb::handle self, std::span<const std::uint8_t> section, long long actual_len) {
    // A large section is checked and cut up front without the interpreter lock; a small one is cut
    // as it is delivered, which spares the list of records.
    const bool large = section.size() > RELEASE_LOCK_ABOVE;
    Cut cut;
    if (large) {
        nb::gil_scoped_release unlocked;
        cut_section(section, actual_len, cut);
    } else {
        cut.section = check_section(section, actual_len);
    }
    switch (cut.section.check) {
        case SectionCheck::TooShort:
            return -1;
        case SectionCheck::InvalidTotal:
            py::print("In unpack_can_frame,invalid total length");
            return -1;
        case SectionCheck::CrcFailed:
            py::print("In unpack_can_frame,CRC check failed");
            return -1;
        case SectionCheck::Ok:
            break;
    }
    CallbackSlot slot(self);
    // Hands one record on; false once no frame of the section can have anyone to go to.
    auto deliver = [&](const RecordView& r) {
        if (r.head.dir != 0) return true;  // the adapter's own transmissions are consumed, not delivered
        // Read afresh for every frame: a callback may replace or clear itself.
        nb::object current = slot.get();
        if (!py::truthy(current)) {
            // No Python code runs between two frames here, so nothing can set a callback before the
            // section ends: the rest of it has no one to go to either.
            return !(slot.plain() && (current.is_none() || current.ptr() == Py_False));
        }
        nb::object value = py::take_received(r.head, r.data);
        nb::object cb = slot.get();
        nb::object ignored = nb::steal(PyObject_CallOneArg(cb.ptr(), value.ptr()));
        if (!ignored.is_valid()) throw nb::python_error();
        ignored.reset();
        cb.reset();
        py::give_back_received(std::move(value));
        return true;
    };
    RecordStep last = cut.last;
    if (large) {
        for (const RecordView& r : cut.records)
            if (!deliver(r)) break;
    } else {
        RecordCursor cursor(cut.section.records, cut.section.bytes_size);
        RecordView view;
        bool delivering = true;
        while ((last = cursor.next(view)) == RecordStep::Record)
            if (delivering) delivering = deliver(view);
    }
    switch (last) {
        case RecordStep::End:
            return 0;
        case RecordStep::HeaderTruncated:
            throw nb::value_error("In can_head_type,Insufficient data for CanHeadType");
        default:
            return -1;
    }
}

}  // namespace fdh::receive
