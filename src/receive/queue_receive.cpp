// The receiving side of the queue an object opened with `receive_queue` fills: taking frames,
// replacing the filter, the drop count and the descriptor an event loop watches.
#include <cerrno>
#include <chrono>

#include "device/object_state.hpp"
#include "python/interpreter.hpp"
#include "python/numbers.hpp"
#include "receive/queue_delivery.hpp"
#include "receive/receive.hpp"

namespace fdh::receive {

namespace {
// A wait without the interpreter lock is cut into slices this long, between which pending signals
// are handled: Ctrl-C raises KeyboardInterrupt from a recv that waits for ever, as from any Python wait.
constexpr double SIGNAL_SLICE_S = 0.1;

QueueDelivery& queue_of(nb::handle self) {
    QueueDelivery* q = device::receive_queue(self);
    if (!q) throw nb::type_error("this fdhost object delivers frames to its callback: open it with receive_queue > 0");
    return *q;
}

nb::object message_tuple(const CanMessage& m) {
    auto flag = [](bool b) { return nb::borrow(b ? Py_True : Py_False); };
    nb::object data = nb::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(m.data.data()),
                                                          m.remote ? 0 : static_cast<Py_ssize_t>(m.len)));
    if (!data.is_valid()) throw nb::python_error();
    return nb::make_tuple(nb::float_(static_cast<double>(m.timestamp_us) / 1e6), nb::int_(m.id), flag(m.extended),
                          flag(m.remote), flag(m.fd), flag(m.brs), flag(m.esi), flag(!m.echo), nb::int_(m.len), data);
}

[[noreturn]] void raise_ended(const QueueDelivery& q) {
    std::string reason = q.end_reason();
    nb::object error = nb::handle(PyExc_OSError)(ENODEV, nb::str(reason.empty() ? "no more frames" : reason.c_str()));
    PyErr_SetObject(PyExc_OSError, error.ptr());
    throw nb::python_error();
}

// Waits for a frame without the interpreter lock, in slices between which pending signals are
// handled (their exception propagates; elsewhere than on the main thread there are none).
RxQueue::Pop wait_for_frame(RxQueue& queue, CanMessage& out, double timeout_s) {
    using clock = std::chrono::steady_clock;
    const bool forever = timeout_s < 0 || timeout_s > 1e9;
    const auto deadline = clock::now() + std::chrono::duration_cast<clock::duration>(
                                             std::chrono::duration<double>(forever ? 0.0 : timeout_s));
    while (true) {
        double slice = SIGNAL_SLICE_S;
        if (!forever) slice = std::min(slice, std::chrono::duration<double>(deadline - clock::now()).count());
        RxQueue::Pop got;
        {
            nb::gil_scoped_release unlocked;
            got = queue.pop(out, std::max(slice, 0.0));
        }
        if (got != RxQueue::Pop::Timeout) return got;
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
        if (!forever && clock::now() >= deadline) return got;
    }
}
}  // namespace

nb::object recv_message(nb::handle self, double timeout_s) {
    QueueDelivery& q = queue_of(self);
    CanMessage m;
    // A frame already waiting is taken without giving up the interpreter lock.
    RxQueue::Pop got = q.queue().pop(m, 0);
    if (got == RxQueue::Pop::Timeout && timeout_s != 0) got = wait_for_frame(q.queue(), m, timeout_s);
    switch (got) {
        case RxQueue::Pop::Frame:
            return message_tuple(m);
        case RxQueue::Pop::Timeout:
            return nb::none();
        case RxQueue::Pop::Closed:
            break;
    }
    raise_ended(q);
}

void set_receive_filters(nb::handle self, nb::handle rules) {
    QueueDelivery& q = queue_of(self);
    std::vector<FilterRule> out;
    if (!rules.is_none()) {
        for (nb::handle rule : rules) {
            nb::tuple t = nb::tuple(nb::borrow(rule));
            if (nb::len(t) != 4) throw nb::value_error("a filter rule is (can_id, can_mask, extended, invert)");
            FilterRule r;
            r.can_id = static_cast<std::uint32_t>(py::unsigned_in_range(py::index_value(t[0]), 0xFFFFFFFF));
            r.can_mask = static_cast<std::uint32_t>(py::unsigned_in_range(py::index_value(t[1]), 0xFFFFFFFF));
            if (!t[2].is_none()) r.extended = py::truthy(t[2]);
            r.invert = py::truthy(t[3]);
            out.push_back(r);
        }
    }
    q.set_filter(FrameFilter(std::move(out)));
}

std::uint64_t receive_dropped(nb::handle self) { return queue_of(self).queue().dropped(); }

int receive_fileno(nb::handle self) { return queue_of(self).queue().wake_fd(); }

}  // namespace fdh::receive
