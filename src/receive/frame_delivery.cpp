#include "receive/frame_delivery.hpp"

#include <algorithm>
#include <vector>

#include "device/names.hpp"
#include "device/object_state.hpp"
#include "protocol/receive_container.hpp"
#include "python/interpreter.hpp"
#include "python/numbers.hpp"
#include "python/printing.hpp"
#include "python/received_records.hpp"
#include "python/record_codec.hpp"
#include "receive/usb_unpack.hpp"

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

// Hands the frames of one section to the callback, each read afresh before it is called.
class CallbackDelivery {
public:
    explicit CallbackDelivery(nb::handle self) : slot_(self) {}

    // Whether a frame with this header has anyone to go to now; false also when, in addition, no
    // later frame of the section can have (no Python code runs between two frames to set one).
    bool wanted(const CanHead& head) {
        if (head.dir != 0) return true;  // the adapter's own transmissions are consumed, not delivered
        current_ = slot_.get();
        if (py::truthy(current_)) return true;
        done_ = slot_.plain() && (current_.is_none() || current_.ptr() == Py_False);
        return false;
    }
    bool done() const { return done_; }
    // Calls the callback with the frame; `value` goes back to the record pool afterwards.
    void deliver(nb::object value) {
        current_.reset();
        nb::object cb = slot_.get();
        nb::object ignored = nb::steal(PyObject_CallOneArg(cb.ptr(), value.ptr()));
        if (!ignored.is_valid()) throw nb::python_error();
        ignored.reset();
        cb.reset();
        py::give_back_received(std::move(value));
    }
    // The whole record in the usual case: false once the rest of the section has no one to go to.
    bool record(const RecordView& r) {
        if (r.head.dir != 0) return true;
        if (!wanted(r.head)) return !done_;
        deliver(py::take_received(r.head, r.data));
        return true;
    }

private:
    CallbackSlot slot_;
    nb::object current_;
    bool done_ = false;
};

void cut_section(std::span<const std::uint8_t> section, long long actual_len, Cut& out) {
    out.section = check_section(section, actual_len);
    if (out.section.check != SectionCheck::Ok) return;
    out.records.reserve(out.section.records.size() / CAN_HEAD_SIZE + 1);
    RecordCursor cursor(out.section.records, out.section.bytes_size);
    RecordView view;
    while ((out.last = cursor.next(view)) == RecordStep::Record) out.records.push_back(view);
}

// unpack_can_frame's result for a walk through the records that ended with `last`.
int walk_result(RecordStep last) {
    switch (last) {
        case RecordStep::End:
            return 0;
        case RecordStep::HeaderTruncated:
            throw nb::value_error("In can_head_type,Insufficient data for CanHeadType");
        default:
            return -1;
    }
}

// The messages of a section that fails its checks; false when it passed.
bool rejected(SectionCheck check) {
    switch (check) {
        case SectionCheck::TooShort:
            return true;
        case SectionCheck::InvalidTotal:
            py::print("In unpack_can_frame,invalid total length");
            return true;
        case SectionCheck::CrcFailed:
            py::print("In unpack_can_frame,CRC check failed");
            return true;
        case SectionCheck::Ok:
            break;
    }
    return false;
}

// The frames of a section into the object's queue: checked, decoded, filtered and queued in one
// go, without the interpreter lock when the section is large.
int queue_section(QueueDelivery& queue, std::span<const std::uint8_t> section, long long actual_len, Reception at,
                  bool unlocked) {
    SectionResult checked;
    RecordStep last = RecordStep::End;
    auto work = [&] {
        checked = check_section(section, actual_len);
        if (checked.check == SectionCheck::Ok) last = queue.deliver(checked, at);
    };
    if (unlocked) {
        nb::gil_scoped_release released;
        work();
    } else {
        work();
    }
    return rejected(checked.check) ? -1 : walk_result(last);
}

// unpack_can_frame's walk through the records as Python code makes it, for an object with a
// can_pack_dlc_get of its own: each header becomes a can_head_type first, and the data length of
// its record is what that method says of it.
int deliver_with_own_lengths(nb::handle self, const SectionResult& section, CallbackDelivery& to) {
    std::span<const std::uint8_t> rest = section.records;
    long long remaining = static_cast<long long>(section.bytes_size);
    while (remaining > 0) {
        if (remaining < static_cast<long long>(CAN_HEAD_SIZE)) return -1;
        if (rest.size() < CAN_HEAD_SIZE) throw nb::value_error("In can_head_type,Insufficient data for CanHeadType");
        const CanHead fields = decode_head(rest.data());
        nb::object head = py::decoded<py::RecordId::CanHead>(rest.first<CAN_HEAD_SIZE>());
        rest = rest.subspan(CAN_HEAD_SIZE);
        remaining -= static_cast<long long>(CAN_HEAD_SIZE);
        const long long length = py::index_value(py::attr(self, method::can_pack_dlc_get)(head));
        if (length < 0 || length > static_cast<long long>(CAN_DATA_MAX) || remaining < length) return -1;
        const auto data = rest.first(std::min(static_cast<std::size_t>(length), rest.size()));
        rest = rest.subspan(data.size());
        remaining -= length;
        if (fields.dir != 0 || !to.wanted(fields)) continue;
        nb::object value = py::take_received(fields, data);
        py::Fields<py::RecordId::CanValue>(value).set<"head">(head);  // the header the lengths came from
        to.deliver(std::move(value));
    }
    return 0;
}
}  // namespace

int deliver_section(nb::handle self, std::span<const std::uint8_t> section, long long actual_len, Reception at) {
    // A large section is checked and cut up front without the interpreter lock; a small one is cut
    // as it is delivered, which spares the list of records.
    const bool large = section.size() > RELEASE_LOCK_ABOVE;
    if (QueueDelivery* queue = device::receive_queue(self)) return queue_section(*queue, section, actual_len, at, large);
    Cut cut;
    if (large) {
        nb::gil_scoped_release unlocked;
        cut_section(section, actual_len, cut);
    } else {
        cut.section = check_section(section, actual_len);
    }
    if (rejected(cut.section.check)) return -1;
    CallbackDelivery to(self);
    if (!own_length_method(self)) return deliver_with_own_lengths(self, cut.section, to);
    RecordStep last = cut.last;
    if (large) {
        for (const RecordView& r : cut.records)
            if (!to.record(r)) break;
    } else {
        RecordCursor cursor(cut.section.records, cut.section.bytes_size);
        RecordView view;
        bool delivering = true;
        while ((last = cursor.next(view)) == RecordStep::Record)
            if (delivering) delivering = to.record(view);
    }
    return walk_result(last);
}

}  // namespace fdh::receive
