#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "bimodal/bimodal_test.h"

namespace zentrel {
namespace {

struct Params {
    float p[5];  // c1, mean1, sigma1, mean2, sigma2
};
const float NaN = std::nanf("");

TEST(MixtureDensity, ModelPrecisionAndSqrtTwoPi) {
    // A unit normal at its mean is 1 / s for the float s = sqrt(2 pi); the
    // first component is formed in float, the second in double.
    const float inv_s = 0.3989422917366028f;
    EXPECT_EQ(mixture_density(Params{{1, 0, 1, 5, 1}}.p, 0.0f), inv_s);
    EXPECT_EQ(mixture_density(Params{{0, 5, 1, 0, 1}}.p, 0.0f), inv_s);
    EXPECT_FLOAT_EQ(mixture_density(Params{{0.5f, 100, 10, 200, 20}}.p, 100.0f),
                    0.5f * inv_s / 10 + 0.5f * inv_s / 20 * std::exp(-12.5f));
}

TEST(BimodalTest, LimitsInOrderThenValley) {
    using T = TestOutcome;
    struct Case {
        const char* name;
        Params a;
        float chisq;
        T want;
    };
    const std::vector<Case> cases = {
        {"separated", {{0.5f, 100, 10, 200, 10}}, 1, T::passed},
        {"single peak between the means", {{0.5f, 120, 15, 140, 15}}, 1, T::no_valley},
        {"c1 0.81", {{0.81f, 100, 10, 200, 10}}, 1, T::c1_out_of_range},
        {"c1 0.19", {{0.19f, 100, 10, 200, 10}}, 1, T::c1_out_of_range},
        // Widened to double, 0.8f lies just above 0.8 and 0.2f just above 0.2.
        {"c1 0.8f", {{0.8f, 100, 10, 200, 10}}, 1, T::c1_out_of_range},
        {"c1 0.2f", {{0.2f, 100, 10, 200, 10}}, 1, T::passed},
        {"mean1 79.9", {{0.5f, 79.9f, 10, 200, 10}}, 1, T::mean1_out_of_range},
        {"mean2 254.1", {{0.5f, 100, 10, 254.1f, 10}}, 1, T::mean2_out_of_range},
        {"means on the bounds", {{0.5f, 80, 10, 254, 10}}, 1, T::passed},
        {"sigma1 0.99", {{0.5f, 100, 0.99f, 200, 10}}, 1, T::sigma1_out_of_range},
        {"sigma2 50.1", {{0.5f, 100, 10, 200, 50.1f}}, 1, T::sigma2_out_of_range},
        {"sigmas on the bounds", {{0.5f, 100, 1, 200, 50}}, 1, T::passed},
        {"chi ratio 4", {{0.5f, 100, 10, 200, 10}}, 4, T::passed},
        {"chi ratio 4.0001", {{0.5f, 100, 10, 200, 10}}, 4.0001f, T::chi_ratio_too_large},
        {"first failing limit", {{0.9f, 10, 0, 300, 60}}, 9, T::c1_out_of_range},
        {"mean2 before sigma1", {{0.5f, 100, 0, 300, 10}}, 1, T::mean2_out_of_range},
        // Sampled upward from mean1 even with mean2 below: this one-peaked
        // mixture falls off above mean1 and passes.
        {"mean2 below mean1", {{0.5f, 130, 15, 120, 15}}, 1, T::passed},
        // NaN passes the limits; a NaN mean never reaches the sample count.
        {"NaN chi ratio", {{0.5f, 100, 10, 200, 10}}, NaN, T::passed},
        {"NaN mean1", {{0.5f, NaN, 10, 200, 10}}, 1, T::no_valley},
        {"NaN mean2", {{0.5f, 100, 10, NaN, 10}}, 1, T::no_valley},
        {"NaN sigma1", {{0.5f, 100, NaN, 200, 10}}, 1, T::no_valley},
    };
    for (const Case& c : cases) {
        TestOutcome outcome = c.want == T::passed ? T::no_valley : T::passed;
        const int result = bimodal_test(c.a.p, 0.8f, c.chisq, 1.0f, default_limits(), &outcome);
        EXPECT_EQ(result, c.want == T::passed ? 1 : 0) << c.name;
        EXPECT_EQ(outcome, c.want) << c.name;
    }
}

TEST(BimodalTest, ValleyRatioAndLimitsAreParameters) {
    const Params flat{{0.5f, 120, 15, 140, 15}};  // valley / peak is exactly 1
    EXPECT_EQ(bimodal_test(flat.p, 1.0f, 1, 1), 0);
    EXPECT_EQ(bimodal_test(flat.p, 1.0001f, 1, 1), 1);
    const Params dark{{0.5f, 40, 5, 90, 5}};
    AnalysisLimits limits;
    limits.test_mean1_min = 20.0f;
    EXPECT_EQ(bimodal_test(dark.p, 0.8f, 1, 1), 0);
    EXPECT_EQ(bimodal_test(dark.p, 0.8f, 1, 1, limits), 1);
}

TEST(RegionThreshold, Crossings) {
    struct Case {
        const char* name;
        Params a;
        float want, tolerance;
    };
    const std::vector<Case> cases = {
        {"equal spreads and weights", {{0.5f, 100, 10, 200, 10}}, 150.0f, 0},
        {"equal spreads, c1 0.3", {{0.3f, 100, 10, 200, 10}}, 149.153f, 1e-3f},
        {"unequal spreads", {{0.5f, 100, 10, 200, 20}}, 134.7055f, 1e-3f},
        // The equal-spread branch has no range check.
        {"equal spreads, outside", {{0.1f, 100, 100, 200, 100}}, -69.7225f, 1e-3f},
        {"equal spreads, swapped", {{0.5f, 200, 10, 100, 10}}, 150.0f, 0},
        {"unequal, swapped", {{0.5f, 200, 20, 100, 10}}, NO_THRESHOLD, 0},
        {"unequal, swapped 2", {{0.4f, 180, 10, 120, 12}}, NO_THRESHOLD, 0},
        {"negative radicand", {{0.99f, 100, 5, 110, 50}}, NO_THRESHOLD, 0},
    };
    for (const Case& c : cases) EXPECT_NEAR(region_threshold(c.a.p), c.want, c.tolerance) << c.name;

    // Elsewhere the weighted densities agree at the returned level.
    for (const Params& m : {Params{{0.4f, 90, 8, 170, 15}}, Params{{0.7f, 110, 12, 200, 9}},
                            Params{{0.25f, 130, 20, 180, 6}}}) {
        const double t = region_threshold(m.p);
        auto weighted = [t](double w, double mu, double s) { return w * std::exp(-(t - mu) * (t - mu) / (2 * s * s)) / s; };
        EXPECT_NEAR(weighted(m.p[0], m.p[1], m.p[2]) / weighted(1 - m.p[0], m.p[3], m.p[4]), 1.0, 1e-3) << t;
    }
}

}  // namespace
}  // namespace zentrel
