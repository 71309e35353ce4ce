#include "numeric/marquardt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "numeric/arrays.h"

namespace zentrel {
namespace {

using Params = std::array<float, NPARAM + 1>;  // 1-based
using Flags = std::array<int, NPARAM + 1>;     // 1-based

constexpr Params kTruth = {0, 0.4f, 100.0f, 12.0f, 180.0f, 15.0f};
constexpr Params kNearStart = {0, 0.42f, 101.0f, 12.5f, 179.0f, 15.5f};
constexpr Flags kAllFlags = {0, 1, 1, 1, 1, 1};

std::uint32_t bits(float v) {
    std::uint32_t u;
    std::memcpy(&u, &v, sizeof u);
    return u;
}

class Mat {
public:
    Mat() : m_(matrix(1, NPARAM, 1, NPARAM)) { fill(-77.0f); }
    ~Mat() { free_matrix(m_, 1, NPARAM, 1, NPARAM); }
    Mat(const Mat&) = delete;
    Mat& operator=(const Mat&) = delete;
    float** get() { return m_; }
    float* operator[](int i) const { return m_[i]; }
    void fill(float v) {
        for (int i = 1; i <= NPARAM; ++i) std::fill(m_[i] + 1, m_[i] + NPARAM + 1, v);
    }
    std::vector<std::uint32_t> snapshot() const {
        std::vector<std::uint32_t> s;
        for (int i = 1; i <= NPARAM; ++i)
            for (int j = 1; j <= NPARAM; ++j) s.push_back(bits(m_[i][j]));
        return s;
    }

private:
    float** m_;
};

// 256 points (1-based) as the region analysis hands them over: the mixture
// kTruth x 10000 rounded to whole counts, unit sigmas, total = float sum.
struct Data {
    std::array<float, NDATA + 1> x{}, y{}, sig{};
    float total = 0.0f;
};

Data histogram(float x_offset = 0.0f) {
    Data d;
    SilentSink sink;
    for (int i = 1; i <= NDATA; ++i) {
        float dyda[NPARAM + 1];
        bimodal_gauss(static_cast<float>(i - 1), kTruth.data(), d.y[i], dyda, NPARAM, 10000.0f, sink);
        d.y[i] = std::nearbyint(d.y[i]);
        d.x[i] = static_cast<float>(i - 1) + x_offset;
        d.sig[i] = 1.0f;
        d.total += d.y[i];
    }
    return d;
}

struct Coef {
    Mat alpha;
    std::array<float, NPARAM + 1> beta{};
    float chisq = 0.0f;
    Coef(const Data& d, const Params& a, const Flags& ia) {
        marquardt_coef(d.x.data(), d.y.data(), d.sig.data(), a.data(), ia.data(), alpha.get(), beta.data(), chisq,
                       d.total);
    }
};

// Solves (alpha with its diagonal times damping) x = rhs in double.
std::vector<double> solve(Mat& alpha, const float* rhs, int n, double damping) {
    std::vector<std::vector<double>> m(n, std::vector<double>(n + 1));
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) m[i][j] = alpha[i + 1][j + 1] * (i == j ? damping : 1.0);
        m[i][n] = rhs[i + 1];
    }
    for (int c = 0; c < n; ++c) {
        int p = c;
        for (int r = c + 1; r < n; ++r)
            if (std::fabs(m[r][c]) > std::fabs(m[p][c])) p = r;
        std::swap(m[p], m[c]);
        for (int r = 0; r < n; ++r)
            for (int k = n; k >= c && r != c; --k) m[r][k] -= m[r][c] / m[c][c] * m[c][k];
    }
    std::vector<double> x(n);
    for (int i = 0; i < n; ++i) x[i] = m[i][n] / m[i][i];
    return x;
}

void expect_step(Mat& alpha, const float* beta, double damping, const Params& from, const float* to) {
    const std::vector<double> step = solve(alpha, beta, NPARAM, damping);
    for (int l = 1; l <= NPARAM; ++l)
        EXPECT_NEAR(double{to[l]} - from[l], step[l - 1], 1e-3 * std::fabs(step[l - 1]) + 1e-5) << "parameter " << l;
}

