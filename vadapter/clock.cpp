#include "clock.hpp"

namespace vad {
namespace {

using std::chrono::steady_clock;

steady_clock::time_point epoch() noexcept {
    static const steady_clock::time_point e = steady_clock::now();
    return e;
}

}  // namespace

Ps now_ps() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(steady_clock::now() - epoch()).count() * 1000;
}

steady_clock::time_point to_time_point(Ps t) noexcept {
    // Far futures are clipped so the conversion cannot overflow the clock's representation.
    constexpr Ps limit = Ps{1} << 60;
    if (t > limit) t = limit;
    return epoch() + std::chrono::nanoseconds(t / 1000);
}

std::int64_t epoch_monotonic_ns() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(epoch().time_since_epoch()).count();
}

std::uint64_t monotonic_us(Ps t) noexcept {
    return static_cast<std::uint64_t>(epoch_monotonic_ns() + t / 1000) / 1000;
}

std::uint64_t monotonic_now_us() noexcept {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace vad
