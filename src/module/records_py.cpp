#include "records_py.hpp"

#include <cstring>

#include "byte_order.hpp"
#include "py_env.hpp"

using namespace nb::literals;

namespace fdh::py {
namespace {

nb::object small_int(long v) {
    if (v >= 0 && v <= 255) return nb::borrow(byte_int(static_cast<std::uint8_t>(v)));
    return nb::steal(PyLong_FromLong(v));
}
nb::object u32_int(std::uint32_t v) {
    if (v <= 255) return nb::borrow(byte_int(static_cast<std::uint8_t>(v)));
    return nb::steal(PyLong_FromUnsignedLong(v));
}
nb::object zeros_list(std::size_t n) {
    PyObject* l = PyList_New(static_cast<Py_ssize_t>(n));
    if (!l) throw nb::python_error();
    PyObject* zero = byte_int(0);
    for (std::size_t i = 0; i < n; ++i) {
        Py_INCREF(zero);
        PyList_SET_ITEM(l, i, zero);
    }
    return nb::steal(l);
}

// value & mask, with the interpreter's arithmetic (so bools work and other types fail as usual).
unsigned long long masked(nb::handle v, unsigned long long mask) {
    if (PyLong_CheckExact(v.ptr())) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
        if (!overflow) return static_cast<unsigned long long>(x) & mask;
        PyErr_Clear();
    }
    nb::object m = nb::steal(PyLong_FromUnsignedLongLong(mask));
    nb::object r = nb::steal(PyNumber_And(v.ptr(), m.ptr()));
    if (!r.is_valid()) throw nb::python_error();
    unsigned long long out = PyLong_AsUnsignedLongLong(r.ptr());
    if (PyErr_Occurred()) throw nb::python_error();
    return out;
}

// value.to_bytes(4, "little"): OverflowError outside 0 .. 2**32-1.
std::uint32_t u32_field(nb::handle v) {
    if (PyLong_Check(v.ptr())) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
        if (x == -1 && PyErr_Occurred()) throw nb::python_error();
        if (overflow < 0 || (!overflow && x < 0)) {
            PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
            throw nb::python_error();
        }
        if (overflow > 0 || x > 0xFFFFFFFFLL) {
            PyErr_SetString(PyExc_OverflowError, "int too big to convert");
            throw nb::python_error();
        }
        return static_cast<std::uint32_t>(x);
    }
    nb::object b = v.attr("to_bytes")(4, "little");
    ByteView view(b);
    return get_le_clipped(view.bytes(), 0, 4);
}

// int(value).to_bytes(4, "little", signed=True).
std::int32_t i32_field(nb::handle v) {
    nb::object i = nb::steal(PyNumber_Long(v.ptr()));
    if (!i.is_valid()) throw nb::python_error();
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (x == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow || x < INT32_MIN || x > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "int too big to convert");
        throw nb::python_error();
    }
    return static_cast<std::int32_t>(x);
}

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) { append_le32(out, v); }

// Setter annotation for record fields: they hold any object a program assigns, None included.
const auto any_value = nb::arg("value").none();

void require_len(std::span<const std::uint8_t> b, std::size_t n, const char* msg) {
    if (b.size() < n) throw nb::value_error(msg);
}

// Cyclic GC support: records hold arbitrary objects a program may assign.
template <typename T, nb::object T::*... Fields>
struct Gc {
    static int traverse(PyObject* self, visitproc visit, void* arg) {
        if (!nb::inst_ready(self)) return 0;
        T& t = *nb::inst_ptr<T>(self);
        int r = 0;
        auto visit_one = [&](PyObject* o) {
            if (!r && o) r = visit(o, arg);
        };
        (visit_one((t.*Fields).ptr()), ...);
        visit_one(reinterpret_cast<PyObject*>(Py_TYPE(self)));
        return r;
    }
    static int clear(PyObject* self) {
        T& t = *nb::inst_ptr<T>(self);
        ((t.*Fields = nb::none()), ...);
        return 0;
    }
    static inline PyType_Slot slots[] = {{Py_tp_traverse, (void*)traverse}, {Py_tp_clear, (void*)clear}, {0, nullptr}};
};

