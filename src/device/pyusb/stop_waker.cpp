#include "device/pyusb/stop_waker.hpp"

#include <condition_variable>
#include <mutex>

#include "device/names.hpp"
#include "python/interpreter.hpp"

namespace fdh::device {

struct StopWaker::State {
    std::mutex mu;
    std::condition_variable cv;
    bool fired = false;
    std::function<void()> on_fire;  // cleared when the waker goes: the entry may outlive it

    void fire() {
        std::function<void()> call;
        {
            std::lock_guard lk(mu);
            if (fired) return;
            fired = true;
            call = on_fire;
        }
        cv.notify_all();
        if (call) call();
    }
};

namespace {
// The event's condition and the deque of its waiters, when it is a plain threading.Event.
bool event_parts(nb::handle event, nb::object& cond, nb::object& waiters) {
    nb::object cls = py::optional_attr(py::global(mod::threading), "Event");
    if (!cls.is_valid() || !event.type().is(cls)) return false;
    cond = py::optional_attr(event, "_cond");
    waiters = cond.is_valid() ? py::optional_attr(cond, "_waiters") : nb::object();
    if (!waiters.is_valid()) return false;
    nb::object deque = nb::module_::import_("collections").attr("deque");
    return waiters.type().is(deque);
}

// Holds the condition's lock (the lock's acquire waits without the interpreter lock).
class CondHold {
public:
    explicit CondHold(nb::handle cond) : cond_(cond) { py::call_method(cond_, "acquire"); }
    ~CondHold() {
        PyObject* r = PyObject_CallMethodNoArgs(cond_.ptr(), py::interned("release").ptr());
        if (r)
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(cond_.ptr());
    }
    CondHold(const CondHold&) = delete;
    CondHold& operator=(const CondHold&) = delete;

private:
    nb::handle cond_;
};
}  // namespace

StopWaker::StopWaker(std::function<void()> on_fire) : state_(std::make_shared<State>()) {
    state_->on_fire = std::move(on_fire);
}

StopWaker::~StopWaker() {
    {
        std::lock_guard lk(state_->mu);
        state_->on_fire = nullptr;
    }
    try {
        disarm();
    } catch (nb::python_error& e) {
        e.discard_as_unraisable(__func__);
    }
}

bool StopWaker::arm(nb::handle event) {
    disarm();
    nb::object cond, waiters;
    if (!event_parts(event, cond, waiters)) return false;
    if (!entry_.is_valid()) {
        // Condition.notify calls release() on each waiter, then removes it from the deque.
        nb::object release = nb::cpp_function([state = state_]() { state->fire(); });
        entry_ = nb::module_::import_("types").attr("SimpleNamespace")(nb::arg("release") = release);
    }
    {
        std::lock_guard lk(state_->mu);
        state_->fired = false;
    }
    bool set;
    {
        CondHold hold(cond);
        set = py::truthy(py::call_method(event, "is_set"));
        if (!set) waiters.attr("append")(entry_);
    }
    event_ = nb::borrow(event);
    if (set) fire();
    return true;
}

bool StopWaker::waits_on(nb::handle event) const { return event_.is_valid() && event_.is(event) && !fired(); }

void StopWaker::disarm() {
    if (!event_.is_valid()) return;
    nb::object event = std::move(event_);
    nb::object cond, waiters;
    if (fired() || !event_parts(event, cond, waiters)) return;  // a firing takes the entry out itself
    CondHold hold(cond);
    PyObject* r = PyObject_CallMethodOneArg(waiters.ptr(), py::interned("remove").ptr(), entry_.ptr());
    if (r)
        Py_DECREF(r);
    else
        PyErr_Clear();  // not there any more
}

bool StopWaker::fired() const {
    std::lock_guard lk(state_->mu);
    return state_->fired;
}

void StopWaker::fire() { state_->fire(); }

bool StopWaker::wait_for(std::chrono::nanoseconds timeout) {
    std::unique_lock lk(state_->mu);
    return state_->cv.wait_for(lk, timeout, [&] { return state_->fired; });
}

}  // namespace fdh::device
