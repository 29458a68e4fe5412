// Waiting on the core without the interpreter lock, in slices between which the interpreter handles
// pending signals: a signal handler's exception (KeyboardInterrupt from Ctrl-C, TimeoutError from a
// handler of signal.alarm) leaves the wait and propagates unchanged, as from any Python wait.
#pragma once
#include <nanobind/nanobind.h>

#include <algorithm>
#include <chrono>

namespace nb = nanobind;

namespace fdh::binding {

inline constexpr double SIGNAL_SLICE_S = 0.1;

// Calls `attempt(slice_s)` with the interpreter lock released until it returns something other than
// `timed_out`, or `timeout_s` has passed (negative: for ever); returns its last result. Raises what
// a signal handler raised between two slices.
template <typename Attempt, typename Result>
Result wait_in_slices(double timeout_s, Result timed_out, Attempt attempt) {
    using clock = std::chrono::steady_clock;
    const bool forever = timeout_s < 0 || timeout_s > 1e9;  // beyond 30 years is for ever
    const auto deadline =
        clock::now() + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(forever ? 0.0 : timeout_s));
    for (;;) {
        double slice = SIGNAL_SLICE_S;
        if (!forever) slice = std::clamp(std::chrono::duration<double>(deadline - clock::now()).count(), 0.0, slice);
        Result got;
        {
            nb::gil_scoped_release unlocked;
            got = attempt(slice);
        }
        if (got != timed_out) return got;
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
        if (!forever && clock::now() >= deadline) return got;
    }
}

}  // namespace fdh::binding
