// The reader workers: transfer after transfer from an IN endpoint, each container delivered as it
// comes. On the direct path the transfers are kept queued (device/pyusb/queued_reads.hpp);
// otherwise the reader asks for one read after another.
#include <optional>

#include "device/names.hpp"
#include "device/object_state.hpp"
#include "device/pyusb/fast_path.hpp"
#include "device/pyusb/queued_reads.hpp"
#include "python/interpreter.hpp"
#include "python/printing.hpp"
#include "receive/container_delivery.hpp"
#include "receive/queue_delivery.hpp"
#include "receive/receive.hpp"

namespace fdh::receive {

namespace {
// Once the reader stops, a receive queue learns that no more frames come, and why: the object was
// closed, or the adapter failed (an unplug) with `failure`.
class QueueEnd {
public:
    explicit QueueEnd(nb::handle self) : queue_(device::receive_queue(self)) {}
    ~QueueEnd() {
        if (!queue_) return;
        if (failure_.empty()) failure_ = "its device was released";
        queue_->end("the adapter stopped responding (unplugged?): " + failure_);
    }
    void note(nb::python_error& e) {
        if (queue_ && py::is_usb_error(e) && !py::is_timeout_error(e)) failure_ = py::error_text(e);
    }

private:
    QueueDelivery* queue_;
    std::string failure_;
};

void reader(nb::handle self, const char* endpoint, const char* started, const char* error_prefix) {
    py::print(started);
    QueueEnd end(self);
    device::TransferReader transfers;
    std::optional<ContainerBatch> batch;
    const device::Delivery deliver{
        [&] { batch.emplace(self); },
        [self](std::span<const std::uint8_t> container, ReceivedAt received) {
            deliver_container(self, container, received);
        },
        [&] { batch.reset(); },
    };
    device::run_worker(self, error_prefix, [&](nb::handle dev) {
        nb::object data;
        std::size_t count = 0;
        try {
            if (device::read_queued(self, dev, endpoint, deliver) == device::QueuedRead::Ended) return;
            switch (transfers.read(dev, py::global(endpoint), py::global(mod::RX_LENGTH), data, count)) {
                case device::TransferReader::Got::TimedOut:
                    return;  // nothing arrived
                case device::TransferReader::Got::Buffer:
                    return deliver_container(self, transfers.bytes(count), std::chrono::steady_clock::now());
                case device::TransferReader::Got::Object:
                    break;
            }
        } catch (nb::python_error& e) {
            end.note(e);
            throw;
        }
        nb::object size = nb::steal(PyLong_FromSsize_t(nb::len(data)));
        py::call(py::attr(self, method::unpack_usb_frame), {data.ptr(), size.ptr()});
    });
}
}  // namespace

void get_data_thread(nb::handle self) {
    device::OutputScope output(self);
    reader(self, mod::WINUSB_IN_EP, "USB receiving thread started", "[Error] In get_data_thread,Usb_rec err, err_code=");
}

void can_rev_thread(nb::handle self) {
    device::OutputScope output(self);
    reader(self, mod::CAN_IN_EP, "thread2 started", "[Error] In can_rev_thread,Usb_rec err, err_code=");
}

}  // namespace fdh::receive
