// The batched model and the fitter's sums against the scalar model, bit for
// bit, over ordinary, extreme and non-finite parameters, for every build of
// the vectorised loops this machine runs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "numeric/arrays.h"
#include "numeric/bimodal_gauss.h"
#include "numeric/marquardt.h"

namespace zentrel {
namespace {

std::uint32_t bits(float v) {
    std::uint32_t u;
    std::memcpy(&u, &v, sizeof u);
    return u;
}

std::vector<Isa> variants() {
    std::vector<Isa> list{Isa::portable};
    if (isa_supported(Isa::avx2)) list.push_back(Isa::avx2);
    if (isa_supported(Isa::avx512)) list.push_back(Isa::avx512);
    return list;
}

class Random {
public:
    explicit Random(std::uint64_t seed) : s_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (s_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    float uniform(float lo, float hi) {
        return lo + (hi - lo) * static_cast<float>(static_cast<double>(next() >> 11) * 0x1p-53);
    }

private:
    std::uint64_t s_;
};

struct Params {
    float a[6];  // 1-based
    float total;
};

std::string describe(const Params& p) {
    char text[160];
    std::snprintf(text, sizeof text, "c1=%a mean1=%a sigma1=%a mean2=%a sigma2=%a total=%a", p.a[1], p.a[2],
                  p.a[3], p.a[4], p.a[5], p.total);
    return text;
}

// Plausible fits, then every kind of extreme value in each position.
std::vector<Params> parameter_sets() {
    std::vector<Params> sets;
    Random rng(7);
    for (int k = 0; k < 300; ++k) {
        sets.push_back({{0, rng.uniform(0.05f, 0.95f), rng.uniform(20.0f, 160.0f), rng.uniform(0.5f, 40.0f),
                         rng.uniform(90.0f, 250.0f), rng.uniform(0.5f, 40.0f)},
                        rng.uniform(50.0f, 70000.0f)});
    }
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const float sigmas[] = {1e-30f, 1e-20f, 1e-3f, 0.05f, 0.0f, -0.0f, -7.5f, 1e5f, 1e20f, 1e30f, inf, nan};
    const float weights[] = {-0.5f, 0.0f, 1.0f, 1.5f, 3.0e7f, nan};
    const float means[] = {-1e30f, -300.0f, 0.5f, 255.0f, 4000.0f, 1e30f, inf, nan};
    const float totals[] = {0.0f, 1.0f, 3.0e38f, inf, nan};
    const Params base{{0, 0.4f, 100.0f, 12.0f, 180.0f, 15.0f}, 10000.0f};
    for (float s : sigmas) {
        for (int slot : {3, 5}) {
            Params p = base;
            p.a[slot] = s;
            sets.push_back(p);
        }
        Params both = base;
        both.a[3] = both.a[5] = s;
        sets.push_back(both);
    }
    for (float c : weights) {
        Params p = base;
        p.a[1] = c;
        sets.push_back(p);
    }
    for (float m : means) {
        for (int slot : {2, 4}) {
            Params p = base;
            p.a[slot] = m;
            sets.push_back(p);
        }
    }
    for (float t : totals) {
        Params p = base;
        p.total = t;
        sets.push_back(p);
    }
    return sets;
}

// Grey levels as the fit uses them, then abscissae between and beyond them.
std::vector<float> abscissae() {
    std::vector<float> x;
    for (int i = 0; i < 256; ++i) x.push_back(static_cast<float>(i));
    Random rng(11);
    for (int i = 0; i < 444; ++i) x.push_back(rng.uniform(-600.0f, 900.0f));
    x.push_back(std::numeric_limits<float>::quiet_NaN());
    x.push_back(-std::numeric_limits<float>::infinity());
    return x;
}

// Equal bits; NaNs match any NaN (which payload survives an operation with
// two NaN operands is the compiler's choice, in either path).
bool same(float got, float want) { return bits(got) == bits(want) || (got != got && want != want); }

TEST(ModelBatch, EqualsScalarModelBitForBit) {
    const std::vector<float> x = abscissae();
    const int n = static_cast<int>(x.size());
    std::vector<float> y(x.size()), rows[5];
    for (auto& r : rows) r.resize(x.size());
    float* const dyda[5] = {rows[0].data(), rows[1].data(), rows[2].data(), rows[3].data(), rows[4].data()};
    SilentSink sink;
    int nan_seen = 0, zero_exp_seen = 0;
    for (Isa isa : variants()) {
        for (const Params& p : parameter_sets()) {
            bimodal_gauss_batch(x.data(), n, p.a, p.total, y.data(), dyda, isa);
            for (int i = 0; i < n; ++i) {
                float want_y, want_d[6];
                bimodal_gauss(x[i], p.a, want_y, want_d, 5, p.total, sink);
                ASSERT_TRUE(same(y[i], want_y)) << describe(p) << " x=" << x[i] << " y " << y[i] << " vs " << want_y;
                for (int l = 1; l <= 5; ++l) {
                    ASSERT_TRUE(same(dyda[l - 1][i], want_d[l]))
                        << describe(p) << " x=" << x[i] << " dyda[" << l << "] " << dyda[l - 1][i] << " vs "
                        << want_d[l];
                }
                nan_seen += want_y != want_y;
                zero_exp_seen += want_d[2] == 0.0f && want_d[4] == 0.0f;
            }
        }
    }
    // The sets reach non-finite results and points far out on both tails.
    EXPECT_GT(nan_seen, 0);
    EXPECT_GT(zero_exp_seen, 0);
}

// The span variant over the grey levels: the points it fills as the scalar
// model gives them, the ones it leaves out zero there, its bounds aligned.
TEST(ModelBatch, SpanLeavesOutOnlyZeroPoints) {
    float x[NDATA], y[NDATA], rows[5][NDATA];
    float* const dyda[5] = {rows[0], rows[1], rows[2], rows[3], rows[4]};
    for (int i = 0; i < NDATA; ++i) x[i] = static_cast<float>(i);
    SilentSink sink;
    int shortened = 0;
    for (Isa isa : variants()) {
        for (const Params& p : parameter_sets()) {
            int first = -1, end = -1;
            bimodal_gauss_span(x, NDATA, p.a, p.total, y, dyda, isa, first, end);
            ASSERT_TRUE(0 <= first && first <= end && end <= NDATA) << describe(p);
            ASSERT_TRUE(first % SPAN_ALIGN == 0 && (end % SPAN_ALIGN == 0 || end == NDATA)) << describe(p);
            shortened += end - first < NDATA;
            for (int i = 0; i < NDATA; ++i) {
                float want_y, want_d[6];
                bimodal_gauss(x[i], p.a, want_y, want_d, 5, p.total, sink);
                if (i < first || i >= end) {
                    ASSERT_EQ(want_y, 0.0f) << describe(p) << " x=" << x[i];
                    for (int l = 1; l <= 5; ++l) ASSERT_EQ(want_d[l], 0.0f) << describe(p) << " x=" << x[i];
                    continue;
                }
                ASSERT_TRUE(same(y[i], want_y)) << describe(p) << " x=" << x[i];
                for (int l = 1; l <= 5; ++l) ASSERT_TRUE(same(dyda[l - 1][i], want_d[l])) << describe(p) << " x=" << x[i];
            }
        }
    }
    EXPECT_GT(shortened, 0);
}

// The fitter's sums written out point by point with the scalar model: float
// sums in point order over the fitted parameters only.
struct Sums {
    float alpha[6][6] = {};
    float beta[6] = {};
    float chisq = 0.0f;
};

Sums reference_sums(const float x[], const float y[], const float sig[], const float a[], const int ia[],
                    float total) {
    int index[6], nf = 0;
    for (int l = 1; l <= 5; ++l)
        if (ia[l]) index[++nf] = l;
    Sums s;
    SilentSink sink;
    for (int i = 1; i <= NDATA; ++i) {
        float ymod, dyda[6];
        bimodal_gauss(x[i], a, ymod, dyda, 5, total, sink);
        const float w = static_cast<float>(1.0 / static_cast<double>(sig[i] * sig[i]));
        const float dy = y[i] - ymod;
        for (int j = 1; j <= nf; ++j) {
            const float wt = dyda[index[j]] * w;
            for (int k = 1; k <= j; ++k) s.alpha[j][k] += wt * dyda[index[k]];
            s.beta[j] += dy * wt;
        }
        s.chisq += dy * dy * w;
    }
    return s;
}

TEST(ModelBatch, FitterSumsEqualPointwiseReference) {
    const int flag_sets[][6] = {{0, 1, 1, 1, 1, 1}, {0, 1, 0, 1, 0, 1}, {0, 0, 1, 1, 0, 0}, {0, 0, 0, 0, 0, 1},
                                {0, 0, 0, 0, 0, 0}};
    Random rng(3);
    float** alpha = matrix(1, 5, 1, 5);
    int compared = 0;
    for (const Params& p : parameter_sets()) {
        // Noisy counts of a nearby mixture; unit sigmas as the analysis uses,
        // or uneven ones.
        float x[NDATA + 1], y[NDATA + 1], sig[NDATA + 1];
        const bool unit = rng.next() % 2 == 0;
        for (int i = 1; i <= NDATA; ++i) {
            x[i] = static_cast<float>(i - 1);
            y[i] = std::floor(rng.uniform(0.0f, 40.0f) * rng.uniform(0.0f, 1.0f));
            sig[i] = unit ? 1.0f : rng.uniform(0.3f, 3.0f);
        }
        for (const int* ia : flag_sets) {
            for (Isa isa : variants()) {
                float beta[6] = {};
                float chisq = -1.0f;
                for (int r = 1; r <= 5; ++r)
                    for (int c = 1; c <= 5; ++c) alpha[r][c] = -77.0f;
                marquardt_coef(x, y, sig, p.a, ia, alpha, beta, chisq, p.total, isa);
                const Sums want = reference_sums(x, y, sig, p.a, ia, p.total);
                ASSERT_TRUE(same(chisq, want.chisq)) << describe(p);
                int nf = 0;
                for (int l = 1; l <= 5; ++l) nf += ia[l] != 0;
                for (int j = 1; j <= 5; ++j) {
                    if (j <= nf) {
                        ASSERT_TRUE(same(beta[j], want.beta[j])) << describe(p) << " beta " << j;
                    }
                    for (int k = 1; k <= 5; ++k) {
                        const float expected = j > nf || k > nf ? -77.0f : want.alpha[std::max(j, k)][std::min(j, k)];
                        ASSERT_TRUE(same(alpha[j][k], expected)) << describe(p) << " alpha " << j << "," << k;
                    }
                }
                ++compared;
            }
        }
    }
    free_matrix(alpha, 1, 5, 1, 5);
    EXPECT_GT(compared, 1000);
}

}  // namespace
}  // namespace zentrel
