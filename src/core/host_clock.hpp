// The host's clocks as the core uses them: the steady clock (CLOCK_MONOTONIC on Linux, the clock
// the virtual adapter stamps frames with) in microseconds, and epoch microseconds derived from it.
#pragma once
#include <chrono>
#include <cstdint>

namespace fdh::core {

inline std::int64_t steady_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Epoch microseconds minus steady microseconds, read once per process: every time stamp of the
// process maps through the same offset, so frames stamped by one bus clock keep their spacing
// exactly and two receivers in one process agree to the microsecond; later adjustments of the wall
// clock do not make received times jump.
std::int64_t epoch_offset_us();

inline std::int64_t epoch_us_of_steady(std::int64_t steady) { return steady + epoch_offset_us(); }

}  // namespace fdh::core
