// Receive filters with python-can's matching rule, worked out by hand from
// ((id ^ can_id) & can_mask) == 0, the optional identifier-format test and inverted rules.
#include <gtest/gtest.h>

#include <vector>

#include "frame_filter.hpp"

TEST(FrameFilter, MatchingRule) {
    using fdh::FilterRule;
    const FilterRule std_123{0x123, 0x7FF, false}, any_123{0x123, 0x7FF, std::nullopt}, ext_only{0, 0, true};
    const FilterRule not_123{0x123, 0x7FF, std::nullopt, true}, ext_not_123{0x123, 0x7FF, true, true};
    struct Case {
        std::vector<FilterRule> rules;
        std::uint32_t id;
        bool extended, passes;
    };
    const std::vector<Case> cases = {
        {{}, 0x7FF, false, true},  // no filters: everything
        {{any_123}, 0x123, true, true},  // no format given: both formats
        {{any_123}, 0x124, false, false},
        {{any_123}, 0x1123, true, true},  // bits outside the mask do not count
        {{std_123}, 0x123, true, false},  // format given and different
        {{ext_only}, 0x0, false, false},
        {{std_123, ext_only}, 0x1ABCDEF, true, true},  // any rule suffices
        {{std_123, ext_only}, 0x124, false, false},
        {{{0x120, 0x7F0, std::nullopt}}, 0x12F, false, true},
        {{{0x80000000, 0x80000000, std::nullopt}}, 0x0, false, false},  // a bit no identifier has: never
        {{not_123}, 0x123, false, false},
        {{not_123}, 0x124, false, true},
        {{ext_not_123}, 0x124, false, false},  // inverted, the format test still applies
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(fdh::FrameFilter(c.rules).passes(c.id, c.extended), c.passes) << "case " << i;
    }
}
