#include "numeric/bimodal_gauss.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace zentrel {
namespace {

struct Eval {
    float y = 0.0f;
    float d[6] = {};
};

Eval evaluate(float x, const float a[6], float total, int na = 5) {
    Eval e;
    SilentSink sink;
    bimodal_gauss(x, a, e.y, e.d, na, total, sink);
    return e;
}

std::uint32_t bits(float v) {
    std::uint32_t u;
    std::memcpy(&u, &v, sizeof u);
    return u;
}

// The model written out directly from its precision rules: float squares,
// exponent quotient in double, the second component's value and derivatives
// in double from the float difference on.
Eval stated_precision_model(float x, const float p[6], float total) {
    const float pi_f = static_cast<float>(4.0 * std::atan(1.0));
    const float s = static_cast<float>(std::sqrt(2.0 * pi_f));
    const float c1 = p[1], m1 = p[2], s1 = p[3], m2 = p[4], s2 = p[5];

    const float u1 = x - m1;
    const float u1sq = u1 * u1;
    const float u2 = x - m2;
    const float u2sq = u2 * u2;
    const float arg1 = static_cast<float>(double{u1sq} / (2.0 * double{s1} * double{s1}));
    const float arg2 = static_cast<float>(double{u2sq} / (2.0 * double{s2} * double{s2}));
    const float e1 = static_cast<float>(std::exp(-double{arg1}));
    const float e2 = static_cast<float>(std::exp(-double{arg2}));

    Eval r;
    const float first = c1 * e1 / (s1 * s);
    const double second = (1.0 - double{c1}) * double{e2} / double{s2 * s};
    r.y = static_cast<float>((double{first} + second) * double{total});

    r.d[1] = (e1 / (s * s1) - e2 / (s * s2)) * total;
    r.d[2] = c1 * u1 * e1 / (s * s1 * s1 * s1) * total;
    r.d[3] = c1 * e1 * (u1sq / (s * s1 * s1 * s1 * s1) - 1.0f / (s * s1 * s1)) * total;
    const double w2 = 1.0 - double{c1};
    const double du2 = u2;
    r.d[4] = static_cast<float>(w2 * du2 * double{e2} / double{s * s2 * s2 * s2} * double{total});
    r.d[5] = static_cast<float>(w2 * double{e2} *
                                (du2 * du2 / double{s * s2 * s2 * s2 * s2} -
                                 1.0 / double{s * s2 * s2}) *
                                double{total});
    return r;
}

// Everything in double, rounded once: what a careless port would produce.
Eval all_double_model(float x, const float p[6], float total) {
    const double s = std::sqrt(2.0 * 4.0 * std::atan(1.0));
    const double c1 = p[1], m1 = p[2], s1 = p[3], m2 = p[4], s2 = p[5], t = total;
    const double u1 = x - m1, u2 = x - m2;
    const double e1 = std::exp(-u1 * u1 / (2 * s1 * s1));
    const double e2 = std::exp(-u2 * u2 / (2 * s2 * s2));
    Eval r;
    r.y = static_cast<float>(t * (c1 * e1 / (s1 * s) + (1 - c1) * e2 / (s2 * s)));
    r.d[1] = static_cast<float>(t * (e1 / (s * s1) - e2 / (s * s2)));
    r.d[2] = static_cast<float>(t * c1 * u1 * e1 / (s * s1 * s1 * s1));
    r.d[3] = static_cast<float>(t * c1 * e1 * (u1 * u1 / (s * std::pow(s1, 4)) - 1 / (s * s1 * s1)));
    r.d[4] = static_cast<float>(t * (1 - c1) * u2 * e2 / (s * s2 * s2 * s2));
    r.d[5] = static_cast<float>(t * (1 - c1) * e2 * (u2 * u2 / (s * std::pow(s2, 4)) - 1 / (s * s2 * s2)));
    return r;
}

double model_in_double(double x, const double p[6], double total) {
    const double s = std::sqrt(2.0 * 4.0 * std::atan(1.0));
    const double u1 = x - p[2], u2 = x - p[4];
    return total * (p[1] * std::exp(-u1 * u1 / (2 * p[3] * p[3])) / (p[3] * s) +
                    (1 - p[1]) * std::exp(-u2 * u2 / (2 * p[5] * p[5])) / (p[5] * s));
}

struct ParamSet {
    float a[6];
    float total;
};

const std::vector<ParamSet>& parameter_sets() {
    static const std::vector<ParamSet> sets = {
        {{0, 0.4f, 100.0f, 12.0f, 180.0f, 15.0f}, 10000.0f},
        {{0, 0.5f, 100.0f, 10.0f, 200.0f, 20.0f}, 1000.0f},
        {{0, 0.3f, 60.5f, 7.3f, 150.25f, 25.1f}, 4321.0f},
        {{0, 0.75f, 30.0f, 3.3f, 220.0f, 9.7f}, 65536.0f},
        {{0, 0.123f, 128.7f, 40.2f, 131.9f, 2.05f}, 977.0f},
        {{0, 1.5f, 80.0f, 11.0f, 170.0f, 13.0f}, 5000.0f},
    };
    return sets;
}

TEST(BimodalGauss, SqrtTwoPiComesFromSinglePrecisionPi) {
    EXPECT_EQ(model_sqrt_two_pi(), 2.5066282749176025f);
    EXPECT_EQ(static_cast<float>(4.0 * std::atan(1.0)), 3.1415927410125732f);
}

TEST(BimodalGauss, PeakOfUnitComponent) {
    const float a[6] = {0, 1.0f, 0.0f, 1.0f, 5.0f, 1.0f};
    const Eval e = evaluate(0.0f, a, 1.0f);
    EXPECT_EQ(e.y, 0.3989422917366028f);
    EXPECT_EQ(e.d[2], 0.0f);
    EXPECT_EQ(e.d[3], -e.y);
}

TEST(BimodalGauss, FirstPeakWithNegligibleSecondComponent) {
    const float a[6] = {0, 0.5f, 100.0f, 10.0f, 200.0f, 20.0f};
    const Eval e = evaluate(100.0f, a, 1000.0f);
    EXPECT_NEAR(e.y, 19.947f, 0.0005f);
    // The same point without any second component at all.
    const float far[6] = {0, 0.5f, 100.0f, 10.0f, 1.0e6f, 20.0f};
    const Eval first_only = evaluate(100.0f, far, 1000.0f);
    EXPECT_LT(e.y - first_only.y, 0.0001f * e.y);
    EXPECT_GE(e.y, first_only.y);
}

// c1 = 0 removes the first component, c1 = 1 the second: derivatives of the
// absent component vanish and its parameters no longer affect y.
class BimodalGaussWeightEdge : public ::testing::TestWithParam<float> {};

TEST_P(BimodalGaussWeightEdge, ZeroWeightComponentVanishes) {
    const float x = GetParam();
    const float c1_zero[6] = {0, 0.0f, 90.0f, 12.0f, 170.0f, 16.0f};
    const float c1_zero_moved[6] = {0, 0.0f, 140.0f, 30.0f, 170.0f, 16.0f};
    const Eval z = evaluate(x, c1_zero, 2000.0f);
    EXPECT_EQ(z.d[2], 0.0f);
    EXPECT_EQ(z.d[3], 0.0f);
    EXPECT_EQ(bits(z.y), bits(evaluate(x, c1_zero_moved, 2000.0f).y));

    const float c1_one[6] = {0, 1.0f, 90.0f, 12.0f, 170.0f, 16.0f};
    const float c1_one_moved[6] = {0, 1.0f, 90.0f, 12.0f, 60.0f, 3.0f};
    const Eval o = evaluate(x, c1_one, 2000.0f);
    EXPECT_EQ(o.d[4], 0.0f);
    EXPECT_EQ(o.d[5], 0.0f);
    EXPECT_EQ(bits(o.y), bits(evaluate(x, c1_one_moved, 2000.0f).y));
}

INSTANTIATE_TEST_SUITE_P(Abscissae, BimodalGaussWeightEdge,
                         ::testing::Values(0.0f, 60.0f, 90.0f, 101.5f, 170.0f, 255.0f));

TEST(BimodalGauss, WeightAboveOneGivesNegativeValueUnchanged) {
    const float a[6] = {0, 1.5f, 80.0f, 11.0f, 170.0f, 13.0f};
    const Eval e = evaluate(170.0f, a, 5000.0f);
    EXPECT_LT(e.y, 0.0f);
    EXPECT_EQ(bits(e.y), bits(stated_precision_model(170.0f, a, 5000.0f).y));
}

TEST(BimodalGauss, ZeroSigmaIsNotCaught) {
    const float a[6] = {0, 0.5f, 100.0f, 0.0f, 180.0f, 15.0f};
    const Eval e = evaluate(120.0f, a, 1000.0f);
    EXPECT_FALSE(std::isfinite(e.y));
}

// A wrong parameter count only warns; the values are those of na = 5.
class BimodalGaussParamCount : public ::testing::TestWithParam<int> {};

TEST_P(BimodalGaussParamCount, WarnsAndEvaluatesFiveParameters) {
    const float a[6] = {0, 0.4f, 100.0f, 12.0f, 180.0f, 15.0f};
    const float x = 131.0f;
    BufferSink quiet;
    Eval five;
    bimodal_gauss(x, a, five.y, five.d, 5, 10000.0f, quiet);
    EXPECT_TRUE(quiet.out_text.empty());

    BufferSink sink;
    Eval other;
    bimodal_gauss(x, a, other.y, other.d, GetParam(), 10000.0f, sink);
    EXPECT_EQ(sink.out_text, "this function assumes 5 parameters\n");
    EXPECT_TRUE(sink.err_text.empty());
    EXPECT_EQ(bits(other.y), bits(five.y));
    for (int i = 1; i <= 5; ++i) EXPECT_EQ(bits(other.d[i]), bits(five.d[i])) << "dyda[" << i << "]";
}

INSTANTIATE_TEST_SUITE_P(Counts, BimodalGaussParamCount, ::testing::Values(0, 4, 6));

TEST(BimodalGauss, MatchesStatedPrecisionBitForBit) {
    int differs_from_all_double_y = 0;
    int differs_from_all_double_single_derivs = 0;
    int differs_from_all_double_double_derivs = 0;
    for (const ParamSet& p : parameter_sets()) {
        for (int xi = 0; xi < 256; ++xi) {
            const float x = static_cast<float>(xi);
            const Eval got = evaluate(x, p.a, p.total);
            const Eval want = stated_precision_model(x, p.a, p.total);
            const Eval naive = all_double_model(x, p.a, p.total);
            ASSERT_EQ(bits(got.y), bits(want.y)) << "y at x=" << x << " c1=" << p.a[1];
            for (int i = 1; i <= 5; ++i)
                ASSERT_EQ(bits(got.d[i]), bits(want.d[i])) << "dyda[" << i << "] at x=" << x << " c1=" << p.a[1];
            differs_from_all_double_y += bits(got.y) != bits(naive.y);
            for (int i = 1; i <= 3; ++i) differs_from_all_double_single_derivs += bits(got.d[i]) != bits(naive.d[i]);
            for (int i = 4; i <= 5; ++i) differs_from_all_double_double_derivs += bits(got.d[i]) != bits(naive.d[i]);
        }
    }
    // The grid is fine enough that each stated precision step shows.
    EXPECT_GT(differs_from_all_double_y, 0);
    EXPECT_GT(differs_from_all_double_single_derivs, 0);
    EXPECT_GT(differs_from_all_double_double_derivs, 0);
}

TEST(BimodalGauss, DerivativesMatchCentralDifferences) {
    for (const ParamSet& p : parameter_sets()) {
        double pd[6];
        for (int i = 1; i <= 5; ++i) pd[i] = p.a[i];
        for (int i = 1; i <= 5; ++i) {
            // Scale of this derivative over the grid, for an absolute bound.
            double scale = 0.0;
            std::vector<double> numeric(256);
            std::vector<float> analytic(256);
            const double h = 1e-4;
            for (int xi = 0; xi < 256; ++xi) {
                double up[6], down[6];
                std::memcpy(up, pd, sizeof pd);
                std::memcpy(down, pd, sizeof pd);
                up[i] += h;
                down[i] -= h;
                numeric[xi] = (model_in_double(xi, up, p.total) - model_in_double(xi, down, p.total)) / (2 * h);
                analytic[xi] = evaluate(static_cast<float>(xi), p.a, p.total).d[i];
                scale = std::max(scale, std::fabs(numeric[xi]));
            }
            ASSERT_GT(scale, 0.0);
            for (int xi = 0; xi < 256; ++xi)
                EXPECT_NEAR(analytic[xi], numeric[xi], 1e-4 * scale)
                    << "dyda[" << i << "] at x=" << xi << " c1=" << p.a[1];
        }
    }
}

}  // namespace
}  // namespace zentrel
