#include "core/frame_clock.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace fdh::core {

namespace {
constexpr std::int64_t WRAP = std::int64_t{1} << 32;
// Points closer together than this are thinned to one: a fit does not need every container.
constexpr std::int64_t POINT_SPACING_US = 5'000;
// The refit looks at the quickest arrival in each slice of this length.
constexpr std::int64_t REFIT_SLICE_US = 100'000;

// Least squares of arrival time over tick, ticks taken relative to `anchor`.
bool least_squares(const std::vector<std::pair<double, double>>& xy, double& slope, double& intercept) {
    const double n = static_cast<double>(xy.size());
    if (xy.size() < 2) return false;
    double sx = 0, sy = 0;
    for (const auto& [x, y] : xy) {
        sx += x;
        sy += y;
    }
    const double mx = sx / n, my = sy / n;
    double sxx = 0, sxy = 0;
    for (const auto& [x, y] : xy) {
        sxx += (x - mx) * (x - mx);
        sxy += (x - mx) * (y - my);
    }
    if (!(sxx > 0)) return false;
    slope = sxy / sxx;
    intercept = my - slope * mx;
    return std::isfinite(slope) && std::isfinite(intercept);
}
}  // namespace

const char* to_string(TimeSource source) noexcept {
    switch (source) {
        case TimeSource::Arrival: return "arrival";
        case TimeSource::BusClock: return "bus clock";
        case TimeSource::Learned: return "learned";
    }
    return "arrival";
}

std::int64_t LearnedClock::unwrap(std::uint32_t raw, std::int64_t arrival_us, bool& backwards) {
    if (!have_tick_) {
        have_tick_ = true;
        last_raw_ = raw;
        last_tick_ = raw;
        return last_tick_;
    }
    const std::uint32_t ahead = raw - last_raw_;
    std::int64_t tick = last_tick_ + ahead;
    if (fitted_) {
        // The arrival times tell roughly how many ticks passed: enough to count whole wraps of the
        // 32-bit stamp across a long silence, and to tell a step back from a step forward.
        const double expected = static_cast<double>(arrival_us - last_arrival_us_) / us_per_tick_;
        if (expected > static_cast<double>(WRAP / 2))
            tick += std::llround((expected - ahead) / static_cast<double>(WRAP)) * WRAP;
        else if (ahead >= 0x80000000u && expected < static_cast<double>(WRAP / 4))
            tick -= WRAP;
    } else if (ahead >= 0x80000000u) {
        tick -= WRAP;
    }
    if (tick < last_tick_) backwards = true;
    last_raw_ = raw;
    last_tick_ = tick;
    return tick;
}

bool LearnedClock::fit(const std::deque<Point>& points, double& slope, double& offset_at_anchor) const {
    if (points.size() < 2) return false;
    std::vector<std::pair<double, double>> xy;
    xy.reserve(points.size());
    for (const Point& p : points)
        xy.emplace_back(static_cast<double>(p.tick - anchor_), static_cast<double>(p.arrival_us));
    double intercept = 0;
    if (!least_squares(xy, slope, intercept) || !(slope > 0)) return false;
    // Then through the quickest arrival of each slice: the delays of the others only blur the fit.
    std::vector<std::pair<double, double>> edge;
    std::int64_t slice_start = points.front().arrival_us;
    const Point* best = nullptr;
    double best_delay = 0;
    auto close_slice = [&] {
        if (best) edge.emplace_back(static_cast<double>(best->tick - anchor_), static_cast<double>(best->arrival_us));
        best = nullptr;
    };
    for (const Point& p : points) {
        if (p.arrival_us - slice_start >= REFIT_SLICE_US) {
            close_slice();
            slice_start = p.arrival_us;
        }
        const double delay = static_cast<double>(p.arrival_us) - (intercept + slope * static_cast<double>(p.tick - anchor_));
        if (!best || delay < best_delay) {
            best = &p;
            best_delay = delay;
        }
    }
    close_slice();
    if (edge.size() >= 4) {
        double s2 = 0, i2 = 0;
        if (least_squares(edge, s2, i2) && s2 > 0) slope = s2;
    }
    const double rate = 1e6 / slope;
    if (!(rate >= s_.min_ticks_per_s && rate <= s_.max_ticks_per_s)) return false;
    // The lower edge: no point may arrive before its stamp's time, and every point must lie near it.
    double low = 0, high = 0;
    bool first = true;
    for (const Point& p : points) {
        const double c = static_cast<double>(p.arrival_us) - slope * static_cast<double>(p.tick - anchor_);
        low = first ? c : std::min(low, c);
        high = first ? c : std::max(high, c);
        first = false;
    }
    if (high - low > static_cast<double>(s_.max_error_us)) return false;
    offset_at_anchor = low;
    return true;
}

