#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
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

std::uint32_t bits(float v) {
    std::uint32_t u;
    std::memcpy(&u, &v, sizeof u);
    return u;
}

// A fixed sequence of floats in [lo, hi).
class Sequence {
public:
    float next(float lo, float hi) {
        state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
        return lo + (hi - lo) * static_cast<float>(static_cast<double>(state_ >> 11) * 0x1p-53);
    }

private:
    std::uint64_t state_ = 12345;
};

// Plausible mixtures, then extreme and non-finite values in each position.
std::vector<Params> density_params() {
    std::vector<Params> sets;
    Sequence seq;
    for (int k = 0; k < 200; ++k) {
        sets.push_back({{seq.next(0.1f, 0.9f), seq.next(40, 170), seq.next(0.5f, 40), seq.next(90, 250),
                         seq.next(0.5f, 40)}});
    }
    const float inf = std::numeric_limits<float>::infinity();
    for (float v : {0.0f, -0.0f, 1e-30f, 1e30f, -3.0f, inf, NaN}) {
        for (int slot = 0; slot < 5; ++slot) {
            Params p{{0.4f, 100, 12, 180, 15}};
            p.p[slot] = v;
            sets.push_back(p);
        }
    }
    return sets;
}

TEST(MixtureDensity, BatchEqualsSingleEvaluations) {
    std::vector<float> x;
    for (int i = 0; i < 600; ++i) x.push_back(-40.0f + 0.5f * static_cast<float>(i));  // past one chunk
    x.push_back(NaN);
    std::vector<float> got(x.size(), -1.0f);
    int zero = 0;
    for (const Params& a : density_params()) {
        mixture_density_batch(a.p, x.data(), static_cast<int>(x.size()), got.data());
        for (std::size_t i = 0; i < x.size(); ++i) {
            const float want = mixture_density(a.p, x[i]);
            // NaNs match any NaN: which payload survives is the compiler's choice.
            ASSERT_TRUE(bits(got[i]) == bits(want) || (got[i] != got[i] && want != want))
                << "x=" << x[i] << " got " << got[i] << " want " << want << " c1=" << a.p[0] << " sigma1=" << a.p[2];
            zero += want == 0.0f;
        }
    }
    EXPECT_GT(zero, 0);  // the far tails underflow to 0
}

// The valley-to-peak ratio of the scan, written with one density at a time
// in sample order.
float reference_ratio(const float a[]) {
    const float p1 = mixture_density(a, a[1]);
    const float p2 = mixture_density(a, a[3]);
    const float peak = p2 < p1 ? p2 : p1;
    const int n = static_cast<int>(2.0 * std::fabs(static_cast<double>(a[3] - a[1])) + 0.5);
    float valley = peak;
    for (int i = 1; i <= n; ++i) {
        const float d = mixture_density(a, static_cast<float>(static_cast<double>(a[1]) + 0.5 * i));
        if (d < valley) valley = d;
    }
    return valley / peak;
}

// The limit is exclusive: a limit equal to the scan's ratio fails and the
// next float above it passes, so the test sees the ratio to the last bit.
TEST(BimodalTest, ValleyScanMatchesOneDensityAtATime) {
    Sequence seq;
    for (int k = 0; k < 2000; ++k) {
        const float sigma1 = seq.next(2, 25), sigma2 = seq.next(2, 25);
        const float mean1 = seq.next(85, 150);
        const float mean2 = std::min(250.0f, mean1 + seq.next(1.0f, 3.0f) * 0.5f * (sigma1 + sigma2));
        const Params a{{seq.next(0.25f, 0.75f), mean1, std::min(sigma1, 50.0f), mean2, sigma2}};
        const float ratio = reference_ratio(a.p);
        ASSERT_EQ(bimodal_test(a.p, ratio, 1, 1), 0) << "mixture " << k << " ratio " << ratio;
        ASSERT_EQ(bimodal_test(a.p, std::nextafter(ratio, 2.0f), 1, 1), 1) << "mixture " << k << " ratio " << ratio;
    }
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
