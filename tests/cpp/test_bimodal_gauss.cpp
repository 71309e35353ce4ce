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

// Bits of y and dy/da[1..5] at a few points of the first, third and fifth
// parameter sets, recorded from the model with its precision rules (float
// squares, the exponent's quotient in double, the second component in double
// from the float difference): a change of any float or double step shows.
struct Pinned {
    int set;
    float x;
    std::uint32_t bits[6];
};
const Pinned kPinned[] = {
    {0, 37.0f, {0x39104cefu, 0x39b4602bu, 0xb87c86a3u, 0x399fb527u, 0xa209a812u, 0x23a23c5au}},
    {0, 101.0f, {0x4304851du, 0x43a5a650u, 0x3f6b973fu, 0xc12f7750u, 0xb85ec9d7u, 0x398d61a0u}},
    {0, 131.0f, {0x40afe11fu, 0x412899edu, 0x3f8244ebu, 0x400f0d0du, 0xbe2b6d84u, 0x3efdc281u}},
    {0, 200.0f, {0x42833543u, 0xc2daae1cu, 0x29ad1891u, 0x2b31b63bu, 0x40ba9b66u, 0x4059b54bu}},
    {1, 37.0f, {0x3eccc0a6u, 0x3fa983bfu, 0xbe33c2bdu, 0x3f02b5d6u, 0xb9ac0308u, 0x3ab87f14u}},
    {1, 101.0f, {0x40e0693fu, 0xc1204ae4u, 0x373b1c17u, 0x387b164fu, 0xbf0c57eeu, 0x3f4bd98fu}},
    {1, 131.0f, {0x420f4d9eu, 0xc24cb807u, 0x211a8620u, 0x22b88a3bu, 0xbf8c1dcfu, 0xbf167996u}},
    {1, 200.0f, {0x40d7c3feu, 0xc11a1e47u, 0x00000000u, 0x00000000u, 0x3f084e90u, 0x3f49666du}},
    {2, 37.0f, {0x3db518dau, 0x3f380aafu, 0xbba46af0u, 0x3c177ca8u, 0x80000000u, 0x00000000u}},
    {2, 101.0f, {0x3f70c80au, 0x40f4b252u, 0xbc8411a3u, 0xbc495404u, 0x80000000u, 0x00000000u}},
    {2, 131.0f, {0x43189d96u, 0xc322fb8cu, 0x3ade1afbu, 0xbcf1d4dau, 0xc201b6f8u, 0xc26e840au}},
    {2, 200.0f, {0x3e7d54beu, 0x4000b9a1u, 0x3c32d50cu, 0x3c585ab2u, 0x00000000u, 0x00000000u}},
};

TEST(BimodalGauss, KeepsItsPrecisionBitForBit) {
    const int set_index[] = {0, 2, 4};
    for (const Pinned& p : kPinned) {
        const ParamSet& s = kSets[set_index[p.set]];
        const Eval got = evaluate(p.x, s.a, s.total);
        EXPECT_EQ(bits(got.y), p.bits[0]) << "y at x=" << p.x << " set " << p.set;
        for (int i = 1; i <= 5; ++i) EXPECT_EQ(bits(got.d[i]), p.bits[i]) << "dyda[" << i << "] at x=" << p.x;
    }
}

// Every bit of y and dy/da[1..5] at x = 0..255 for all six parameter sets,
// as one FNV-1a digest recorded from the same model: the points above say
// where a change shows, this that none shows anywhere.
TEST(BimodalGauss, KeepsEveryBitOnTheWholeGrid) {
    std::uint64_t digest = 1469598103934665603ull;
    for (const ParamSet& p : kSets) {
        for (int xi = 0; xi < 256; ++xi) {
            const Eval e = evaluate(static_cast<float>(xi), p.a, p.total);
            const float values[6] = {e.y, e.d[1], e.d[2], e.d[3], e.d[4], e.d[5]};
            for (float v : values) {
                const std::uint32_t u = bits(v);
                for (int b = 0; b < 4; ++b) {
                    digest ^= (u >> (8 * b)) & 0xffu;
                    digest *= 1099511628211ull;
                }
            }
        }
    }
    EXPECT_EQ(digest, 0xbc37a0749ee25a54ull);
}

TEST(BimodalGauss, FollowsTheModelInDouble) {
    int y_differs_from_double = 0;
    for (const ParamSet& p : kSets) {
        double pd[6];
        std::copy(p.a, p.a + 6, pd);
        for (int xi = 0; xi < 256; ++xi) {
            const float x = static_cast<float>(xi);
            const Eval got = evaluate(x, p.a, p.total);
            const double want = model_in_double(x, pd, p.total);
            EXPECT_NEAR(got.y, want, 1e-5 * std::fabs(want) + 1e-6 * p.total) << "y at x=" << x;
            y_differs_from_double += bits(got.y) != bits(static_cast<float>(want));
            for (int i = 1; i <= 5; ++i) {
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
