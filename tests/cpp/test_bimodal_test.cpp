#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "bimodal/bimodal_test.h"

namespace zentrel {
namespace {

struct Params {
    float c1, mean1, sigma1, mean2, sigma2;
    const float* data() const { return &c1; }
};
static_assert(sizeof(Params) == 5 * sizeof(float), "Params must be five packed floats");

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

TEST(MixtureDensity, UsesTheModelsSqrtTwoPi) {
    // A unit normal at its mean: 1 / s with s the float sqrt(2 pi). The first
    // component is formed in float, the second in double; both round to the
    // same float here.
    const float inv_s = 0.3989422917366028f;
    EXPECT_EQ(mixture_density(Params{1, 0, 1, 5, 1}.data(), 0.0f), inv_s);
    EXPECT_EQ(mixture_density(Params{0, 5, 1, 0, 1}.data(), 0.0f), inv_s);
    // Equal weights: each component's half at its peak plus the other's tail.
    EXPECT_FLOAT_EQ(mixture_density(Params{0.5f, 100, 10, 200, 20}.data(), 100.0f),
                    0.5f * inv_s / 10.0f + 0.5f * inv_s / 20.0f * std::exp(-12.5f));
    EXPECT_FLOAT_EQ(mixture_density(Params{0.5f, 100, 10, 200, 20}.data(), 200.0f),
                    0.5f * inv_s / 20.0f + 0.5f * inv_s / 10.0f * std::exp(-50.0f));
}

struct TestCase {
    const char* name;
    Params a;
    float chisq, total;
    int result;
    TestOutcome outcome;
};

TEST(BimodalTest, LimitsAndValley) {
    const std::vector<TestCase> cases = {
        {"well separated", {0.5f, 100, 10, 200, 10}, 1, 1, 1, TestOutcome::passed},
        {"weighted", {0.3f, 100, 10, 200, 10}, 1, 1, 1, TestOutcome::passed},
        {"single peak between the means", {0.5f, 120, 15, 140, 15}, 1, 1, 0, TestOutcome::no_valley},
        {"c1 0.81", {0.81f, 100, 10, 200, 10}, 1, 1, 0, TestOutcome::c1_out_of_range},
        {"c1 0.19", {0.19f, 100, 10, 200, 10}, 1, 1, 0, TestOutcome::c1_out_of_range},
        // 0.8f widened to double is just above 0.8; 0.2f just above 0.2.
        {"c1 0.8 as float", {0.8f, 100, 10, 200, 10}, 1, 1, 0, TestOutcome::c1_out_of_range},
        {"c1 0.2 as float", {0.2f, 100, 10, 200, 10}, 1, 1, 1, TestOutcome::passed},
        {"mean1 79.9", {0.5f, 79.9f, 10, 200, 10}, 1, 1, 0, TestOutcome::mean1_out_of_range},
        {"mean1 160.1", {0.5f, 160.1f, 10, 240, 10}, 1, 1, 0, TestOutcome::mean1_out_of_range},
        {"mean2 254.1", {0.5f, 100, 10, 254.1f, 10}, 1, 1, 0, TestOutcome::mean2_out_of_range},
        {"mean2 89.9", {0.5f, 100, 10, 89.9f, 10}, 1, 1, 0, TestOutcome::mean2_out_of_range},
        {"means on their bounds", {0.5f, 80, 10, 254, 10}, 1, 1, 1, TestOutcome::passed},
        {"sigma1 0.99", {0.5f, 100, 0.99f, 200, 10}, 1, 1, 0, TestOutcome::sigma1_out_of_range},
        {"sigma1 50.1", {0.5f, 100, 50.1f, 200, 10}, 1, 1, 0, TestOutcome::sigma1_out_of_range},
        {"sigma2 0.5", {0.5f, 100, 10, 200, 0.5f}, 1, 1, 0, TestOutcome::sigma2_out_of_range},
        {"sigmas on their bounds", {0.5f, 100, 1, 200, 50}, 1, 1, 1, TestOutcome::passed},
        {"chi ratio 4", {0.5f, 100, 10, 200, 10}, 4, 1, 1, TestOutcome::passed},
        {"chi ratio 4.0001", {0.5f, 100, 10, 200, 10}, 4.0001f, 1, 0, TestOutcome::chi_ratio_too_large},
        {"chi ratio from a float quotient", {0.5f, 100, 10, 200, 10}, 4000, 1000, 1, TestOutcome::passed},
        // The first failing limit is the one reported.
        {"c1 before mean1", {0.9f, 10, 10, 200, 10}, 1, 1, 0, TestOutcome::c1_out_of_range},
        {"mean2 before sigma1", {0.5f, 100, 0, 300, 10}, 1, 1, 0, TestOutcome::mean2_out_of_range},
        {"sigma2 before chi", {0.5f, 100, 10, 200, 60}, 9, 1, 0, TestOutcome::sigma2_out_of_range},
        // Samples run upward from mean1 even when mean2 lies below it: this
        // single-peaked mixture falls off above mean1 and so passes.
        {"sampled above mean1", {0.5f, 130, 15, 120, 15}, 1, 1, 1, TestOutcome::passed},
        // NaN passes every limit; the chi ratio takes no part in the valley.
        {"NaN chi ratio", {0.5f, 100, 10, 200, 10}, NaN, 1, 1, TestOutcome::passed},
        {"NaN mean1", {0.5f, NaN, 10, 200, 10}, 1, 1, 0, TestOutcome::no_valley},
        {"NaN mean2", {0.5f, 100, 10, NaN, 10}, 1, 1, 0, TestOutcome::no_valley},
        {"NaN sigma1", {0.5f, 100, NaN, 200, 10}, 1, 1, 0, TestOutcome::no_valley},
        {"NaN c1", {NaN, 100, 10, 200, 10}, 1, 1, 0, TestOutcome::no_valley},
        {"zero total", {0.5f, 100, 10, 200, 10}, 1, 0, 0, TestOutcome::chi_ratio_too_large},
    };
    for (const TestCase& c : cases) {
        TestOutcome outcome = c.result ? TestOutcome::no_valley : TestOutcome::passed;
        EXPECT_EQ(bimodal_test(c.a.data(), 0.8f, c.chisq, c.total, default_limits(), &outcome),
                  c.result)
            << c.name;
        EXPECT_EQ(outcome, c.outcome) << c.name;
        // The outcome pointer is optional.
        EXPECT_EQ(bimodal_test(c.a.data(), 0.8f, c.chisq, c.total), c.result) << c.name;
    }
}

TEST(BimodalTest, ValleyRatioLimitIsExclusive) {
    // Peaks ~0.0199, valley ~1.5e-7: ratio far below any sensible limit but
    // never below 0, and at most 1 (the valley starts at the lower peak).
    const Params a{0.5f, 100, 10, 200, 10};
    EXPECT_EQ(bimodal_test(a.data(), 1e-4f, 1, 1), 1);
    EXPECT_EQ(bimodal_test(a.data(), 0.0f, 1, 1), 0);
    const Params flat{0.5f, 120, 15, 140, 15};
    EXPECT_EQ(bimodal_test(flat.data(), 1.0f, 1, 1), 0);      // ratio exactly 1
    EXPECT_EQ(bimodal_test(flat.data(), 1.0001f, 1, 1), 1);
}

TEST(BimodalTest, LimitsComeFromTheTable) {
    AnalysisLimits limits;
    limits.test_mean1_min = 20.0f;
    limits.test_mean2_min = 30.0f;
    const Params dark{0.5f, 40, 5, 90, 5};
    EXPECT_EQ(bimodal_test(dark.data(), 0.8f, 1, 1), 0);
    EXPECT_EQ(bimodal_test(dark.data(), 0.8f, 1, 1, limits), 1);
    limits.test_chi_ratio_max = 0.5f;
    TestOutcome outcome{};
    EXPECT_EQ(bimodal_test(dark.data(), 0.8f, 1, 1, limits, &outcome), 0);
    EXPECT_EQ(outcome, TestOutcome::chi_ratio_too_large);
}

struct ThresholdCase {
    const char* name;
    Params a;
    float want;
    float tolerance;
};

TEST(RegionThreshold, Crossings) {
    const std::vector<ThresholdCase> cases = {
        {"equal spreads and weights", {0.5f, 100, 10, 200, 10}, 150.0f, 0.0f},
        {"equal spreads, c1 0.3", {0.3f, 100, 10, 200, 10}, 149.153f, 1e-3f},
        {"unequal spreads", {0.5f, 100, 10, 200, 20}, 134.7055f, 1e-3f},
        // Equal spreads take no range check: the crossing may lie outside.
        {"equal spreads outside the means", {0.1f, 100, 100, 200, 100}, -69.7225f, 1e-3f},
        {"equal spreads, means swapped", {0.5f, 200, 10, 100, 10}, 150.0f, 0.0f},
        {"unequal spreads, means swapped", {0.5f, 200, 20, 100, 10}, NO_THRESHOLD, 0.0f},
        {"unequal spreads, means swapped 2", {0.4f, 180, 10, 120, 12}, NO_THRESHOLD, 0.0f},
        // Complex roots: the radicand is negative, no root qualifies.
        {"no real crossing", {0.99f, 100, 5, 110, 50}, NO_THRESHOLD, 0.0f},
    };
    for (const ThresholdCase& c : cases) {
        const float t = region_threshold(c.a.data());
        if (c.tolerance == 0.0f) {
            EXPECT_EQ(t, c.want) << c.name;
        } else {
            EXPECT_NEAR(t, c.want, c.tolerance) << c.name;
        }
    }
}

TEST(RegionThreshold, CrossingEqualisesTheWeightedComponents) {
    // Away from the closed-form cases: at the returned level the two
    // weighted normal densities agree.
    const std::vector<Params> mixtures = {
        {0.4f, 90, 8, 170, 15}, {0.7f, 110, 12, 200, 9}, {0.25f, 130, 20, 180, 6},
        {0.5f, 100, 10, 200, 10.5f},
    };
    for (const Params& p : mixtures) {
        const double t = region_threshold(p.data());
        ASSERT_GT(t, p.mean1);
        ASSERT_LT(t, p.mean2);
        auto weighted = [t](double w, double m, double s) {
            return w * std::exp(-(t - m) * (t - m) / (2 * s * s)) / s;
        };
        const double d1 = weighted(p.c1, p.mean1, p.sigma1);
        const double d2 = weighted(1.0 - p.c1, p.mean2, p.sigma2);
        EXPECT_NEAR(d1 / d2, 1.0, 1e-3) << "c1=" << p.c1 << " t=" << t;
    }
}

}  // namespace
}  // namespace zentrel