using HeadGc = Gc<CanHeadObj, &CanHeadObj::id, &CanHeadObj::time_stamp, &CanHeadObj::reserve, &CanHeadObj::fram_type,
                  &CanHeadObj::can_type, &CanHeadObj::id_type, &CanHeadObj::dir, &CanHeadObj::dlc>;
using ValueGc = Gc<CanValueObj, &CanValueObj::head, &CanValueObj::data>;
using TxGc = Gc<CanTxObj, &CanTxObj::reserve0, &CanTxObj::reserve3, &CanTxObj::data, &CanTxObj::send_time,
                &CanTxObj::can_id, &CanTxObj::interval>;
using AckGc = Gc<CanAckObj, &CanAckObj::ack_dat, &CanAckObj::ack_reserve>;

void set_head_fields(CanHeadObj& h, const CanHead& v) {
    h.id = nb::steal(PyLong_FromUnsignedLong(v.id));
    h.time_stamp = nb::steal(PyLong_FromUnsignedLong(v.time_stamp));
    h.reserve = new_byte_list(v.reserve);
    h.fram_type = small_int(v.fram_type);
    h.can_type = small_int(v.can_type);
    h.id_type = small_int(v.id_type);
    h.dir = small_int(v.dir);
    h.dlc = small_int(v.dlc);
}

nb::object head_to_bytes(CanHeadObj& self) {
    auto& h = self;
    std::vector<std::uint8_t> out;
    out.reserve(12);
    put_u32(out, u32_field(h.id));
    put_u32(out, u32_field(h.time_stamp));
    nb::object first3 = nb::steal(PySequence_GetSlice(h.reserve.ptr(), 0, 3));
    if (!first3.is_valid()) throw nb::python_error();
    append_byte_items(out, first3);
    out.push_back(head_flag_byte(masked(h.fram_type, 1), masked(h.can_type, 1), masked(h.id_type, 1),
                                 masked(h.dir, 1), masked(h.dlc, 15)));
    return to_pybytearray(out);
}

void head_from_bytes(CanHeadObj& self, nb::handle b) {
    ByteView view(b);
    require_len(view.bytes(), CAN_HEAD_SIZE, "In can_head_type,Insufficient data for CanHeadType");
    set_head_fields(self, decode_head(view.bytes().data()));
}

nb::object value_to_bytes(CanValueObj& self) {
    auto& v = self;
    nb::object head_bytes = v.head.attr("to_bytes")();
    std::vector<std::uint8_t> out;
    {
        ByteView hb(head_bytes);
        out.assign(hb.bytes().begin(), hb.bytes().end());
    }
    nb::object first64 = nb::steal(PySequence_GetSlice(v.data.ptr(), 0, 64));
    if (!first64.is_valid()) throw nb::python_error();
    append_byte_items(out, first64);
    return to_pybytearray(out);
}

void value_from_bytes(CanValueObj& self, nb::handle b) {
    ByteView view(b);
    auto bytes = view.bytes();
    require_len(bytes, CAN_VALUE_SIZE, "In can_value_type,Insufficient data for CanValueType");
    auto& v = self;
    v.head.attr("from_bytes")(to_pybytes(bytes.first(CAN_HEAD_SIZE)));
    v.data = new_byte_list(bytes.subspan(CAN_HEAD_SIZE, CAN_DATA_MAX));
}

void tx_from_bytes(CanTxObj& self, nb::handle b) {
    ByteView view(b);
    auto parsed = decode_tx(view.bytes());
    if (!parsed) throw nb::value_error("In can_tx_type,Insufficient data for CanTxType");
    const CanTx& t = *parsed;
    auto& o = self;
    o.reserve0 = new_byte_list(t.reserve0);
    o.can_type = small_int(t.can_type);
    o.fram_type = small_int(t.fram_type);
    o.id_type = small_int(t.id_type);
    o.fd_acc = small_int(t.fd_acc);
    o.id_increase = small_int(t.id_increase);
    o.data_increase = small_int(t.data_increase);
    o.cmd = small_int(t.cmd);
    o.reserve1 = small_int(t.reserve1);
    o.dlc = small_int(t.dlc);
    o.send_time = nb::steal(PyLong_FromLong(t.send_time));
    o.reserve3 = new_byte_list(t.reserve3);
    o.interval = nb::steal(PyLong_FromUnsignedLong(t.interval));
    o.can_id = nb::steal(PyLong_FromUnsignedLong(t.can_id));
    o.data = new_byte_list(t.data);
}