void LearnedClock::start_over() {
    points_.clear();
    fitted_ = false;
    bad_ = 0;
}

void LearnedClock::refit(std::int64_t now_us) {
    last_refit_us_ = now_us;
    double slope = 0, offset = 0;
    if (!fit(points_, slope, offset)) return;  // keep the rate that holds
    // Continuous at the latest tick: the new rate takes over from where the old one has got to.
    const double at_last = predict(last_tick_);
    us_per_tick_ = slope;
    offset_us_ = at_last - slope * static_cast<double>(last_tick_ - anchor_);
}

TimeSource LearnedClock::map(std::span<const std::uint32_t> stamps, std::int64_t arrival_us, std::span<std::int64_t> out) {
    const std::size_t n = std::min(stamps.size(), out.size());
    auto arrival_times = [&] {
        for (std::size_t i = 0; i < n; ++i) out[i] = std::max(arrival_us, last_time_);
        if (n) last_time_ = out[n - 1];
        return TimeSource::Arrival;
    };
    if (n == 0) return fitted_ ? TimeSource::Learned : TimeSource::Arrival;

    bool misbehaved = false;
    for (std::size_t i = 0; i < n; ++i) out[i] = unwrap(stamps[i], arrival_us, misbehaved);
    const std::int64_t last = out[n - 1];
    if (fitted_ && !misbehaved) {
        const double delay = static_cast<double>(arrival_us) - predict(last);
        misbehaved = std::abs(delay) > static_cast<double>(s_.max_error_us);
    }
    if (misbehaved) {
        if (!fitted_ || ++bad_ >= s_.bad_limit) start_over();
        last_arrival_us_ = arrival_us;
        return arrival_times();
    }
    bad_ = 0;

    if (points_.empty() || arrival_us - points_.back().arrival_us >= POINT_SPACING_US) points_.push_back({last, arrival_us});
    while (points_.size() > 2 && arrival_us - points_.front().arrival_us > s_.window_us) points_.pop_front();

    if (!fitted_) {
        last_arrival_us_ = arrival_us;
        if (arrival_us - points_.front().arrival_us < s_.learn_us || points_.size() < s_.learn_points)
            return arrival_times();
        anchor_ = points_.front().tick;
        double slope = 0, offset = 0;
        if (!fit(points_, slope, offset)) {
            // Not a clock this fit can follow (yet): learn again from the newer half.
            points_.erase(points_.begin(), points_.begin() + static_cast<std::ptrdiff_t>(points_.size() / 2));
            return arrival_times();
        }
        fitted_ = true;
        us_per_tick_ = slope;
        offset_us_ = offset;
        last_refit_us_ = arrival_us;
    } else {
        // Follow the lower edge: down at once to a quicker arrival, up only slowly.
        const double c = static_cast<double>(arrival_us) - us_per_tick_ * static_cast<double>(last - anchor_);
        const double rise = s_.rise_per_us * static_cast<double>(arrival_us - last_arrival_us_);
        offset_us_ = std::min(offset_us_ + rise, c);
        last_arrival_us_ = arrival_us;
        if (arrival_us - last_refit_us_ >= s_.refit_us) refit(arrival_us);
    }
    for (std::size_t i = 0; i < n; ++i) {
        auto t = static_cast<std::int64_t>(std::llround(predict(out[i])));
        t = std::clamp(t, last_time_, std::max(arrival_us, last_time_));  // ended before it arrived, in order
        out[i] = last_time_ = t;
    }
    return TimeSource::Learned;
}

}  // namespace fdh::core