struct Fit {
    explicit Fit(const Data& d, const Params& start, const Flags& flags = kAllFlags) : data(d), a(start), ia(flags) {}
    int call(float lam) {
        lambda = lam;
        return call();
    }
    int call() {
        return marquardt_step(state, data.x.data(), data.y.data(), data.sig.data(), a.data(), ia.data(), covar.get(),
                              alpha.get(), chisq, data.total, lambda);
    }
    MarquardtState state;
    Data data;
    Params a;
    Flags ia;
    Mat covar, alpha;
    float chisq = -1.0f, lambda = 0.0f;
};

class MarquardtCoefFlags : public ::testing::TestWithParam<Flags> {};

TEST_P(MarquardtCoefFlags, MatchesPointwiseSumsInPointOrder) {
    const Flags ia = GetParam();
    Data d = histogram();
    for (int i = 1; i <= NDATA; ++i) {
        d.y[i] += static_cast<float>((i * 37) % 11) - 5.0f;  // fixed pseudo-noise
        d.sig[i] = 1.0f + 0.37f * static_cast<float>(i % 7);
    }
    const Coef got(d, kNearStart, ia);

    int index[NPARAM + 1], nf = 0;
    for (int l = 1; l <= NPARAM; ++l)
        if (ia[l]) index[++nf] = l;
    float alpha[NPARAM + 1][NPARAM + 1] = {}, beta[NPARAM + 1] = {}, chisq = 0.0f;
    SilentSink sink;
    for (int i = 1; i <= NDATA; ++i) {
        float ymod, dyda[NPARAM + 1];
        bimodal_gauss(d.x[i], kNearStart.data(), ymod, dyda, NPARAM, d.total, sink);
        const float sq = d.sig[i] * d.sig[i], w = static_cast<float>(1.0 / double{sq}), dy = d.y[i] - ymod;
        for (int j = 1; j <= nf; ++j) {
            const float wt = dyda[index[j]] * w;
            for (int k = 1; k <= j; ++k) alpha[j][k] += wt * dyda[index[k]];
            beta[j] += dy * wt;
        }
        chisq += dy * dy * w;
    }
    EXPECT_EQ(bits(got.chisq), bits(chisq));
    for (int j = 1; j <= nf; ++j) {
        EXPECT_EQ(bits(got.beta[j]), bits(beta[j])) << "beta " << j;
        for (int k = 1; k <= j; ++k) {
            EXPECT_EQ(bits(got.alpha[j][k]), bits(alpha[j][k])) << j << "," << k;
            EXPECT_EQ(bits(got.alpha[k][j]), bits(alpha[j][k])) << k << "," << j;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Patterns, MarquardtCoefFlags,
                         ::testing::Values(Flags{0, 1, 1, 1, 1, 1}, Flags{0, 1, 0, 1, 0, 1}, Flags{0, 0, 1, 1, 0, 0},
                                           Flags{0, 0, 0, 0, 0, 1}, Flags{0, 1, 1, 0, 1, 1}));

TEST(MarquardtStep, InitialCallTakesDampedStepAndAcceptsIt) {
    Fit fit(histogram(), kNearStart);
    Coef start(fit.data, kNearStart, kAllFlags);
    EXPECT_EQ(fit.call(-1.0f), 0);
    EXPECT_EQ(fit.lambda, static_cast<float>(double{0.001f} * 0.1));
    EXPECT_FLOAT_EQ(fit.lambda, 0.0001f);
    ASSERT_LT(fit.chisq, start.chisq);
    EXPECT_EQ(bits(fit.state.old_chisq), bits(fit.chisq));
    expect_step(start.alpha, start.beta.data(), 1.0 + double{0.001f}, kNearStart, fit.a.data());

    // alpha, gradient and chisq now belong to the accepted parameters.
    Coef now(fit.data, fit.a, kAllFlags);
    EXPECT_EQ(fit.alpha.snapshot(), now.alpha.snapshot());
    EXPECT_EQ(bits(fit.chisq), bits(now.chisq));
    for (int j = 1; j <= NPARAM; ++j) EXPECT_EQ(bits(fit.state.gradient[j]), bits(now.beta[j]));
}

// One fitted parameter: the step can be followed bit by bit (damped
// diagonal in double, reciprocal pivot, one float product and sum).
class MarquardtSingleParameter : public ::testing::TestWithParam<int> {};

TEST_P(MarquardtSingleParameter, StepIsBitExact) {
    const int p = GetParam();
    Flags ia{};
    ia[p] = 1;
    Fit fit(histogram(), kNearStart, ia);
    Coef start(fit.data, kNearStart, ia);
    fit.call(-1.0f);
    const float damped = static_cast<float>(double{start.alpha[1][1]} * (1.0 + double{0.001f}));
    const float step = start.beta[1] * static_cast<float>(1.0 / double{damped});
    EXPECT_EQ(bits(fit.state.rhs[1][1]), bits(step));
    for (int l = 1; l <= NPARAM; ++l)
        EXPECT_EQ(bits(fit.state.trial_a[l]), bits(l == p ? kNearStart[l] + step : kNearStart[l])) << l;
}

INSTANTIATE_TEST_SUITE_P(Each, MarquardtSingleParameter, ::testing::Range(1, NPARAM + 1));

TEST(MarquardtStep, AcceptsOnlyLowerChiSquareAndScalesDampingInDouble) {
    // Four accepted steps, then rejections once chi-square settles. A tenth
    // of 1e-6 taken in double differs from the float product.
    Fit fit(histogram(), kNearStart);
    fit.call(-1.0f);
    int accepted = 0, rejected = 0;
    for (int k = 0; k < 12; ++k) {
        const float before = fit.lambda, old_chisq = fit.state.old_chisq;
        const Params a = fit.a;
        fit.call();
        if (fit.chisq < old_chisq) {
            ++accepted;
            EXPECT_EQ(fit.lambda, static_cast<float>(double{before} * 0.1)) << "call " << k;
            EXPECT_EQ(0, std::memcmp(fit.a.data() + 1, fit.state.trial_a + 1, NPARAM * sizeof(float)));
        } else {
            ++rejected;
            EXPECT_EQ(fit.lambda, static_cast<float>(double{before} * 10.0)) << "call " << k;
            EXPECT_EQ(bits(fit.chisq), bits(old_chisq));
            EXPECT_EQ(fit.a, a);
        }
    }
    EXPECT_GE(accepted, 3);
    EXPECT_GE(rejected, 3);
}

TEST(MarquardtStep, EqualChiSquareIsRejected) {
    // Data equal to the model: chi-square 0, a zero step, and 0 < 0 fails.
    Data d = histogram();
    SilentSink sink;
    for (int i = 1; i <= NDATA; ++i) {
        float dyda[NPARAM + 1];
        bimodal_gauss(d.x[i], kTruth.data(), d.y[i], dyda, NPARAM, d.total, sink);
    }
    Fit fit(d, kTruth);
    fit.call(-1.0f);
    EXPECT_EQ(fit.lambda, static_cast<float>(double{0.001f} * 10.0));
    EXPECT_FLOAT_EQ(fit.lambda, 0.01f);
    EXPECT_EQ(fit.chisq, 0.0f);
    EXPECT_EQ(fit.a, kTruth);
}

TEST(MarquardtStep, NothingFittedRepeatsChiSquareAndIsRejected) {
    Fit fit(histogram(), kNearStart, Flags{});
    Coef start(fit.data, kNearStart, Flags{});
    ASSERT_GT(start.chisq, 0.0f);
    EXPECT_EQ(fit.call(-1.0f), 0);
    EXPECT_EQ(bits(fit.chisq), bits(start.chisq));
    EXPECT_EQ(fit.lambda, static_cast<float>(double{0.001f} * 10.0));
    EXPECT_EQ(fit.a, kNearStart);
    EXPECT_EQ(fit.call(0.0f), 0);
    for (int l = 1; l <= NPARAM; ++l)
        for (int m = 1; m <= NPARAM; ++m) EXPECT_EQ(fit.covar[l][m], 0.0f) << l << "," << m;
}

TEST(MarquardtStep, RejectionKeepsAcceptedPointAndRetriesWithMoreDamping) {
    // Two broad overlapping components between the true ones: the nearly
    // undamped first step overshoots.
    const Params poor = {0, 0.5f, 128.0f, 40.0f, 130.0f, 40.0f};
    Fit fit(histogram(), poor);
    Coef start(fit.data, poor, kAllFlags);
    fit.call(-1.0f);
    ASSERT_EQ(fit.lambda, static_cast<float>(double{0.001f} * 10.0)) << "expected a rejected first step";
    EXPECT_EQ(bits(fit.chisq), bits(start.chisq));
    EXPECT_EQ(fit.a, poor);
    EXPECT_EQ(fit.alpha.snapshot(), start.alpha.snapshot());
    EXPECT_EQ(0, std::memcmp(fit.state.gradient + 1, start.beta.data() + 1, NPARAM * sizeof(float)));

    const float damping = fit.lambda;
    fit.call();
    expect_step(start.alpha, start.beta.data(), 1.0 + double{damping}, poor, fit.state.trial_a);
}

// The final call leaves a, chisq, lambda and alpha alone and spreads the
// undamped inverse over the fitted indices; fixed parameters never move.
class MarquardtFinalCall : public ::testing::TestWithParam<Flags> {};

TEST_P(MarquardtFinalCall, WritesCovarianceOnly) {
    const Flags ia = GetParam();
    const Params start = {0, 0.45f, 101.0f, 13.0f, 181.0f, 14.0f};
    Fit fit(histogram(), start, ia);
    fit.call(-1.0f);
    for (int k = 0; k < 5; ++k) {
        for (int l = 1; l <= NPARAM; ++l) {
            if (ia[l]) continue;
            EXPECT_EQ(bits(fit.a[l]), bits(start[l]));
            EXPECT_EQ(bits(fit.state.trial_a[l]), bits(start[l]));
        }
        fit.call();
    }
    const Params a = fit.a;
    const float chisq = fit.chisq;
    const auto alpha = fit.alpha.snapshot();
    int index[NPARAM + 1], nf = 0;
    for (int l = 1; l <= NPARAM; ++l)
        if (ia[l]) index[++nf] = l;
    std::vector<std::vector<double>> want(nf);
    for (int k = 1; k <= nf; ++k) {
        float unit[NPARAM + 1] = {};
        unit[k] = 1.0f;
        want[k - 1] = solve(fit.alpha, unit, nf, 1.0);  // column k of the inverse
    }

    EXPECT_EQ(fit.call(0.0f), 0);
    EXPECT_FALSE(fit.state.fitting());
    EXPECT_EQ(fit.lambda, 0.0f);
    EXPECT_EQ(bits(fit.chisq), bits(chisq));
    EXPECT_EQ(fit.a, a);
    EXPECT_EQ(fit.alpha.snapshot(), alpha);
    for (int l = 1; l <= NPARAM; ++l)
        for (int m = 1; m <= NPARAM; ++m)
            if (!ia[l] || !ia[m]) {
                EXPECT_EQ(fit.covar[l][m], 0.0f) << l << "," << m;
            }
    for (int j = 1; j <= nf; ++j)
        for (int k = 1; k <= nf; ++k)
            EXPECT_NEAR(fit.covar[index[j]][index[k]], want[k - 1][j - 1],
                        2e-3 * std::sqrt(want[j - 1][j - 1] * want[k - 1][k - 1]))
                << index[j] << "," << index[k];
}

INSTANTIATE_TEST_SUITE_P(FlagSets, MarquardtFinalCall, ::testing::Values(kAllFlags, Flags{0, 1, 0, 1, 0, 1}));

TEST(MarquardtStep, FailedSolveChangesNothing) {
    // Abscissae far beyond both components: all derivatives and so the
    // damped curvature are zero.
    Fit fit(histogram(5000.0f), kNearStart);
    Coef start(fit.data, kNearStart, kAllFlags);
    EXPECT_EQ(fit.call(-1.0f), -2);
    EXPECT_EQ(fit.lambda, 0.001f);
    EXPECT_EQ(bits(fit.chisq), bits(start.chisq));
    EXPECT_EQ(fit.a, kNearStart);
    // A failed final call keeps the arrays for the next initial call.
    EXPECT_EQ(fit.call(0.0f), -2);
    EXPECT_TRUE(fit.state.fitting());

    fit.data = histogram();
    EXPECT_EQ(fit.call(-1.0f), 0);
    const Params a = fit.a;
    const float chisq = fit.chisq, lambda = fit.lambda;
    fit.alpha.fill(0.0f);
    EXPECT_EQ(fit.call(), -2);
    EXPECT_EQ(bits(fit.chisq), bits(chisq));
    EXPECT_EQ(bits(fit.lambda), bits(lambda));
    EXPECT_EQ(fit.a, a);
}

TEST(MarquardtStep, StepWithoutFitIsRefused) {
    Fit fit(histogram(), kNearStart);
    EXPECT_THROW(fit.call(0.01f), std::logic_error);
    EXPECT_THROW(fit.call(0.0f), std::logic_error);
}

struct AllocationCase {
    long failing;  // which allocation of the initial call fails
    const char* message;
};

void PrintTo(const AllocationCase& c, std::ostream* os) { *os << "allocation " << c.failing; }

class MarquardtAllocationCount : public ::testing::Test {
protected:
    void TearDown() override { fail_allocation_after(0); }
};

class MarquardtAllocation : public MarquardtAllocationCount, public ::testing::WithParamInterface<AllocationCase> {};

TEST_P(MarquardtAllocation, FailureReleasesEverything) {
    for (bool fit_held : {false, true}) {
        Fit fit(histogram(), kNearStart);
        if (fit_held) fit.call(-1.0f);
        fail_allocation_after(GetParam().failing);
        try {
            fit.call(-1.0f);
            ADD_FAILURE() << "no allocation failure";
        } catch (const AllocationFailure& e) {
            EXPECT_EQ(e.message(), std::string("Numerical Recipes run-time error...\n") + GetParam().message +
                                       "\n...now exiting to system...\n");
        }
        fail_allocation_after(0);
        EXPECT_FALSE(fit.state.fitting());
        EXPECT_EQ(fit.state.rhs, nullptr);
        EXPECT_EQ(fit.call(-1.0f), 0);  // usable again
    }
}

INSTANTIATE_TEST_SUITE_P(InitialCall, MarquardtAllocation,
                         ::testing::Values(AllocationCase{1, "allocation failure in vector()"},
                                           AllocationCase{2, "allocation failure in vector()"},
                                           AllocationCase{3, "allocation failure in vector()"},
                                           AllocationCase{4, "allocation failure 1 in matrix()"},
                                           AllocationCase{5, "allocation failure 2 in matrix()"}));

TEST_F(MarquardtAllocationCount, OnlyTheInitialCallAllocates) {
    Fit fit(histogram(), kNearStart);
    fail_allocation_after(6);
    EXPECT_NO_THROW(fit.call(-1.0f));
    EXPECT_NO_THROW(fit.call());
    EXPECT_NO_THROW(fit.call(0.0f));
}

TEST(MarquardtFit, RecoversMixtureFromHistogram) {
    // As the region analysis drives it: initial call, up to 19 more, final.
    Fit fit(histogram(), {0, 0.5f, 90.0f, 18.0f, 170.0f, 22.0f});
    fit.call(-1.0f);
    for (int iter_num = 1; iter_num < 20; ++iter_num) fit.call();
    fit.call(0.0f);
    EXPECT_NEAR(fit.a[1], kTruth[1], 0.002f);
    for (int l = 2; l <= NPARAM; ++l) EXPECT_NEAR(fit.a[l], kTruth[l], 0.05f) << "parameter " << l;
    EXPECT_LT(fit.chisq, 0.25f * NDATA);  // whole-count rounding: at most 1/4 per bin
    for (int l = 1; l <= NPARAM; ++l) EXPECT_GT(fit.covar[l][l], 0.0f) << "variance " << l;
}

}  // namespace
}  // namespace zentrel