void setup_from_bytes(SetupBaudrateObj& self, nb::handle b) {
    ByteView view(b);
    auto parsed = decode_setup(view.bytes());
    if (!parsed) throw nb::value_error("In setup_baudrate_t,Insufficient data for SetupBaudrate");
    auto& o = self;
    const SetupBaudrate& s = *parsed;
    o.can_frame_type = small_int(s.can_frame_type);
    o.can_seg1 = small_int(s.can_seg1);
    o.can_seg2 = small_int(s.can_seg2);
    o.can_sjw = small_int(s.can_sjw);
    o.can_prescaler = small_int(s.can_prescaler);
    o.canfd_seg1 = small_int(s.canfd_seg1);
    o.canfd_seg2 = small_int(s.canfd_seg2);
    o.canfd_sjw = small_int(s.canfd_sjw);
    o.canfd_prescaler = small_int(s.canfd_prescaler);
}

nb::object ack_to_bytes(CanAckObj& self) {
    auto& a = self;
    std::vector<std::uint8_t> out;
    out.push_back(static_cast<std::uint8_t>(masked(a.ack_dat, 0xFF)));
    nb::object first63 = nb::steal(PySequence_GetSlice(a.ack_reserve.ptr(), 0, 63));
    if (!first63.is_valid()) throw nb::python_error();
    append_byte_items(out, first63);
    return to_pybytearray(out);
}

void ack_from_bytes(CanAckObj& self, nb::handle b) {
    ByteView view(b);
    auto parsed = decode_ack_record(view.bytes());
    if (!parsed) throw nb::value_error("In can_ack_type,Insufficient data for CanAckType");
    auto& a = self;
    a.ack_dat = small_int(parsed->ack_dat);
    a.ack_reserve = new_byte_list(parsed->ack_reserve);
}

}  // namespace

CanHeadObj::CanHeadObj()
    : id(small_int(0)), time_stamp(small_int(0)), reserve(zeros_list(3)), fram_type(small_int(0)),
      can_type(small_int(0)), id_type(small_int(0)), dir(small_int(0)), dlc(small_int(0)) {}

CanValueObj::CanValueObj() : head(nb::cast(CanHeadObj())), data(zeros_list(CAN_DATA_MAX)) {}

CanTxObj::CanTxObj()
    : reserve0(zeros_list(2)), can_type(small_int(0)), fram_type(small_int(0)), id_type(small_int(0)),
      fd_acc(small_int(0)), id_increase(small_int(0)), data_increase(small_int(0)), cmd(small_int(0)),
      reserve1(small_int(0)), dlc(small_int(0)), send_time(small_int(0)), reserve3(zeros_list(4)),
      interval(small_int(0)), can_id(small_int(0)), data(zeros_list(CAN_DATA_MAX)) {}

SetupBaudrateObj::SetupBaudrateObj()
    : can_frame_type(small_int(0)), can_seg1(small_int(0)), can_seg2(small_int(0)), can_sjw(small_int(2)),
      can_prescaler(small_int(0)), canfd_seg1(small_int(0)), canfd_seg2(small_int(0)), canfd_sjw(small_int(2)),
      canfd_prescaler(small_int(0)) {}

CanAckObj::CanAckObj() : ack_dat(small_int(0)), ack_reserve(zeros_list(CAN_ACK_SIZE - 1)) {}

namespace {
PyTypeObject* g_head_type = nullptr;
PyTypeObject* g_value_type = nullptr;
PyTypeObject* g_tx_type = nullptr;

// The first `limit` entries of a list holding only ints 0..255 (what encoding its slice would
// give, without making the slice); false, with `out` unchanged, for anything else.
bool append_plain_bytes(std::vector<std::uint8_t>& out, nb::handle seq, Py_ssize_t limit) {
    if (!PyList_CheckExact(seq.ptr())) return false;
    const Py_ssize_t n = std::min(PyList_GET_SIZE(seq.ptr()), limit);
    std::uint8_t bytes[256];
    if (n > static_cast<Py_ssize_t>(sizeof bytes)) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(seq.ptr(), i);
        if (!PyLong_CheckExact(item)) return false;
        int overflow = 0;
        const long v = PyLong_AsLongAndOverflow(item, &overflow);
        if (overflow || v < 0 || v > 255) return false;  // the general path raises the error
        bytes[i] = static_cast<std::uint8_t>(v);
    }
    out.insert(out.end(), bytes, bytes + n);
    return true;
}
unsigned int g_tx_type_version = 0;  // the class's version tag once bound; 0 until then

