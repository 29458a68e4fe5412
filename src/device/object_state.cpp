#include "device/object_state.hpp"

#include "python/byte_values.hpp"
#include "python/interpreter.hpp"
#include "python/numbers.hpp"

namespace fdh::device {

namespace {
nb::handle sink_of(nb::handle self) {
    ObjectState* s = object_state(self);
    return s ? nb::handle(s->options.line_sink) : nb::handle();
}
}  // namespace

Options parse_options(nb::handle line_sink, nb::handle settle, nb::handle setup, nb::handle receive_queue,
                      nb::handle receive_own, nb::handle virtual_adapter) {
    Options o;
    if (!line_sink.is_none()) {
        if (!PyCallable_Check(line_sink.ptr())) throw nb::type_error("line_sink must be callable or None");
        o.line_sink = nb::borrow(line_sink);
    }
    o.settle = py::truthy(settle);
    if (!setup.is_none()) {
        py::ByteView view(setup);
        auto fields = decode_setup(view.bytes());
        if (!fields || view.bytes().size() != SETUP_BAUDRATE_SIZE)
            throw nb::value_error("setup must be the 9 bytes of the bit-timing command's payload");
        o.setup = *fields;
    }
    const long long capacity = py::index_value(receive_queue);
    if (capacity < 0 || capacity > (1 << 24)) throw nb::value_error("receive_queue must be 0 to 16777216 frames");
    o.receive_queue = static_cast<std::size_t>(capacity);
    o.receive_own = py::truthy(receive_own);
    o.virtual_adapter = py::truthy(virtual_adapter);
    return o;
}

ObjectState* object_state(nb::handle self) {
    if (!self.is_valid() || !nb::isinstance<Fdhost>(self) || !nb::inst_ready(self)) return nullptr;
    return &nb::inst_ptr<Fdhost>(self)->state;
}

receive::QueueDelivery* receive_queue(nb::handle self) {
    ObjectState* s = object_state(self);
    return s ? s->queue.get() : nullptr;
}

std::shared_ptr<receive::QueueDelivery> receive_queue_shared(nb::handle self) {
    ObjectState* s = object_state(self);
    return s ? s->queue : nullptr;
}

OutputScope::OutputScope(nb::handle self) : scope_(sink_of(self)) {}

}  // namespace fdh::device
