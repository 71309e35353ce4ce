#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <vector>

#include "bimodal/initial_estimates.h"

namespace zentrel {
namespace {

struct Estimates {
    float c1, mean1, sigma1, mean2, sigma2;
};

Estimates estimate(const std::map<int, int>& bins, int mean_level) {
    std::vector<int> hist(257, 0);
    for (auto [v, n] : bins) hist[v] = n;
    Estimates e{-1, -1, -1, -1, -1};
    initial_estimates(hist.data(), mean_level, e.c1, e.mean1, e.sigma1, e.mean2, e.sigma2);
    return e;
}

struct Case {
    const char* name;
    std::map<int, int> bins;
    int mean_level;
    Estimates want;
};

TEST(InitialEstimates, SplitAtTruncatedMean) {
    const std::vector<Case> cases = {
        {"two spread parts", {{9, 4}, {11, 4}, {20, 4}, {22, 4}}, 15, {0.5f, 10, 1, 21, 1}},
        {"two single-bin parts", {{10, 8}, {21, 8}}, 15, {0.5f, 10, 0, 21, 0}},
        {"all at 255: bright part empty", {{255, 9}}, 255, {1, 255, 0, 0, 0}},
        // The mean's own bin is dark: T = 1 leaves the 2s bright.
        {"mean bin is dark", {{0, 6}, {2, 6}}, 1, {0.5f, 0, 0, 2, 0}},
        {"value at T counted dark", {{1, 3}, {5, 1}}, 1, {0.75f, 1, 0, 5, 0}},
        // Unequal shares; population variance (divisor n): {100,104} -> 2.
        {"unequal shares", {{100, 1}, {104, 1}, {200, 2}}, 150, {0.5f, 102, 2, 200, 0}},
        {"negative mean level: all bright", {{40, 2}, {60, 2}}, -1, {0, 0, 0, 50, 10}},
    };
    for (const Case& c : cases) {
        const Estimates e = estimate(c.bins, c.mean_level);
        EXPECT_FLOAT_EQ(e.c1, c.want.c1) << c.name;
        EXPECT_FLOAT_EQ(e.mean1, c.want.mean1) << c.name;
        EXPECT_FLOAT_EQ(e.sigma1, c.want.sigma1) << c.name;
        EXPECT_FLOAT_EQ(e.mean2, c.want.mean2) << c.name;
        EXPECT_FLOAT_EQ(e.sigma2, c.want.sigma2) << c.name;
    }
}

TEST(InitialEstimates, LargeRegionProductsAreExact) {
    // A 256 x 256 region of 255s: v^2 * count = 65025 * 65536 exceeds 32 bits.
    const Estimates e = estimate({{255, 256 * 256}}, 255);
    EXPECT_EQ(e.c1, 1.0f);
    EXPECT_EQ(e.mean1, 255.0f);
    EXPECT_EQ(e.sigma1, 0.0f);
    EXPECT_EQ(e.mean2, 0.0f);
    EXPECT_EQ(e.sigma2, 0.0f);

    // The same in the bright part, with a dark part beside it.
    const Estimates f = estimate({{10, 256 * 256}, {250, 256 * 256}}, 130);
    EXPECT_EQ(f.mean2, 250.0f);
    EXPECT_EQ(f.sigma2, 0.0f);
    EXPECT_EQ(f.c1, 0.5f);
}

TEST(InitialEstimates, RoundingBelowZeroIsNotClamped) {
    // 3000 pixels at 100 and one at 101: the true variance (~3e-4) is lost to
    // float rounding of E[v^2] - mean^2, which comes out negative.
    const Estimates e = estimate({{20, 5}, {30, 5}, {100, 3000}, {101, 1}}, 60);
    EXPECT_FLOAT_EQ(e.sigma1, 5.0f);
    EXPECT_TRUE(std::isnan(e.sigma2)) << e.sigma2;
    EXPECT_NEAR(e.mean2, 100.0003f, 1e-4);
}

}  // namespace
}  // namespace zentrel
