// Frame times from header stamps: the virtual adapter's bus clock (a known unit, wrapping at 32 bits)
// and the rate and offset learned from a stream of unknown unit, fed with synthetic streams.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "core/frame_clock.hpp"

namespace {
using fdh::core::LearnedClock;
using fdh::core::steady_of_stamp_us;
using fdh::core::TimeSource;

TEST(BusClock, StampsExtendToTheLatestMomentBeforeArrivalAcrossTheWrap) {
    const std::int64_t arrival = (std::int64_t{7} << 32) + 100;  // just after a wrap of the low 32 bits
    EXPECT_EQ(steady_of_stamp_us(50, arrival), arrival - 50);
    EXPECT_EQ(steady_of_stamp_us(0xFFFFFF00u, arrival), (std::int64_t{7} << 32) - 0x100);  // before the wrap
    EXPECT_EQ(steady_of_stamp_us(static_cast<std::uint32_t>(arrival + 3), arrival), arrival + 3);  // a clock read early
}

// An adapter clock: `ticks_per_s` with a drift, the 32-bit stamp starting at `start`; frames every
// `gap_us`, handed over in containers of `per_container` that arrive `delay` after the last ends.
struct Stream {
    double ticks_per_s;
    double drift_ppm = 0;
    std::uint64_t start = 0;
    std::int64_t gap_us = 100;
    std::size_t per_container = 5;
    std::int64_t delay_min_us = 80, delay_max_us = 900;
};

struct Outcome {
    // Over the frames timed from their stamps, after `settle_s`, against their end plus the quickest
    // hand-over there is: that part of the delay no stream can tell from the clock's offset.
    double worst_error_us = 0;
    std::size_t learned = 0, arrival = 0;
};

Outcome run(LearnedClock& clock, const Stream& s, double seconds, double settle_s = 0,
            std::uint32_t (*spoil)(std::uint32_t, std::size_t) = nullptr, std::int64_t t0 = 1'000'000'000) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<std::int64_t> delay(s.delay_min_us, s.delay_max_us);
    Outcome o;
    const auto frames = static_cast<std::size_t>(seconds * 1e6 / static_cast<double>(s.gap_us));
    std::vector<std::uint32_t> stamps;
    std::vector<std::int64_t> truth, out;
    std::int64_t last_arrival = 0;
    for (std::size_t f = 0; f < frames;) {
        stamps.clear();
        truth.clear();
        for (std::size_t i = 0; i < s.per_container && f < frames; ++i, ++f) {
            const double t_s = static_cast<double>(f * s.gap_us) / 1e6;
            const double ticks = t_s * s.ticks_per_s * (1 + s.drift_ppm * 1e-6);
            auto stamp = static_cast<std::uint32_t>(s.start + static_cast<std::uint64_t>(ticks));
            if (spoil) stamp = spoil(stamp, f);
            stamps.push_back(stamp);
            truth.push_back(t0 + static_cast<std::int64_t>(f) * s.gap_us);
        }
        // Transfers complete in order: a container never arrives before the one before it.
        const std::int64_t arrival = last_arrival = std::max(last_arrival, truth.back() + delay(rng));
        out.assign(stamps.size(), 0);
        const TimeSource src = clock.map(stamps, arrival, out);
        (src == TimeSource::Learned ? o.learned : o.arrival) += stamps.size();
        for (std::size_t i = 0; i < out.size(); ++i) {
            EXPECT_LE(out[i], arrival);  // never after it arrived
            if (src == TimeSource::Learned && static_cast<double>(truth[i] - t0) / 1e6 >= settle_s)
                o.worst_error_us =
                    std::max(o.worst_error_us, std::abs(static_cast<double>(out[i] - truth[i] - s.delay_min_us)));
        }
    }
    return o;
}

TEST(LearnedClock, MicrosecondTicksAcrossTheWrapLandWithin50us) {
    LearnedClock clock;
    const Outcome o = run(clock, {1e6, 0, 0xFFFFFFFFull - 3'000'000}, 8.0);  // wraps after 3 s
    EXPECT_GT(o.learned, o.arrival);
    EXPECT_LT(o.worst_error_us, 50.0);
    EXPECT_NEAR(clock.ticks_per_s(), 1e6, 50);
}

TEST(LearnedClock, AnUnusualRateWithDriftIsFollowed) {
    for (const Stream s : {Stream{40e6, 150}, Stream{1e5, -80}, Stream{32768, 30, 123456, 1000, 2}}) {
        LearnedClock clock;
        const Outcome o = run(clock, s, 12.0, /*settle_s=*/2.0);
        EXPECT_LT(o.worst_error_us, 50.0 + 1e6 / s.ticks_per_s) << s.ticks_per_s;
        EXPECT_NEAR(clock.ticks_per_s() / (s.ticks_per_s * (1 + s.drift_ppm * 1e-6)), 1.0, 20e-6) << s.ticks_per_s;
    }
}

TEST(LearnedClock, StampsThatDoNotBehaveFallBackToArrival) {
    auto constant = [](std::uint32_t, std::size_t) -> std::uint32_t { return 0; };
    auto random = [](std::uint32_t, std::size_t f) -> std::uint32_t {
        return static_cast<std::uint32_t>(f * 2654435761u);
    };
    for (auto spoil : {+constant, +random}) {
        LearnedClock clock;
        const Outcome o = run(clock, {1e6}, 4.0, 0, spoil);
        EXPECT_EQ(o.learned, 0u);
        EXPECT_FALSE(clock.fitted());
    }
}

TEST(LearnedClock, AClockThatJumpsIsLeftAndLearnedAgain) {
    LearnedClock clock;
    // 3 s good, then the stamps jump back by a second and carry on from there.
    auto jump = [](std::uint32_t stamp, std::size_t f) -> std::uint32_t { return f < 30000 ? stamp : stamp - 1'000'000; };
    const Outcome o = run(clock, {1e6}, 8.0, 0, jump);
    EXPECT_GT(o.arrival, 10000u);  // the first second, and a second or so after the jump
    EXPECT_TRUE(clock.fitted());   // learned again
    EXPECT_LT(o.worst_error_us, 50.0);
}

}  // namespace
