// A record as the interpreter holds it: one object per field of its table, each any value a program
// assigns (the records keep no hidden state), and the class it was bound as.
#pragma once
#include <nanobind/nanobind.h>

#include <algorithm>
#include <array>
#include <utility>

#include "python/byte_values.hpp"
#include "python/interpreter.hpp"
#include "protocol/record_layouts.hpp"

namespace nb = nanobind;

// Marks the functions that run for every frame: everything they call is inlined into them. The
// module is built for size (-Os), which would otherwise keep each small helper of the generic
// record code a call of its own.
#if defined(__GNUC__)
#define FDH_PER_FRAME [[gnu::flatten]]
#else
#define FDH_PER_FRAME
#endif

namespace fdh::py {

template <RecordId R>
struct Record {
    std::array<nb::object, field_count<R>> fields;

    Record() : Record(std::make_index_sequence<field_count<R>>{}) {}  // every field at its initial value
    explicit Record(const std::uint8_t* layout_bytes)                 // decoded from its layout
        : Record(layout_bytes, std::make_index_sequence<field_count<R>>{}) {}

private:
    template <std::size_t... I>
    explicit Record(std::index_sequence<I...>);
    template <std::size_t... I>
    Record(const std::uint8_t* layout_bytes, std::index_sequence<I...>);  // record_codec.hpp
};

// fn.operator()<I>() for every field I of R, in table order, unrolled while compiling;
// all_fields stops at the first false.
template <RecordId R, typename Fn>
constexpr void for_each_field(Fn&& fn) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (fn.template operator()<I>(), ...);
    }(std::make_index_sequence<field_count<R>>{});
}
template <RecordId R, typename Fn>
constexpr bool all_fields(Fn&& fn) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return (fn.template operator()<I>() && ...);
    }(std::make_index_sequence<field_count<R>>{});
}

// A field's name as a template argument (Fields::set<"can_id">), checked against the table while
// compiling.
template <std::size_t N>
struct FieldName {
    char text[N];
    consteval FieldName(const char (&s)[N]) { std::copy_n(s, N, text); }
};

// The class each record was bound as, and its version tag at that moment: the interpreter gives a
// class a new tag whenever anything in its namespace (a field's descriptor, to_bytes ...) is
// replaced, and never reuses one.
template <RecordId R>
struct RecordClass {
    static inline PyTypeObject* type = nullptr;
    static inline unsigned int version = 0;

    static void bound(nb::handle cls) {
        type = reinterpret_cast<PyTypeObject*>(cls.ptr());
        // A lookup gives the class its version tag.
        if (_PyType_Lookup(type, interned("to_bytes").ptr()) && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG))
            version = type->tp_version_tag;
    }
    // The class is still as this module made it: its attributes are the fields, to_bytes the table's.
    static bool pristine() {
        return version != 0 && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag == version;
    }
};

// The record itself when `o` is exactly this class, unchanged: its fields can then be read and
// stored directly, with the same effect as through its attributes. nullptr for anything else.
template <RecordId R>
Record<R>* plain(nb::handle o) {
    using C = RecordClass<R>;
    if (!C::type || Py_TYPE(o.ptr()) != C::type || !C::pristine() || !nb::inst_ready(o)) return nullptr;
    return nb::inst_ptr<Record<R>>(o);
}

// A new record of the bound class, made in place (no temporary, no look-up of the class).
template <RecordId R, typename... Args>
nb::object new_record(Args&&... args) {
    nb::object o = nb::inst_alloc(nb::handle(reinterpret_cast<PyObject*>(RecordClass<R>::type)));
    new (nb::inst_ptr<Record<R>>(o)) Record<R>(std::forward<Args>(args)...);
    nb::inst_mark_ready(o);
    return o;
}

// cls(), made in place when `cls` is the record's class, unchanged.
template <RecordId R>
nb::object construct(nb::handle cls) {
    const bool own = cls.ptr() == reinterpret_cast<PyObject*>(RecordClass<R>::type) && RecordClass<R>::pristine();
    return own ? new_record<R>() : cls();
}

// The value a new record holds in field I.
template <RecordId R, std::size_t I>
nb::object initial_value() {
    constexpr Field f = Layout<R>::fields[I];
    if constexpr (f.kind == Kind::Record)
        return new_record<f.record>();
    else if constexpr (f.kind == Kind::Bytes || f.kind == Kind::AllBytes)
        return zeros_list(f.width);
    else
        return small_int(f.initial);
}

template <RecordId R>
template <std::size_t... I>
FDH_PER_FRAME Record<R>::Record(std::index_sequence<I...>) : fields{initial_value<R, I>()...} {}

// The fields of an object that stands for a record R: stored and read straight in the record when
// it is a plain one, else by attribute name, as for any object with those attributes.
template <RecordId R>
class Fields {
public:
    explicit Fields(nb::handle obj) : obj_(obj), plain_(plain<R>(obj)) {}

    template <FieldName name>
    void set(nb::handle value) const {
        constexpr std::size_t i = field_index<R>(name.text);
        if (plain_)
            plain_->fields[i] = nb::borrow(value);
        else
            set_attr(obj_, Layout<R>::fields[i].name, value);
    }
    template <FieldName name>
    nb::object get() const {
        return get(field_index<R>(name.text));
    }
    nb::object get(std::size_t i) const { return plain_ ? plain_->fields[i] : attr(obj_, Layout<R>::fields[i].name); }

private:
    nb::handle obj_;
    Record<R>* plain_;
};

}  // namespace fdh::py
