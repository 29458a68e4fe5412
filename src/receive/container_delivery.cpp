#include "receive/container_delivery.hpp"

#include "device/names.hpp"
#include "device/object_state.hpp"
#include "python/interpreter.hpp"
#include "receive/queue_delivery.hpp"
#include "receive/usb_unpack.hpp"

namespace fdh::receive {

void deliver_container(nb::handle self, std::span<const std::uint8_t> container, ReceivedAt received) {
    if (unpacks_in_memory(self)) return unpack_in_memory(self, container, received);
    nb::object bytes = nb::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(container.data()),
                                                           static_cast<Py_ssize_t>(container.size())));
    if (!bytes.is_valid()) throw nb::python_error();
    nb::object data = py::attr(nb::module_::import_("array"), "array")("B", bytes);
    nb::object size = nb::steal(PyLong_FromSize_t(container.size()));
    py::call(py::attr(self, method::unpack_usb_frame), {data.ptr(), size.ptr()});
}

ContainerBatch::ContainerBatch(nb::handle self) : queue_(device::receive_queue_shared(self)) {
    if (queue_) queue_->hold();
}

ContainerBatch::~ContainerBatch() {
    if (queue_) queue_->flush();
}

}  // namespace fdh::receive
