// The time of each received frame on the host's steady clock, from the time stamp in its header.
//
// - The virtual adapter stamps each frame's end on the bus with the low 32 bits of CLOCK_MONOTONIC
//   in microseconds: a known unit on the host's own clock, so a frame's time is its stamp, extended
//   to 64 bits as the most recent moment before its arrival with those low bits (BusClock).
// - An adapter whose stamps have an unknown unit: the tick rate and offset are learned from the
//   stream, by fitting header stamps against arrival times (Learned). The fit follows the lower
//   edge of the arrival times (a frame arrives after it ended, never before; the quickest arrivals
//   show the offset), and the rate is refitted as the stream goes on, so a drifting adapter clock is
//   followed. Until the fit holds, and whenever the stamps stop behaving (running backwards,
//   jumping, far from the arrival times), a frame gets its container's arrival time (Arrival).
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>

namespace fdh::core {

enum class TimeSource : std::uint8_t {
    Arrival,   // the host's reception time of the frame's container: the stamps are not (yet) usable
    BusClock,  // the frame's own stamp, in the known unit of the bus clock
    Learned,   // the frame's own stamp, through the rate and offset learned from the stream
};

const char* to_string(TimeSource source) noexcept;

// The bus clock of the virtual adapter: microseconds of the host's steady clock, low 32 bits.
// The stamp extended to the latest steady time at or before `arrival_us` (+/- half the 32-bit range).
constexpr std::int64_t steady_of_stamp_us(std::uint32_t stamp, std::int64_t arrival_us) noexcept {
    const auto behind = static_cast<std::int32_t>(static_cast<std::uint32_t>(arrival_us) - stamp);
    return arrival_us - behind;
}

// Learns the mapping of an adapter's stamps of unknown unit to the steady clock. One container at a
// time: give it the stamps of its frames in order and the container's arrival time.
class LearnedClock {
public:
    struct Settings {
        std::int64_t learn_us = 1'000'000;       // stamps watched at least this long before a fit is used
        std::size_t learn_points = 16;           // and at least this many containers
        double min_ticks_per_s = 1e3;            // accepted tick rates
        double max_ticks_per_s = 1e10;
        std::int64_t max_error_us = 20'000;      // a stamp mapped this far off its arrival does not behave
        int bad_limit = 3;                       // consecutive misbehaving containers before falling back
        std::int64_t refit_us = 2'000'000;       // how often the rate is refitted
        std::int64_t window_us = 60'000'000;     // how far back the refit looks
        double rise_per_us = 50e-6;              // how fast the lower edge may rise (50 ppm): drift, and
                                                 // recovery from an unusually quick arrival
    };

    LearnedClock() : LearnedClock(Settings{}) {}
    explicit LearnedClock(const Settings& s) : s_(s) {}

    // Fills out[i] with the steady time of frame i; returns how the times were obtained.
    TimeSource map(std::span<const std::uint32_t> stamps, std::int64_t arrival_us, std::span<std::int64_t> out);

    // The learned tick rate (ticks per second), 0 while none holds.
    double ticks_per_s() const noexcept { return fitted_ ? 1e6 / us_per_tick_ : 0.0; }
    bool fitted() const noexcept { return fitted_; }

private:
    struct Point {
        std::int64_t tick;   // unwrapped
        std::int64_t arrival_us;
    };

    std::int64_t unwrap(std::uint32_t stamp, std::int64_t arrival_us, bool& backwards);
    double predict(std::int64_t tick) const { return offset_us_ + us_per_tick_ * static_cast<double>(tick - anchor_); }
    bool fit(const std::deque<Point>& points, double& slope, double& intercept_at_anchor) const;
    void start_over();
    void refit(std::int64_t now_us);

    Settings s_;
    bool have_tick_ = false;
    std::uint32_t last_raw_ = 0;
    std::int64_t last_tick_ = 0;

    std::deque<Point> points_;     // one per container: its last frame (the least delayed)
    bool fitted_ = false;
    double us_per_tick_ = 0;
    std::int64_t anchor_ = 0;      // the tick the offset refers to (keeps the doubles small)
    double offset_us_ = 0;         // steady time of the anchor tick: the lower edge of the arrivals
    std::int64_t last_arrival_us_ = 0;
    std::int64_t last_refit_us_ = 0;
    std::int64_t last_time_ = 0;     // the last time given out: times of one source never run backwards
    bool timed_by_arrival_ = true;   // the last container was given its arrival time
    int bad_ = 0;
};

}  // namespace fdh::core
