#include "numeric/bimodal_gauss.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace zentrel {
namespace {

struct Eval {
    float y = 0.0f;
    float d[6] = {};
};

Eval evaluate(float x, const float a[6], float total, int na = 5, Sink* sink = nullptr) {
    Eval e;
    SilentSink silent;
    bimodal_gauss(x, a, e.y, e.d, na, total, sink ? *sink : silent);
    return e;
}

std::uint32_t bits(float v) {
    std::uint32_t u;
    std::memcpy(&u, &v, sizeof u);
    return u;
}

// The model written out from its precision rules: float squares, exponent
// quotient in double, second component in double from the float difference.
Eval stated_precision_model(float x, const float p[6], float total) {
    const float s = static_cast<float>(std::sqrt(2.0 * static_cast<float>(4.0 * std::atan(1.0))));
    const float c1 = p[1], s1 = p[3], s2 = p[5], u1 = x - p[2], u2 = x - p[4];
    const float u1sq = u1 * u1, u2sq = u2 * u2;
    const float q1 = static_cast<float>(double{u1sq} / (2.0 * s1 * s1));
    const float q2 = static_cast<float>(double{u2sq} / (2.0 * s2 * s2));
    const float e1 = static_cast<float>(std::exp(-double{q1})), e2 = static_cast<float>(std::exp(-double{q2}));
    const double w2 = 1.0 - double{c1}, du2 = u2;
    Eval r;
    r.y = static_cast<float>((double{c1 * e1 / (s1 * s)} + w2 * e2 / double{s2 * s}) * total);
    r.d[1] = (e1 / (s * s1) - e2 / (s * s2)) * total;
    r.d[2] = c1 * u1 * e1 / (s * s1 * s1 * s1) * total;
    r.d[3] = c1 * e1 * (u1sq / (s * s1 * s1 * s1 * s1) - 1.0f / (s * s1 * s1)) * total;
    r.d[4] = static_cast<float>(w2 * du2 * e2 / double{s * s2 * s2 * s2} * total);
    r.d[5] = static_cast<float>(w2 * e2 * (du2 * du2 / double{s * s2 * s2 * s2 * s2} - 1.0 / double{s * s2 * s2}) * total);
    return r;
}

// Plain double model, for rounding-free references.
double model_in_double(double x, const double p[6], double total) {
    const double s = std::sqrt(8.0 * std::atan(1.0)), u1 = x - p[2], u2 = x - p[4];
    return total * (p[1] * std::exp(-u1 * u1 / (2 * p[3] * p[3])) / (p[3] * s) +
                    (1 - p[1]) * std::exp(-u2 * u2 / (2 * p[5] * p[5])) / (p[5] * s));
}

struct ParamSet {
    float a[6];
    float total;
};

const ParamSet kSets[] = {
    {{0, 0.4f, 100.0f, 12.0f, 180.0f, 15.0f}, 10000.0f}, {{0, 0.5f, 100.0f, 10.0f, 200.0f, 20.0f}, 1000.0f},
    {{0, 0.3f, 60.5f, 7.3f, 150.25f, 25.1f}, 4321.0f},   {{0, 0.75f, 30.0f, 3.3f, 220.0f, 9.7f}, 65536.0f},
    {{0, 0.123f, 128.7f, 40.2f, 131.9f, 2.05f}, 977.0f}, {{0, 1.5f, 80.0f, 11.0f, 170.0f, 13.0f}, 5000.0f},
};

TEST(BimodalGauss, SqrtTwoPiComesFromSinglePrecisionPi) { EXPECT_EQ(model_sqrt_two_pi(), 2.5066282749176025f); }

TEST(BimodalGauss, PeakOfUnitComponent) {
    const float a[6] = {0, 1.0f, 0.0f, 1.0f, 5.0f, 1.0f};
    const Eval e = evaluate(0.0f, a, 1.0f);
    EXPECT_EQ(e.y, 0.3989422917366028f);
    EXPECT_EQ(e.d[2], 0.0f);
    EXPECT_EQ(e.d[3], -e.y);
}

TEST(BimodalGauss, FirstPeakWithNegligibleSecondComponent) {
    const float a[6] = {0, 0.5f, 100.0f, 10.0f, 200.0f, 20.0f};
    const float no_second[6] = {0, 0.5f, 100.0f, 10.0f, 1.0e6f, 20.0f};
    const float y = evaluate(100.0f, a, 1000.0f).y;
    EXPECT_NEAR(y, 19.947f, 0.0005f);
    EXPECT_LT(y - evaluate(100.0f, no_second, 1000.0f).y, 0.0001f * y);
}

// c1 = 0 removes the first component, c1 = 1 the second: the absent one's
// derivatives vanish and its parameters no longer move y.
class BimodalGaussWeightEdge : public ::testing::TestWithParam<float> {};

TEST_P(BimodalGaussWeightEdge, ZeroWeightComponentVanishes) {
    const float x = GetParam();
    const float zero[6] = {0, 0.0f, 90.0f, 12.0f, 170.0f, 16.0f}, zero_moved[6] = {0, 0.0f, 140.0f, 30.0f, 170.0f, 16.0f};
    const float one[6] = {0, 1.0f, 90.0f, 12.0f, 170.0f, 16.0f}, one_moved[6] = {0, 1.0f, 90.0f, 12.0f, 60.0f, 3.0f};
    const Eval z = evaluate(x, zero, 2000.0f), o = evaluate(x, one, 2000.0f);
    EXPECT_EQ(z.d[2], 0.0f);
    EXPECT_EQ(z.d[3], 0.0f);
    EXPECT_EQ(bits(z.y), bits(evaluate(x, zero_moved, 2000.0f).y));
    EXPECT_EQ(o.d[4], 0.0f);
    EXPECT_EQ(o.d[5], 0.0f);
    EXPECT_EQ(bits(o.y), bits(evaluate(x, one_moved, 2000.0f).y));
}

INSTANTIATE_TEST_SUITE_P(Abscissae, BimodalGaussWeightEdge, ::testing::Values(0.0f, 90.0f, 101.5f, 170.0f, 255.0f));

TEST(BimodalGauss, WeightAboveOneGivesNegativeValue) {
    EXPECT_LT(evaluate(170.0f, kSets[5].a, kSets[5].total).y, 0.0f);
}

class BimodalGaussParamCount : public ::testing::TestWithParam<int> {};

TEST_P(BimodalGaussParamCount, WarnsAndStillUsesFiveParameters) {
    BufferSink quiet, sink;
    const Eval five = evaluate(131.0f, kSets[0].a, 10000.0f, 5, &quiet);
    const Eval other = evaluate(131.0f, kSets[0].a, 10000.0f, GetParam(), &sink);
    EXPECT_EQ(quiet.out_text, "");
    EXPECT_EQ(sink.out_text, "this function assumes 5 parameters\n");
    EXPECT_EQ(sink.err_text, "");
    EXPECT_EQ(std::memcmp(&five, &other, sizeof five), 0);
}

INSTANTIATE_TEST_SUITE_P(Counts, BimodalGaussParamCount, ::testing::Values(0, 4, 6));

TEST(BimodalGauss, MatchesStatedPrecisionBitForBit) {
    int y_differs_from_double = 0;
    for (const ParamSet& p : kSets) {
        double pd[6];
        std::copy(p.a, p.a + 6, pd);
        for (int xi = 0; xi < 256; ++xi) {
            const float x = static_cast<float>(xi);
            const Eval got = evaluate(x, p.a, p.total), want = stated_precision_model(x, p.a, p.total);
            ASSERT_EQ(bits(got.y), bits(want.y)) << "y at x=" << x << " c1=" << p.a[1];
            y_differs_from_double += bits(got.y) != bits(static_cast<float>(model_in_double(x, pd, p.total)));
            for (int i = 1; i <= 5; ++i) {
                ASSERT_EQ(bits(got.d[i]), bits(want.d[i])) << "dyda[" << i << "] at x=" << x << " c1=" << p.a[1];
                // Central difference in double: checks the formulas themselves.
                double up[6], down[6];
                std::copy(pd, pd + 6, up);
                std::copy(pd, pd + 6, down);
                up[i] += 1e-4;
                down[i] -= 1e-4;
                const double slope = (model_in_double(x, up, p.total) - model_in_double(x, down, p.total)) / 2e-4;
                EXPECT_NEAR(got.d[i], slope, 2e-6 * p.total + 1e-5 * std::fabs(slope)) << "dyda[" << i << "] x=" << x;
            }
        }
    }
    // The grid is fine enough for the single-precision steps to show.
    EXPECT_GT(y_differs_from_double, 0);
}

}  // namespace
}  // namespace zentrel
