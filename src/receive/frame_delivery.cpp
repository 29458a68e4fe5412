#include "frame_delivery.hpp"

#include <vector>

#include "py_env.hpp"
#include "receive_container.hpp"
#include "records_py.hpp"

namespace fdh::receive {

namespace {
constexpr std::size_t RELEASE_LOCK_ABOVE = 4096;  // bytes; below this the lock round trip costs more

struct Cut {
    SectionResult section;
    std::vector<RecordView> records;
    RecordStep last = RecordStep::End;
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
    Cut cut;
    if (section.size() > RELEASE_LOCK_ABOVE) {
        nb::gil_scoped_release unlocked;
        cut_section(section, actual_len, cut);
    } else {
        cut_section(section, actual_len, cut);
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
    nb::str callback_name("frame_callback_");
    for (const RecordView& r : cut.records) {
        if (r.head.dir != 0) continue;  // the adapter's own transmissions are consumed, not delivered
        // Read afresh for every frame: a callback may replace or clear itself.
        nb::object cb = nb::steal(PyObject_GetAttr(self.ptr(), callback_name.ptr()));
        if (!cb.is_valid()) throw nb::python_error();
        if (!py::truthy(cb)) continue;
        nb::object value = py::make_value_object(r.head, r.data);
        cb = nb::steal(PyObject_GetAttr(self.ptr(), callback_name.ptr()));
        if (!cb.is_valid()) throw nb::python_error();
        nb::object ignored = nb::steal(PyObject_CallOneArg(cb.ptr(), value.ptr()));
        if (!ignored.is_valid()) throw nb::python_error();
    }
    switch (cut.last) {
        case RecordStep::End:
            return 0;
        case RecordStep::HeaderTruncated:
            throw nb::value_error("In can_head_type,Insufficient data for CanHeadType");
        default:
            return -1;
    }
}

}  // namespace fdh::receive
