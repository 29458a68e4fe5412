#include "python/record_classes.hpp"

#include "python/record_codec.hpp"

using namespace nb::literals;

namespace fdh::py {
namespace {

// A field may hold any object, so every field takes part in the garbage collector's search for
// cycles, and clearing a record drops them all.
template <RecordId R>
struct Gc {
    static int traverse(PyObject* self, visitproc visit, void* arg) {
        if (!nb::inst_ready(self)) return 0;
        for (const nb::object& f : nb::inst_ptr<Record<R>>(self)->fields) Py_VISIT(f.ptr());
        Py_VISIT(Py_TYPE(self));
        return 0;
    }
    static int clear(PyObject* self) {
        if (nb::inst_ready(self))
            for (nb::object& f : nb::inst_ptr<Record<R>>(self)->fields) f = nb::none();
        return 0;
    }
    static inline PyType_Slot slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(traverse)},
                                         {Py_tp_clear, reinterpret_cast<void*>(clear)},
                                         {0, nullptr}};
};

// What help() shows for each record class: its fields, their meaning and units, its byte layout.
template <RecordId R>
constexpr const char* class_doc();
template <>
constexpr const char* class_doc<RecordId::CanHead>() {
    return "Header of a CAN frame the adapter reports: 12 bytes, little-endian.\n\n"
           "id: CAN identifier. time_stamp: the adapter's 32-bit time stamp, passed on as received (the virtual\n"
           "adapter counts microseconds; it wraps). reserve: list of 3 byte values. fram_type: 1 data frame,\n"
           "0 remote. can_type: 0 classic CAN, 1 CAN FD. id_type: 0 standard, 1 extended identifier.\n"
           "dir: 0 received from the bus, 1 transmitted. dlc: DLC code 0-15 (fdhost.can_pack_dlc_get gives\n"
           "its byte count).\n\n"
           "Fields hold any object; to_bytes() masks the flags and raises OverflowError for an id or time_stamp\n"
           "outside 0 .. 2**32-1.";
}
template <>
constexpr const char* class_doc<RecordId::CanValue>() {
    return "A received CAN frame, as the frame callback gets it: 76 bytes.\n\n"
           "head: its can_head_type. data: list of 64 byte values; the first n hold the payload, n being the\n"
           "byte count of head.dlc, the rest stay 0.";
}
template <>
constexpr const char* class_doc<RecordId::CanTx>() {
    return "The record sent to the adapter to transmit one frame: 88 bytes, little-endian.\n\n"
           "can_type: 0 classic CAN, 1 CAN FD. fram_type: 1 data frame, 0 remote. id_type: 0 standard,\n"
           "1 extended identifier. fd_acc, id_increase, data_increase, cmd: flags passed to the adapter.\n"
           "dlc: payload length in bytes (0-64, not a DLC code). send_time (signed) and interval: values passed\n"
           "to the adapter. can_id: CAN identifier. data: list of 64 byte values. reserve0, reserve1,\n"
           "reserve3: reserved.\n\n"
           "from_bytes reads an 85-byte arrangement without the three zero bytes after dlc.";
}
template <>
constexpr const char* class_doc<RecordId::SetupBaudrate>() {
    return "Bit-timing payload of the CMD_SETUP_BUARD command: 9 bytes, one per field.\n\n"
           "can_frame_type: 0 classic CAN, 1 CAN FD. can_seg1, can_seg2, can_sjw, can_prescaler: nominal\n"
           "phase; canfd_seg1, canfd_seg2, canfd_sjw, canfd_prescaler: data phase. Segments and jump widths\n"
           "are in time quanta (jump widths start at 2); a phase's bitrate is 80000000 / prescaler /\n"
           "(1 + seg1 + seg2) bit/s. to_bytes() gives bytes.";
}
template <>
constexpr const char* class_doc<RecordId::CanAck>() {
    return "Acknowledge-data record: 64 bytes. ack_dat: the data byte. ack_reserve: list of 63 byte values.";
}

template <RecordId R>
constexpr const char* to_bytes_doc() {
    if constexpr (Layout<R>::info.immutable)
        return "The record in the adapter's byte layout, as bytes.";
    else
        return "The record in the adapter's byte layout, as a new bytearray. A list entry outside 0-255\n"
               "raises ValueError, a number outside its field's range OverflowError.";
}

inline constexpr char from_bytes_doc[] =
    "Overwrite this record's fields from the byte sequence b (bytes, bytearray or a list of integers);\n"
    "bytes beyond the record are ignored. Raises ValueError, changing nothing, when b is too short.";

template <RecordId R>
void bind(nb::module_& m) {
    using Rec = Record<R>;
    nb::class_<Rec> cls(m, Layout<R>::info.name, nb::type_slots(Gc<R>::slots), class_doc<R>());
    RecordClass<R>::type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    cls.def(nb::init<>());
    for_each_field<R>([&]<std::size_t I>() {
        // Setters take any object, None included.
        cls.def_prop_rw(
            Layout<R>::fields[I].name, [](const Rec& r) -> const nb::object& { return r.fields[I]; },
            [](Rec& r, nb::object&& value) { r.fields[I] = std::move(value); }, nb::arg("value").none());
    });
    cls.def("to_bytes", [](Rec& self) { return to_bytes<R>(nb::find(self)); }, to_bytes_doc<R>());
    cls.def("from_bytes", [](Rec& self, nb::handle b) { decode_into<R>(self, b); }, "b"_a, from_bytes_doc);
    RecordClass<R>::bound(cls);
}

}  // namespace

void bind_can_records(nb::module_& m) {
    bind<RecordId::CanHead>(m);
    bind<RecordId::CanValue>(m);
    bind<RecordId::CanTx>(m);
}

void bind_command_records(nb::module_& m) {
    bind<RecordId::CanAck>(m);
    bind<RecordId::SetupBaudrate>(m);
}

}  // namespace fdh::py