// True while can_tx_type is as this module made it: the interpreter gives a class a new version tag
// whenever anything in its namespace (a field's descriptor, to_bytes ...) is replaced, and tags are
// not reused.
bool tx_type_pristine() {
    return g_tx_type_version != 0 && (g_tx_type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) &&
           g_tx_type->tp_version_tag == g_tx_type_version;
}

void record_tx_type_version() {
    // A lookup gives the class its version tag.
    nb::object name = interned("to_bytes");
    if (_PyType_Lookup(g_tx_type, name.ptr()) && (g_tx_type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG))
        g_tx_type_version = g_tx_type->tp_version_tag;
}
}  // namespace

CanTxObj* plain_tx_object(nb::handle o) {
    if (!g_tx_type || Py_TYPE(o.ptr()) != g_tx_type || !tx_type_pristine() || !nb::inst_ready(o)) return nullptr;
    return nb::inst_ptr<CanTxObj>(o);
}

bool is_plain_tx_type(nb::handle type) { return g_tx_type && type.ptr() == reinterpret_cast<PyObject*>(g_tx_type) && tx_type_pristine(); }

std::vector<std::uint8_t> encode_tx_object(nb::handle obj) {
    // An unchanged can_tx_type's fields are read straight from the record; anything else by name.
    CanTxObj* plain = plain_tx_object(obj);
    auto field = [&](nb::object CanTxObj::*member, const char* name) {
        return plain ? nb::object(plain->*member) : attr(obj, name);
    };
    std::vector<std::uint8_t> out;
    out.reserve(CAN_TX_SIZE);
    append_byte_items(out, field(&CanTxObj::reserve0, "reserve0"));
    out.push_back(tx_flag_byte(masked(field(&CanTxObj::can_type, "can_type"), 1),
                               masked(field(&CanTxObj::fram_type, "fram_type"), 1),
                               masked(field(&CanTxObj::id_type, "id_type"), 1),
                               masked(field(&CanTxObj::fd_acc, "fd_acc"), 1),
                               masked(field(&CanTxObj::id_increase, "id_increase"), 1),
                               masked(field(&CanTxObj::data_increase, "data_increase"), 1),
                               masked(field(&CanTxObj::cmd, "cmd"), 1)));
    out.push_back(static_cast<std::uint8_t>(masked(field(&CanTxObj::reserve1, "reserve1"), 0xFF)));
    out.push_back(static_cast<std::uint8_t>(masked(field(&CanTxObj::dlc, "dlc"), 0xFF)));
    out.insert(out.end(), 3, std::uint8_t{0});
    put_u32(out, static_cast<std::uint32_t>(i32_field(field(&CanTxObj::send_time, "send_time"))));
    append_byte_items(out, field(&CanTxObj::reserve3, "reserve3"));
    put_u32(out, u32_field(field(&CanTxObj::interval, "interval")));
    put_u32(out, u32_field(field(&CanTxObj::can_id, "can_id")));
    nb::object data = field(&CanTxObj::data, "data");
    if (!append_plain_bytes(out, data, 64)) {
        nb::object first64 = nb::steal(PySequence_GetSlice(data.ptr(), 0, 64));
        if (!first64.is_valid()) throw nb::python_error();
        append_byte_items(out, first64);
    }
    return out;
}

std::vector<std::uint8_t> encode_setup_object(nb::handle obj) {
    static const char* names[] = {"can_frame_type", "can_seg1",   "can_seg2",  "can_sjw",        "can_prescaler",
                                  "canfd_seg1",     "canfd_seg2", "canfd_sjw", "canfd_prescaler"};
    std::vector<std::uint8_t> out;
    for (const char* n : names) out.push_back(static_cast<std::uint8_t>(masked(nb::getattr(obj, n), 0xFF)));
    return out;
}

