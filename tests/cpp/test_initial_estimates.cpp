#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <vector>

#include "bimodal/initial_estimates.h"

namespace zentrel {
namespace {

TEST(InitialEstimates, SplitAtTheTruncatedMean) {
    const float NaN = std::nanf("");
    struct Case {
        const char* name;
        std::map<int, int> bins;
        int mean_level;
        float want[5];  // c1, mean1, sigma1, mean2, sigma2
    };
    const std::vector<Case> cases = {
        {"two spread parts", {{9, 4}, {11, 4}, {20, 4}, {22, 4}}, 15, {0.5f, 10, 1, 21, 1}},
        {"two single levels", {{10, 8}, {21, 8}}, 15, {0.5f, 10, 0, 21, 0}},
        {"mean bin is dark", {{0, 6}, {2, 6}}, 1, {0.5f, 0, 0, 2, 0}},
        {"population variance", {{100, 1}, {104, 1}, {200, 2}}, 150, {0.5f, 102, 2, 200, 0}},
        {"negative mean level", {{40, 2}, {60, 2}}, -1, {0, 0, 0, 50, 10}},
        // 256 x 256 pixels of 255: v^2 * count exceeds 32 bits.
        {"all 255", {{255, 65536}}, 255, {1, 255, 0, 0, 0}},
        {"large bright part", {{10, 65536}, {250, 65536}}, 130, {0.5f, 10, 0, 250, 0}},
        // E[v^2] - mean^2 rounds below zero in float: NaN, not clamped.
        {"rounding below zero", {{20, 5}, {30, 5}, {100, 3000}, {101, 1}}, 60, {10.0f / 3011, 25, 5, 300101.0f / 3001, NaN}},
    };
    for (const Case& c : cases) {
        std::vector<int> hist(257, 0);
        for (auto [v, n] : c.bins) hist[v] = n;
        float got[5];
        initial_estimates(hist.data(), c.mean_level, got[0], got[1], got[2], got[3], got[4]);
        for (int k = 0; k < 5; ++k) {
            if (std::isnan(c.want[k])) {
                EXPECT_TRUE(std::isnan(got[k])) << c.name << " #" << k;
            } else {
                EXPECT_FLOAT_EQ(got[k], c.want[k]) << c.name << " #" << k;
            }
        }
    }
}

}  // namespace
}  // namespace zentrel
