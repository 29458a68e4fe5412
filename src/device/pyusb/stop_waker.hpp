// A wake-up for a worker that waits outside the interpreter, sent by setting the object's
// stop_thread.
//
// stop_thread is a threading.Event: set() notifies the waiters its condition keeps by calling
// release() on each. A waker puts an object of its own among those waiters, so Event.set() itself
// wakes a worker blocked in libusb's event handling or in its pause between heartbeats, with
// nothing polled meanwhile. Only a plain threading.Event whose condition keeps its waiters in a
// deque is armed; for anything else arm() says no and the worker keeps to its usual checks.
#pragma once
#include <nanobind/nanobind.h>

#include <chrono>
#include <functional>
#include <memory>

namespace nb = nanobind;

namespace fdh::device {

class StopWaker {
public:
    // `on_fire` runs once per firing, on the thread that set the event (with the interpreter lock
    // and the event's own lock held), so it must be short and must not block.
    explicit StopWaker(std::function<void()> on_fire = {});
    ~StopWaker();  // interpreter lock held: disarms
    StopWaker(const StopWaker&) = delete;
    StopWaker& operator=(const StopWaker&) = delete;

    // Interpreter lock held. Registers with `event`, first withdrawing from any other; fires at once
    // when the event is already set. False when `event` is not a plain threading.Event.
    bool arm(nb::handle event);
    // Interpreter lock held. Registered with `event` and not fired since.
    bool waits_on(nb::handle event) const;
    // Interpreter lock held. Withdraws from the event it was armed with, when still among its waiters.
    void disarm();

    bool fired() const;
    void fire();  // any thread
    // Without the interpreter lock: waits until fired or `timeout` has passed; true when fired.
    bool wait_for(std::chrono::nanoseconds timeout);

private:
    struct State;
    std::shared_ptr<State> state_;  // shared with the entry among the event's waiters
    nb::object event_, entry_;
};

}  // namespace fdh::device