namespace {
// A new instance of a bound record type, constructed in place (no temporary, no type lookup).
template <typename T, typename... Args>
nb::object new_record(PyTypeObject* type, Args&&... args) {
    nb::object o = nb::inst_alloc(nb::handle(reinterpret_cast<PyObject*>(type)));
    new (nb::inst_ptr<T>(o)) T(std::forward<Args>(args)...);
    nb::inst_mark_ready(o);
    return o;
}

// 64 data entries: the payload bytes first, zeros after them.
nb::object data_list(std::span<const std::uint8_t> data) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(CAN_DATA_MAX));
    if (!list) throw nb::python_error();
    const std::size_t n = std::min(data.size(), CAN_DATA_MAX);
    for (std::size_t i = 0; i < CAN_DATA_MAX; ++i) {
        PyObject* o = byte_int(i < n ? data[i] : 0);
        Py_INCREF(o);
        PyList_SET_ITEM(list, i, o);
    }
    return nb::steal(list);
}
}  // namespace

CanHeadObj::CanHeadObj(const CanHead& v)
    : id(u32_int(v.id)), time_stamp(u32_int(v.time_stamp)),
      reserve(new_byte_list(v.reserve)), fram_type(small_int(v.fram_type)), can_type(small_int(v.can_type)),
      id_type(small_int(v.id_type)), dir(small_int(v.dir)), dlc(small_int(v.dlc)) {}

nb::object make_head_object(const CanHead& head) { return new_record<CanHeadObj>(g_head_type, head); }

nb::object new_tx_object() { return new_record<CanTxObj>(g_tx_type); }

nb::object make_value_object(const CanHead& head, std::span<const std::uint8_t> data) {
    return new_record<CanValueObj>(g_value_type, make_head_object(head), data_list(data));
}

// Every frame reaches the callback as a new record, which it may keep. One it did not keep is
// held by nothing but the decoder: the record, its header and both lists have no other reference
// (the types take no weak references and have no instance namespace), so refilled with the next
// frame it cannot be told from a new one, and the allocations of four objects per frame are
// saved. Everything in it must still be a plain int, as the decoder left it: dropping one of
// those runs no code. The spare is held across calls under the interpreter lock.
namespace {
struct Spare {
    PyObject* value = nullptr;
    // The data entries as last written (the interpreter's shared ints for 0..255, never freed):
    // a list still holding exactly these needs no other check, and only the entries that change
    // are written.
    PyObject* data[CAN_DATA_MAX] = {};
    std::size_t written = 0;  // entries beyond this hold the int 0
};
Spare g_spare;

bool private_list(PyObject* o, Py_ssize_t size) {
    return o && PyList_CheckExact(o) && Py_REFCNT(o) == 1 && PyList_GET_SIZE(o) == size;
}

bool int_items(PyObject* list) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
        if (!PyLong_CheckExact(PyList_GET_ITEM(list, i))) return false;
    return true;
}

// The record when it can be refilled; `intact` tells whether its data list is as last written.
CanValueObj* reusable(PyObject* o, bool& intact) {
    if (Py_REFCNT(o) != 1 || Py_TYPE(o) != g_value_type) return nullptr;
    auto* v = nb::inst_ptr<CanValueObj>(o);
    PyObject* h = v->head.ptr();
    PyObject* d = v->data.ptr();
    if (!h || Py_REFCNT(h) != 1 || Py_TYPE(h) != g_head_type) return nullptr;
    if (!private_list(d, static_cast<Py_ssize_t>(CAN_DATA_MAX))) return nullptr;
    intact = std::memcmp(reinterpret_cast<PyListObject*>(d)->ob_item, g_spare.data, sizeof g_spare.data) == 0;
    if (!intact && !int_items(d)) return nullptr;
    auto* head = nb::inst_ptr<CanHeadObj>(h);
    for (const nb::object* f : {&head->id, &head->time_stamp, &head->fram_type, &head->can_type, &head->id_type,
                                &head->dir, &head->dlc})
        if (!f->is_valid() || !PyLong_CheckExact(f->ptr())) return nullptr;
    return private_list(head->reserve.ptr(), 3) && int_items(head->reserve.ptr()) ? v : nullptr;
}

