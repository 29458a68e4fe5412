// The reader workers: transfer after transfer from an IN endpoint, each container delivered as it
// comes. On the direct path the transfers are kept queued (device/pyusb/queued_reads.hpp);
// otherwise the reader asks for one read after another.
#include "device/names.hpp"
#include "device/pyusb/fast_path.hpp"
#include "device/pyusb/queued_reads.hpp"
#include "python/interpreter.hpp"
#include "python/printing.hpp"
#include "receive/container_delivery.hpp"
#include "receive/receive.hpp"

namespace fdh::receive {

namespace {
void reader(nb::handle self, const char* endpoint, const char* started, const char* error_prefix) {
    py::print(started);
    device::TransferReader transfers;
    const device::DeliverContainer deliver = [self](std::span<const std::uint8_t> container, ReceivedAt received) {
        deliver_container(self, container, received);
    };
    device::run_worker(self, error_prefix, [&](nb::handle dev) {
        if (device::read_queued(self, dev, endpoint, deliver) == device::QueuedRead::Ended) return;
        nb::object data;
        std::size_t count = 0;
        switch (transfers.read(dev, py::global(endpoint), py::global(mod::RX_LENGTH), data, count)) {
            case device::TransferReader::Got::TimedOut:
                return;  // nothing arrived
            case device::TransferReader::Got::Buffer:
                return deliver_container(self, transfers.bytes(count), std::chrono::system_clock::now());
            case device::TransferReader::Got::Object:
                break;
        }
        nb::object size = nb::steal(PyLong_FromSsize_t(nb::len(data)));
        py::call(py::attr(self, method::unpack_usb_frame), {data.ptr(), size.ptr()});
    });
}
}  // namespace

void get_data_thread(nb::handle self) {
    reader(self, mod::WINUSB_IN_EP, "USB receiving thread started", "[Error] In get_data_thread,Usb_rec err, err_code=");
}

void can_rev_thread(nb::handle self) {
    reader(self, mod::CAN_IN_EP, "thread2 started", "[Error] In can_rev_thread,Usb_rec err, err_code=");
}

}  // namespace fdh::receive
