#include "core/frame_clock.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace fdh::core {

namespace {
constexpr std::int64_t WRAP = std::int64_t{1} << 32;
// Points closer together than this are thinned to one: a fit does not need every container.
constexpr std::int64_t POINT_SPACING_US = 2'000;

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
    // Every point arrived some delay after its stamp's moment, never before: the mapping is the line
    // under all of them that lies closest to them on average, the edge of their lower convex hull
    // above the mean tick. Delays only lift points off it, so it is found by the quickest arrivals.
    std::vector<std::pair<double, double>> hull;  // (tick from the anchor, arrival)
    double sum_x = 0;
    for (const Point& p : points) {
        const std::pair<double, double> q{static_cast<double>(p.tick - anchor_), static_cast<double>(p.arrival_us)};
        sum_x += q.first;
        while (hull.size() >= 2) {
            const auto& a = hull[hull.size() - 2];
            const auto& b = hull.back();
            // Drop b when it lies on or above the line from a to q (not a lower-hull vertex).
            if ((b.first - a.first) * (q.second - a.second) - (b.second - a.second) * (q.first - a.first) <= 0)
                hull.pop_back();
            else
                break;
        }
        if (hull.empty() || q.first > hull.back().first) hull.push_back(q);
        else if (q.second < hull.back().second) hull.back() = q;  // the same tick: the quicker
    }
    if (hull.size() < 2) return false;
    const double mean_x = sum_x / static_cast<double>(points.size());
    std::size_t k = 0;
    while (k + 2 < hull.size() && hull[k + 1].first < mean_x) ++k;
    const auto& a = hull[k];
    const auto& b = hull[k + 1];
    slope = (b.second - a.second) / (b.first - a.first);
    if (!(slope > 0) || !std::isfinite(slope)) return false;
    const double rate = 1e6 / slope;
    if (!(rate >= s_.min_ticks_per_s && rate <= s_.max_ticks_per_s)) return false;
    offset_at_anchor = a.second - slope * a.first;
    // Every point must lie near the line: further off, the stamps are not a clock.
    for (const Point& p : points) {
        const double delay = static_cast<double>(p.arrival_us) - (offset_at_anchor + slope * static_cast<double>(p.tick - anchor_));
        if (delay > static_cast<double>(s_.max_error_us) || delay < -1.0) return false;
    }
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
        timed_by_arrival_ = true;
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
    // Frames ended before they arrived, and in order; the first frames timed from stamps after
    // arrival times may lie before the last of those (which were late by their whole delay).
    if (timed_by_arrival_) last_time_ = std::numeric_limits<std::int64_t>::min();
    timed_by_arrival_ = false;
    for (std::size_t i = 0; i < n; ++i) {
        auto t = static_cast<std::int64_t>(std::llround(predict(out[i])));
        t = std::clamp(t, last_time_, std::max(arrival_us, last_time_));
        out[i] = last_time_ = t;
    }
    return TimeSource::Learned;
}

}  // namespace fdh::core
