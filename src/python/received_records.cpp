// Every frame reaches the callback as a new record, which it may keep. One it did not keep is held
// by nothing but the decoder: the record, its header and both lists have no other reference (the
// classes take no weak references and have no instance namespace), so refilled with the next frame
// it cannot be told from a new one, and the allocations of four objects per frame are saved.
// Everything in it must still be a plain int, as the decoder left it: dropping one of those runs
// no code. The spare is held across calls under the interpreter lock.
#include "python/received_records.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "python/record_codec.hpp"

namespace fdh::py {
namespace {

constexpr RecordId VALUE = RecordId::CanValue;
constexpr std::size_t HEAD_AT = Layout<VALUE>::fields[field_index<VALUE>("head")].offset;
constexpr std::size_t DATA_AT = Layout<VALUE>::fields[field_index<VALUE>("data")].offset;

PyObject* g_spare = nullptr;

// What a byte list of the records handed out held as it left the decoder: its entries (the
// interpreter's shared ints for 0..255, never freed) and how many leading ones may be other than 0.
// A list still holding exactly these needs no other check, and only the entries that change are written.
template <RecordId R, std::size_t I>
struct ListState {
    static inline PyObject* items[Layout<R>::fields[I].width] = {};
    static inline std::size_t written = 0;
    static inline bool intact = false;  // found by reusable(), used by the refill that follows it
};

constexpr bool is_list(Kind k) { return k == Kind::Bytes || k == Kind::AllBytes; }

// Bytes of a field at `offset`, `width` long, inside the first `valid` bytes of its record.
constexpr std::size_t valid_in(std::size_t valid, std::size_t offset, std::size_t width) {
    return valid > offset ? std::min(valid - offset, width) : 0;
}

bool private_list(PyObject* o, Py_ssize_t size) {
    return PyList_CheckExact(o) && Py_REFCNT(o) == 1 && PyList_GET_SIZE(o) == size;
}

bool int_items(PyObject* list) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
        if (!PyLong_CheckExact(PyList_GET_ITEM(list, i))) return false;
    return true;
}

PyObject** items_of(PyObject* list) { return reinterpret_cast<PyListObject*>(list)->ob_item; }

template <RecordId R>
FDH_PER_FRAME bool reusable(PyObject* o) {
    if (Py_REFCNT(o) != 1 || Py_TYPE(o) != RecordClass<R>::type) return false;
    auto& r = *nb::inst_ptr<Record<R>>(o);
    return all_fields<R>([&]<std::size_t I>() {
        constexpr Field f = Layout<R>::fields[I];
        PyObject* v = r.fields[I].ptr();
        if (!v) return false;
        if constexpr (f.kind == Kind::Record) {
            return reusable<f.record>(v);
        } else if constexpr (is_list(f.kind)) {
            using S = ListState<R, I>;
            if (!private_list(v, f.width)) return false;
            S::intact = std::memcmp(items_of(v), S::items, sizeof S::items) == 0;
            return S::intact || int_items(v);
        } else {
            return PyLong_CheckExact(v) != 0;
        }
    });
}

void put_byte(PyObject* list, std::size_t i, std::uint8_t b) {
    PyObject* fresh = byte_int(b);
    PyObject* old = items_of(list)[i];
    if (old == fresh) return;
    Py_INCREF(fresh);
    items_of(list)[i] = fresh;
    Py_DECREF(old);  // a plain int
}

// Frames on a bus mostly repeat their identifier: an int already holding the value stays.
void put_u32(nb::object& slot, std::uint32_t value) {
    const unsigned long old = PyLong_AsUnsignedLong(slot.ptr());
    if (old == static_cast<unsigned long>(-1) && PyErr_Occurred())
        PyErr_Clear();
    else if (old == value)
        return;
    slot = u32_int(value);
}

// Overwrites a reusable record with the record at `p`, of which the first `valid` bytes were
// received (the rest are zeros).
template <RecordId R>
FDH_PER_FRAME void refill(Record<R>& r, const std::uint8_t* p, std::size_t valid) {
    for_each_field<R>([&]<std::size_t I>() {
        constexpr Field f = Layout<R>::fields[I];
        nb::object& slot = r.fields[I];
        if constexpr (f.kind == Kind::Record) {
            refill(*nb::inst_ptr<Record<f.record>>(slot), p + f.offset, valid > f.offset ? valid - f.offset : 0);
        } else if constexpr (is_list(f.kind)) {
            using S = ListState<R, I>;
            // An intact list holds zeros beyond what was written last time; any other is rewritten whole.
            const std::size_t upto = S::intact ? std::max(valid_in(valid, f.offset, f.width), S::written) : f.width;
            for (std::size_t k = 0; k < upto; ++k) put_byte(slot.ptr(), k, p[f.offset + k]);
        } else if constexpr (f.kind == Kind::Uint32) {
            put_u32(slot, get_le32(p + f.offset));
        } else {
            slot = codec::decoded_field<R, I>(p);
        }
    });
}

// Notes what the lists of a record hold as it leaves the decoder's hands.
template <RecordId R>
FDH_PER_FRAME void remember(Record<R>& r, std::size_t valid) {
    for_each_field<R>([&]<std::size_t I>() {
        constexpr Field f = Layout<R>::fields[I];
        if constexpr (f.kind == Kind::Record) {
            remember(*nb::inst_ptr<Record<f.record>>(r.fields[I]), valid > f.offset ? valid - f.offset : 0);
        } else if constexpr (is_list(f.kind)) {
            using S = ListState<R, I>;
            std::memcpy(S::items, items_of(r.fields[I].ptr()), sizeof S::items);
            S::written = valid_in(valid, f.offset, f.width);
        }
    });
}

}  // namespace

nb::object take_received(const CanHead& head, std::span<const std::uint8_t> data) {
    // The frame in the layout of a can_value_type, zeros after the bytes received.
    std::uint8_t image[Layout<VALUE>::info.size] = {};
    encode_head(head, std::span<std::uint8_t, CAN_HEAD_SIZE>(image + HEAD_AT, CAN_HEAD_SIZE));
    const std::size_t n = std::min(data.size(), CAN_DATA_MAX);
    std::copy_n(data.data(), n, image + DATA_AT);
    const std::size_t valid = DATA_AT + n;
    if (PyObject* spare = std::exchange(g_spare, nullptr)) {
        if (reusable<VALUE>(spare)) {
            auto& r = *nb::inst_ptr<Record<VALUE>>(spare);
            refill(r, image, valid);
            remember(r, valid);
            return nb::steal(spare);
        }
        Py_DECREF(spare);
    }
    nb::object fresh = decoded<VALUE>(image);
    remember(*nb::inst_ptr<Record<VALUE>>(fresh), valid);
    return fresh;
}

void give_back_received(nb::object value) {
    if (Py_REFCNT(value.ptr()) != 1 || Py_TYPE(value.ptr()) != RecordClass<VALUE>::type) return;  // kept: the caller's
    PyObject* old = std::exchange(g_spare, value.release().ptr());
    Py_XDECREF(old);
}

}  // namespace fdh::py
