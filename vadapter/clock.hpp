// The model's time line: picoseconds on the steady clock, so bit times at any prescaler stay exact.
#pragma once
#include <chrono>
#include <cstdint>
#include <limits>

namespace vad {

using Ps = std::int64_t;  // picoseconds since the library's epoch
inline constexpr Ps PS_PER_US = 1'000'000;
inline constexpr Ps PS_PER_MS = 1'000'000'000;
inline constexpr Ps NEVER = std::numeric_limits<Ps>::max();

Ps now_ps() noexcept;
std::chrono::steady_clock::time_point to_time_point(Ps t) noexcept;
// CLOCK_MONOTONIC microseconds of a model time (steady_clock is CLOCK_MONOTONIC on Linux).
std::uint64_t monotonic_us(Ps t) noexcept;
std::uint64_t monotonic_now_us() noexcept;
// CLOCK_MONOTONIC nanoseconds of model time 0; every process has its own.
std::int64_t epoch_monotonic_ns() noexcept;

}  // namespace vad