void put_byte(PyObject* list, Py_ssize_t i, std::uint8_t b) {
    PyObject* fresh = byte_int(b);
    PyObject* old = PyList_GET_ITEM(list, i);
    if (old == fresh) return;
    Py_INCREF(fresh);
    PyList_SET_ITEM(list, i, fresh);
    Py_DECREF(old);  // a plain int
}

void refill(CanValueObj& v, bool intact, const CanHead& h, std::span<const std::uint8_t> data) {
    auto& head = *nb::inst_ptr<CanHeadObj>(v.head.ptr());
    // Frames on a bus mostly repeat their identifier: an int already holding the value stays.
    auto put_u32 = [](nb::object& field, std::uint32_t value) {
        const unsigned long old = PyLong_AsUnsignedLong(field.ptr());
        if (old == static_cast<unsigned long>(-1) && PyErr_Occurred()) PyErr_Clear();
        else if (old == value) return;
        field = u32_int(value);
    };
    put_u32(head.id, h.id);
    put_u32(head.time_stamp, h.time_stamp);
    head.fram_type = small_int(h.fram_type);
    head.can_type = small_int(h.can_type);
    head.id_type = small_int(h.id_type);
    head.dir = small_int(h.dir);
    head.dlc = small_int(h.dlc);
    for (Py_ssize_t i = 0; i < 3; ++i) put_byte(head.reserve.ptr(), i, h.reserve[static_cast<std::size_t>(i)]);
    const std::size_t n = std::min(data.size(), CAN_DATA_MAX);
    // An intact list holds zeros beyond what was written last time; any other is rewritten whole.
    const std::size_t upto = intact ? std::max(n, g_spare.written) : CAN_DATA_MAX;
    for (std::size_t i = 0; i < upto; ++i) put_byte(v.data.ptr(), static_cast<Py_ssize_t>(i), i < n ? data[i] : 0);
}

// Notes what a record's data list holds as it leaves the decoder's hands.
void remember_data(const CanValueObj& v, std::size_t written) {
    std::memcpy(g_spare.data, reinterpret_cast<PyListObject*>(v.data.ptr())->ob_item, sizeof g_spare.data);
    g_spare.written = written;
}
}  // namespace

nb::object take_value_object(const CanHead& head, std::span<const std::uint8_t> data) {
    const std::size_t n = std::min(data.size(), CAN_DATA_MAX);
    if (PyObject* spare = std::exchange(g_spare.value, nullptr)) {
        bool intact = false;
        if (CanValueObj* v = reusable(spare, intact)) {
            refill(*v, intact, head, data);
            remember_data(*v, n);
            return nb::steal(spare);
        }
        Py_DECREF(spare);
    }
    nb::object fresh = make_value_object(head, data);
    remember_data(*nb::inst_ptr<CanValueObj>(fresh), n);
    return fresh;
}

void give_back_value_object(nb::object value) {
    if (Py_REFCNT(value.ptr()) != 1 || Py_TYPE(value.ptr()) != g_value_type) return;  // kept: it stays the caller's
    PyObject* old = std::exchange(g_spare.value, value.release().ptr());
    Py_XDECREF(old);
}

