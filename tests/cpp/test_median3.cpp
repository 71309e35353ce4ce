// Each pixel's 3x3 median along a row, against a hand-worked row and the
// median of the nine levels sorted.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "pipeline/median3.h"

namespace zentrel {
namespace {

using Row = std::vector<std::uint8_t>;

Row medians(const Row& above, const Row& middle, const Row& below, int origin, int lo, int hi, int first, int last) {
    Row out(static_cast<std::size_t>(last - first)), scratch(3 * out.size() + 6);
    median3_row(above.data(), middle.data(), below.data(), origin, lo, hi, first, last, scratch.data(), out.data());
    return out;
}

TEST(Median3, LonePixelsGoAndEdgesRepeat) {
    // A lone bright pixel (column 1) and a lone dark one (column 5) go; a
    // line two pixels wide (columns 2, 3) stays. Column 0 repeats itself to
    // its left: its nine are 0 but for the 200 -> 0.
    const Row above{0, 0, 9, 9, 5, 5, 5};
    const Row middle{0, 200, 9, 9, 5, 0, 5};
    const Row below{0, 0, 9, 9, 5, 5, 5};
    EXPECT_EQ(medians(above, middle, below, 0, 0, 6, 0, 7), (Row{0, 0, 9, 9, 5, 5, 5}));
}

TEST(Median3, EqualsTheMiddleOfTheNineSorted) {
    std::mt19937 random(7);
    for (int width : {1, 2, 3, 5, 17, 64}) {
        for (int trial = 0; trial < 20; ++trial) {
            Row rows[3];
            for (Row& r : rows) {
                r.resize(static_cast<std::size_t>(width));
                for (auto& v : r) v = static_cast<std::uint8_t>(random() % (trial % 2 ? 4 : 256));
            }
            // Columns 10 .. 10 + width - 1 of the image; decide a sub-run.
            const int origin = 10, lo = 10, hi = 10 + width - 1;
            const int first = lo + static_cast<int>(random() % width);
            const int last = first + 1 + static_cast<int>(random() % (hi - first + 1));
            const Row got = medians(rows[0], rows[1], rows[2], origin, lo, hi, first, last);
            for (int c = first; c < last; ++c) {
                std::vector<std::uint8_t> nine;
                for (const Row& r : rows) {
                    for (int d = -1; d <= 1; ++d) nine.push_back(r[std::clamp(c + d, lo, hi) - origin]);
                }
                std::nth_element(nine.begin(), nine.begin() + 4, nine.end());
                ASSERT_EQ(got[static_cast<std::size_t>(c - first)], nine[4]) << "width " << width << " column " << c;
            }
        }
    }
}

}  // namespace
}  // namespace zentrel
