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

template <RecordId R>
void bind(nb::module_& m) {
    using Rec = Record<R>;
    nb::class_<Rec> cls(m, Layout<R>::info.name, nb::type_slots(Gc<R>::slots));
    RecordClass<R>::type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    cls.def(nb::init<>());
    for_each_field<R>([&]<std::size_t I>() {
        // Setters take any object, None included.
        cls.def_prop_rw(
            Layout<R>::fields[I].name, [](const Rec& r) -> const nb::object& { return r.fields[I]; },
            [](Rec& r, nb::object&& value) { r.fields[I] = std::move(value); }, nb::arg("value").none());
    });
    cls.def("to_bytes", [](Rec& self) { return to_bytes<R>(nb::find(self)); });
    cls.def("from_bytes", [](Rec& self, nb::handle b) { decode_into<R>(self, b); }, "b"_a);
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