void bind_can_records(nb::module_& m) {
    auto head_cls = nb::class_<CanHeadObj>(m, "can_head_type", nb::type_slots(HeadGc::slots));
    g_head_type = reinterpret_cast<PyTypeObject*>(head_cls.ptr());
    head_cls
        .def(nb::init<>())
        .def_rw("id", &CanHeadObj::id, any_value)
        .def_rw("time_stamp", &CanHeadObj::time_stamp, any_value)
        .def_rw("reserve", &CanHeadObj::reserve, any_value)
        .def_rw("fram_type", &CanHeadObj::fram_type, any_value)
        .def_rw("can_type", &CanHeadObj::can_type, any_value)
        .def_rw("id_type", &CanHeadObj::id_type, any_value)
        .def_rw("dir", &CanHeadObj::dir, any_value)
        .def_rw("dlc", &CanHeadObj::dlc, any_value)
        .def("to_bytes", [](CanHeadObj& self) { return head_to_bytes(self); })
        .def("from_bytes", [](CanHeadObj& self, nb::handle b) { head_from_bytes(self, b); }, "b"_a);

    auto value_cls = nb::class_<CanValueObj>(m, "can_value_type", nb::type_slots(ValueGc::slots));
    g_value_type = reinterpret_cast<PyTypeObject*>(value_cls.ptr());
    value_cls
        .def(nb::init<>())
        .def_rw("head", &CanValueObj::head, any_value)
        .def_rw("data", &CanValueObj::data, any_value)
        .def("to_bytes", [](CanValueObj& self) { return value_to_bytes(self); })
        .def("from_bytes", [](CanValueObj& self, nb::handle b) { value_from_bytes(self, b); }, "b"_a);

    auto tx_cls = nb::class_<CanTxObj>(m, "can_tx_type", nb::type_slots(TxGc::slots));
    g_tx_type = reinterpret_cast<PyTypeObject*>(tx_cls.ptr());
    tx_cls
        .def(nb::init<>())
        .def_rw("reserve0", &CanTxObj::reserve0, any_value)
        .def_rw("can_type", &CanTxObj::can_type, any_value)
        .def_rw("fram_type", &CanTxObj::fram_type, any_value)
        .def_rw("id_type", &CanTxObj::id_type, any_value)
        .def_rw("fd_acc", &CanTxObj::fd_acc, any_value)
        .def_rw("id_increase", &CanTxObj::id_increase, any_value)
        .def_rw("data_increase", &CanTxObj::data_increase, any_value)
        .def_rw("cmd", &CanTxObj::cmd, any_value)
        .def_rw("reserve1", &CanTxObj::reserve1, any_value)
        .def_rw("dlc", &CanTxObj::dlc, any_value)
        .def_rw("send_time", &CanTxObj::send_time, any_value)
        .def_rw("reserve3", &CanTxObj::reserve3, any_value)
        .def_rw("interval", &CanTxObj::interval, any_value)
        .def_rw("can_id", &CanTxObj::can_id, any_value)
        .def_rw("data", &CanTxObj::data, any_value)
        .def("to_bytes", [](CanTxObj& self) { return to_pybytearray(encode_tx_object(nb::find(self))); })
        .def("from_bytes", [](CanTxObj& self, nb::handle b) { tx_from_bytes(self, b); }, "b"_a);
    record_tx_type_version();
}

void bind_command_records(nb::module_& m) {
    nb::class_<CanAckObj>(m, "can_ack_type", nb::type_slots(AckGc::slots))
        .def(nb::init<>())
        .def_rw("ack_dat", &CanAckObj::ack_dat, any_value)
        .def_rw("ack_reserve", &CanAckObj::ack_reserve, any_value)
        .def("to_bytes", [](CanAckObj& self) { return ack_to_bytes(self); })
        .def("from_bytes", [](CanAckObj& self, nb::handle b) { ack_from_bytes(self, b); }, "b"_a);

    nb::class_<SetupBaudrateObj>(m, "setup_baudrate_t")
        .def(nb::init<>())
        .def_rw("can_frame_type", &SetupBaudrateObj::can_frame_type, any_value)
        .def_rw("can_seg1", &SetupBaudrateObj::can_seg1, any_value)
        .def_rw("can_seg2", &SetupBaudrateObj::can_seg2, any_value)
        .def_rw("can_sjw", &SetupBaudrateObj::can_sjw, any_value)
        .def_rw("can_prescaler", &SetupBaudrateObj::can_prescaler, any_value)
        .def_rw("canfd_seg1", &SetupBaudrateObj::canfd_seg1, any_value)
        .def_rw("canfd_seg2", &SetupBaudrateObj::canfd_seg2, any_value)
        .def_rw("canfd_sjw", &SetupBaudrateObj::canfd_sjw, any_value)
        .def_rw("canfd_prescaler", &SetupBaudrateObj::canfd_prescaler, any_value)
        .def("to_bytes", [](SetupBaudrateObj& self) { return to_pybytes(encode_setup_object(nb::find(self))); })
        .def("from_bytes", [](SetupBaudrateObj& self, nb::handle b) { setup_from_bytes(self, b); }, "b"_a);
}

}  // namespace fdh::py
