#include "core/host_clock.hpp"

namespace fdh::core {

std::int64_t epoch_offset_us() {
    static const std::int64_t offset = [] {
        using namespace std::chrono;
        // The steady clock read on both sides of the wall clock: the offset is taken at their middle.
        const auto s0 = steady_clock::now();
        const auto wall = system_clock::now();
        const auto s1 = steady_clock::now();
        const auto steady_mid = s0 + (s1 - s0) / 2;
        return duration_cast<microseconds>(wall.time_since_epoch()).count() -
               duration_cast<microseconds>(steady_mid.time_since_epoch()).count();
    }();
    return offset;
}

}  // namespace fdh::core
