// Receive filters with python-can's matching rule, worked out by hand from
// ((id ^ can_id) & can_mask) == 0 and the optional identifier-format test.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "frame_filter.hpp"

namespace {
using fdh::FilterRule;

struct Case {
    std::vector<FilterRule> rules;
    std::uint32_t id;
    bool extended;
    bool passes;
};

}  // namespace

TEST(FrameFilter, PythonCanMatchingRule) {
    const FilterRule std_123{0x123, 0x7FF, false};
    const FilterRule any_123{0x123, 0x7FF, std::nullopt};
    const FilterRule ext_only{0, 0, true};
    const std::vector<Case> cases = {
        {{}, 0x7FF, false, true},                       // no filters: everything
        {{any_123}, 0x123, false, true},
        {{any_123}, 0x123, true, true},                 // no format given: both formats
        {{any_123}, 0x124, false, false},
        {{any_123}, 0x1123, true, true},                // bits outside the mask do not count
        {{std_123}, 0x123, true, false},                // format given and different
        {{ext_only}, 0x0, true, true},
        {{ext_only}, 0x0, false, false},
        {{std_123, ext_only}, 0x1ABCDEF, true, true},   // any rule suffices
        {{std_123, ext_only}, 0x124, false, false},
        {{{0x120, 0x7F0, std::nullopt}}, 0x12F, false, true},
        {{{0x120, 0x7F0, std::nullopt}}, 0x130, false, false},
        {{{0x123, 0xFF, true}}, 0x1FFFFF23, true, true},  // python-can's own filtered back-to-back case
        {{{0x80000000, 0x80000000, std::nullopt}}, 0x0, false, false},  // a bit no identifier has: never
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(fdh::FrameFilter(c.rules).passes(c.id, c.extended), c.passes) << "case " << i;
    }
}

TEST(FrameFilter, InvertedRuleMatchesWhatTheMaskedIdentifierIsNot) {
    const fdh::FrameFilter f({{0x123, 0x7FF, std::nullopt, true}});
    EXPECT_FALSE(f.passes(0x123, false));
    EXPECT_TRUE(f.passes(0x124, false));
    const fdh::FrameFilter only_ext({{0x123, 0x7FF, true, true}});
    EXPECT_FALSE(only_ext.passes(0x124, false));  // the format test still applies
}

TEST(SharedFrameFilter, SnapshotsSurviveReplacement) {
    fdh::SharedFrameFilter shared;
    EXPECT_TRUE(shared.get()->passes_all());
    auto before = shared.get();
    std::thread writer([&] {
        for (std::uint32_t i = 0; i < 1000; ++i) shared.set(fdh::FrameFilter({{i, 0x7FF, std::nullopt}}));
    });
    for (int i = 0; i < 1000; ++i) {
        auto snap = shared.get();
        if (!snap->passes_all()) {
            EXPECT_EQ(snap->rules().size(), 1u);
        }
    }
    writer.join();
    EXPECT_TRUE(before->passes_all());
    EXPECT_TRUE(shared.get()->passes(999, false));
}
