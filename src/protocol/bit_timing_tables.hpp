// The adapter's bit-timing tables: rows of prescaler, segment 1, segment 2 on its 80 MHz clock, for
// the nominal (arbitration) phase and the CAN FD data phase. A rate is looked up as the first row
// giving it exactly: 80 MHz / prescaler / (1 + segment 1 + segment 2).
#pragma once
#include <array>

namespace fdh {

using TimingRow = std::array<int, 3>;

inline constexpr std::array<TimingRow, 6> NOMINAL_TIMING_TABLE = {{
    {2, 29, 10}, {2, 69, 10}, {4, 69, 10}, {8, 43, 6}, {8, 69, 10}, {8, 87, 12},
}};

inline constexpr std::array<TimingRow, 10> DATA_TIMING_TABLE = {{
    {1, 13, 2}, {2, 6, 3}, {2, 9, 6}, {2, 14, 5}, {2, 29, 10},
    {8, 15, 4}, {16, 16, 3}, {16, 21, 3}, {20, 27, 4}, {25, 27, 4},
}};

}  // namespace fdh
