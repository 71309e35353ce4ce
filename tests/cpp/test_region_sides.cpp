// Which side a region's classes put the objects on, on grids worked by hand.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "pipeline/region_sides.h"

namespace zentrel {
namespace {

TEST(RegionSides, MostOfTheWindowOnOneSideOfTheMidpointGivesTheSide) {
    // A 3 x 4 grid of medians 100, its last column 20; reach 1, share 3/4
    // (6.75 of 9). The region at (1, 1) sees 9 medians: columns 0-2, all
    // 100. Means (dark 40, bright 160), midpoint 100: every median at it,
    // no side. Means (40, 120), midpoint 80: all 9 above, nearer the bright
    // class: dark objects. Means (120, 40): the same medians now lie nearer
    // the class given as dark.
    // At (1, 3) the window repeats the edge column: columns 2, 3, 3, so 3 of
    // 9 are 100 and 6 are 20; means (10, 60), midpoint 35: 6 below, under
    // 6.75, no side; share 2/3 (6 of 9): nearer the dark class, bright objects.
    std::vector<float> medians(12, 100.0f);
    for (int r = 0; r < 3; ++r) medians[r * 4 + 3] = 20.0f;
    const std::int32_t row[] = {1, 1, 1, 1}, col[] = {1, 1, 1, 3};
    const double means[] = {40, 160, 40, 120, 120, 40, 10, 60};
    std::vector<std::int8_t> sides(4, 9);
    SideRule rule;
    rule.reach = 1;
    region_sides(medians.data(), 3, 4, 1, rule, row, col, means, 4, sides.data());
    EXPECT_EQ(std::vector<int>(sides.begin(), sides.end()), (std::vector<int>{0, 1, -1, 0}));
    rule.share = 2.0 / 3.0;
    region_sides(medians.data(), 3, 4, 1, rule, row, col, means, 4, sides.data());
    EXPECT_EQ(sides[3], -1);
}

TEST(RegionSides, LevelsReadThroughAStep) {
    // The same 1 x 2 grid laid out every other float: region 0 sees 100 and
    // 20 (reach 1, past the edge repeating): with means (10, 60) the window
    // holds 100, 100, 20 in each of 3 rows: 6 above of 9.
    const std::vector<float> medians{100.0f, -1.0f, 20.0f, -1.0f};
    const std::int32_t row = 0, col = 0;
    const double means[] = {10, 60};
    std::int8_t side = 9;
    SideRule rule;
    rule.reach = 1;
    rule.share = 2.0 / 3.0;
    region_sides(medians.data(), 1, 2, 2, rule, &row, &col, means, 1, &side);
    EXPECT_EQ(side, 1);
}

}  // namespace
}  // namespace zentrel
