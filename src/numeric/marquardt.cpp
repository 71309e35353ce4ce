#include "numeric/marquardt.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "numeric/arrays.h"

namespace zentrel {

MarquardtState::~MarquardtState() { release(); }

void MarquardtState::release() {
    if (rhs) free_matrix(rhs, 1, std::max(fitted_count, 1), 1, 1);
    rhs = nullptr;
    if (delta_a) free_vector(delta_a, 1, NPARAM);
    delta_a = nullptr;
    if (gradient) free_vector(gradient, 1, NPARAM);
    gradient = nullptr;
    if (trial_a) free_vector(trial_a, 1, NPARAM);
    trial_a = nullptr;
}

namespace {

// Indices (1..5) of the fitted parameters, in order; returns their number.
int fitted_indices(const int ia[], int index[NPARAM]) {
    int n = 0;
    for (int l = 1; l <= NPARAM; ++l) {
        if (ia[l]) index[n++] = l;
    }
    return n;
}

// Sums over the points in point order, for every pair of parameters m <= l
// (all five, fitted or not; the caller picks the fitted ones): curv[l][m] =
// sum of (dyda_l w) dyda_m, grad[l] = sum of dy (dyda_l w), chi = sum of
// dy dy w. Each lane of a row adds its own products in the same order as a
// scalar loop would, so working on whole rows changes no bit.
struct PointSums {
    float curv[NPARAM][8];
    float grad[8];
    float chi;
};

// Residuals, and the weights unless every sigma is 1 (weight 1 exactly).
template <bool Unit>
ZENTREL_FORCE_INLINE void point_terms(const float* ZENTREL_RESTRICT y, const float* ZENTREL_RESTRICT sig,
                                      const float* ZENTREL_RESTRICT ymod, float* ZENTREL_RESTRICT weight,
                                      float* ZENTREL_RESTRICT dy, int n) {
    for (int i = 0; i < n; ++i) dy[i] = y[i] - ymod[i];
    if (Unit) return;
    for (int i = 0; i < n; ++i) {
        const float sig_sq = sig[i] * sig[i];
        weight[i] = static_cast<float>(1.0 / static_cast<double>(sig_sq));
    }
}

// True when every sigma is 1: each product with the weight 1 then is its
// other factor, bit for bit, and can be left out.
ZENTREL_FORCE_INLINE bool unit_sigmas(const float* ZENTREL_RESTRICT sig) {
    int others = 0;
    for (int i = 0; i < NDATA; ++i) others += sig[i] != 1.0f;
    return others == 0;
}

// True when no y is infinite or NaN: a zero derivative times dy is then 0.
ZENTREL_FORCE_INLINE bool finite_points(const float* ZENTREL_RESTRICT y) {
    int others = 0;
    for (int i = 0; i < NDATA; ++i) others += !(std::fabs(y[i]) <= 3.4028235e38f);
    return others == 0;
}

// ZENTREL_PLAIN_LOOPS selects the plain loops (what MSVC builds) elsewhere too.
#if (defined(__GNUC__) || defined(__clang__)) && !defined(ZENTREL_PLAIN_LOOPS)
// Rows of eight lanes in vector values; each operation acts lane by lane.
// AVX2 holds a row in one value, the portable build in two of four lanes.
typedef float Lanes8 __attribute__((vector_size(8 * sizeof(float))));
typedef float Lanes4 __attribute__((vector_size(4 * sizeof(float))));

template <class V>
ZENTREL_FORCE_INLINE void store(float* to, V lanes) {
    std::memcpy(to, &lanes, sizeof lanes);
}

// Lanes of a and b (indices 8..15 name b's) by eight constant indices.
#if defined(__clang__)
#define ZENTREL_SHUFFLE8(a, b, i0, i1, i2, i3, i4, i5, i6, i7) \
    __builtin_shufflevector(a, b, i0, i1, i2, i3, i4, i5, i6, i7)
#else
typedef int Index8 __attribute__((vector_size(8 * sizeof(int))));
#define ZENTREL_SHUFFLE8(a, b, i0, i1, i2, i3, i4, i5, i6, i7) \
    __builtin_shuffle(a, b, Index8{i0, i1, i2, i3, i4, i5, i6, i7})
#endif
#define ZENTREL_UNPACK_LO(a, b) ZENTREL_SHUFFLE8(a, b, 0, 8, 1, 9, 4, 12, 5, 13)
#define ZENTREL_UNPACK_HI(a, b) ZENTREL_SHUFFLE8(a, b, 2, 10, 3, 11, 6, 14, 7, 15)
#define ZENTREL_PAIRS_LO(a, b) ZENTREL_SHUFFLE8(a, b, 0, 1, 8, 9, 4, 5, 12, 13)
#define ZENTREL_PAIRS_HI(a, b) ZENTREL_SHUFFLE8(a, b, 2, 3, 10, 11, 6, 7, 14, 15)
#define ZENTREL_HALVES_LO(a, b) ZENTREL_SHUFFLE8(a, b, 0, 1, 2, 3, 8, 9, 10, 11)
#define ZENTREL_HALVES_HI(a, b) ZENTREL_SHUFFLE8(a, b, 4, 5, 6, 7, 12, 13, 14, 15)

// Rows (dyda_0..4, 0, 0, 0) of the eight points from first on: the five
// derivative arrays transposed eight points at a time, the values only
// moved.
ZENTREL_FORCE_INLINE void point_rows(const float (*ZENTREL_RESTRICT dyda)[NDATA], int first, Lanes8 rows[8]) {
    Lanes8 a, b, c, d, e;
    std::memcpy(&a, dyda[0] + first, sizeof a);
    std::memcpy(&b, dyda[1] + first, sizeof b);
    std::memcpy(&c, dyda[2] + first, sizeof c);
    std::memcpy(&d, dyda[3] + first, sizeof d);
    std::memcpy(&e, dyda[4] + first, sizeof e);
    const Lanes8 z = {};
    const Lanes8 ab_lo = ZENTREL_UNPACK_LO(a, b), ab_hi = ZENTREL_UNPACK_HI(a, b);
    const Lanes8 cd_lo = ZENTREL_UNPACK_LO(c, d), cd_hi = ZENTREL_UNPACK_HI(c, d);
    const Lanes8 e_lo = ZENTREL_UNPACK_LO(e, z), e_hi = ZENTREL_UNPACK_HI(e, z);
    const Lanes8 r04 = ZENTREL_PAIRS_LO(ab_lo, cd_lo), r15 = ZENTREL_PAIRS_HI(ab_lo, cd_lo);
    const Lanes8 r26 = ZENTREL_PAIRS_LO(ab_hi, cd_hi), r37 = ZENTREL_PAIRS_HI(ab_hi, cd_hi);
    const Lanes8 e04 = ZENTREL_PAIRS_LO(e_lo, z), e15 = ZENTREL_PAIRS_HI(e_lo, z);
    const Lanes8 e26 = ZENTREL_PAIRS_LO(e_hi, z), e37 = ZENTREL_PAIRS_HI(e_hi, z);
    rows[0] = ZENTREL_HALVES_LO(r04, e04);
    rows[4] = ZENTREL_HALVES_HI(r04, e04);
    rows[1] = ZENTREL_HALVES_LO(r15, e15);
    rows[5] = ZENTREL_HALVES_HI(r15, e15);
    rows[2] = ZENTREL_HALVES_LO(r26, e26);
    rows[6] = ZENTREL_HALVES_HI(r26, e26);
    rows[3] = ZENTREL_HALVES_LO(r37, e37);
    rows[7] = ZENTREL_HALVES_HI(r37, e37);
}

template <int W, bool Unit>
ZENTREL_FORCE_INLINE void point_sums(const float* ZENTREL_RESTRICT dy, const float* ZENTREL_RESTRICT weight,
                                     const float (*ZENTREL_RESTRICT dyda)[NDATA], int first, int end,
                                     float chi, PointSums& sums) {
    // The accumulators are named values, not an array, so that they stay
    // in registers across the loop.
    if constexpr (W == 8 && Unit) {
        // Each row built by moving lanes eight points at a time, the
        // scalar factors broadcast straight from memory; the points still
        // follow each other one by one.
        Lanes8 c0 = {}, c1 = {}, c2 = {}, c3 = {}, c4 = {}, grad = {};
        for (int start = first; start < end; start += 8) {
            Lanes8 rows[8];
            point_rows(dyda, start, rows);
            for (int j = 0; j < 8; ++j) {
                const int i = start + j;
                const Lanes8 d = rows[j];
                c0 += dyda[0][i] * d;
                c1 += dyda[1][i] * d;
                c2 += dyda[2][i] * d;
                c3 += dyda[3][i] * d;
                c4 += dyda[4][i] * d;
                grad += dy[i] * d;
                chi += dy[i] * dy[i];
            }
        }
        store(sums.curv[0], c0);
        store(sums.curv[1], c1);
        store(sums.curv[2], c2);
        store(sums.curv[3], c3);
        store(sums.curv[4], c4);
        store(sums.grad, grad);
    } else if constexpr (W == 8) {
        Lanes8 c0 = {}, c1 = {}, c2 = {}, c3 = {}, c4 = {}, grad = {};
        for (int i = first; i < end; ++i) {
            const Lanes8 d = {dyda[0][i], dyda[1][i], dyda[2][i], dyda[3][i], dyda[4][i], 0.0f, 0.0f, 0.0f};
            const float w = Unit ? 1.0f : weight[i];
            // Each (dyda_l w) is formed as a scalar and broadcast: the same
            // products as the row's lanes, with fewer shuffles.
            c0 += (dyda[0][i] * w) * d;
            c1 += (dyda[1][i] * w) * d;
            c2 += (dyda[2][i] * w) * d;
            c3 += (dyda[3][i] * w) * d;
            c4 += (dyda[4][i] * w) * d;
            grad += dy[i] * (d * w);
            chi += dy[i] * dy[i] * w;
        }
        store(sums.curv[0], c0);
        store(sums.curv[1], c1);
        store(sums.curv[2], c2);
        store(sums.curv[3], c3);
        store(sums.curv[4], c4);
        store(sums.grad, grad);
    } else {
        // Lanes 4..7 matter only in row 4 (the sums need m <= l) and in the
        // gradient.
        Lanes4 c0 = {}, c1 = {}, c2 = {}, c3 = {}, c4 = {}, c4h = {}, grad = {}, gradh = {};
        for (int i = first; i < end; ++i) {
            const Lanes4 d = {dyda[0][i], dyda[1][i], dyda[2][i], dyda[3][i]};
            const Lanes4 dh = {dyda[4][i], 0.0f, 0.0f, 0.0f};
            const float w = Unit ? 1.0f : weight[i];
            const float wt4 = dyda[4][i] * w;
            c0 += (dyda[0][i] * w) * d;
            c1 += (dyda[1][i] * w) * d;
            c2 += (dyda[2][i] * w) * d;
            c3 += (dyda[3][i] * w) * d;
            c4 += wt4 * d;
            c4h += wt4 * dh;
            grad += dy[i] * (d * w);
            gradh += dy[i] * (dh * w);
            chi += dy[i] * dy[i] * w;
        }
        const Lanes4 unused = {};
        store(sums.curv[0], c0);
        store(sums.curv[0] + 4, unused);
        store(sums.curv[1], c1);
        store(sums.curv[1] + 4, unused);
        store(sums.curv[2], c2);
        store(sums.curv[2] + 4, unused);
        store(sums.curv[3], c3);
        store(sums.curv[3] + 4, unused);
        store(sums.curv[4], c4);
        store(sums.curv[4] + 4, c4h);
        store(sums.grad, grad);
        store(sums.grad + 4, gradh);
    }
    sums.chi = chi;
}
#else
template <int W, bool Unit>
ZENTREL_FORCE_INLINE void point_sums(const float* ZENTREL_RESTRICT dy, const float* ZENTREL_RESTRICT weight,
                                     const float (*ZENTREL_RESTRICT dyda)[NDATA], int first, int end,
                                     float chi, PointSums& sums) {
    float curv[NPARAM][8] = {};
    float grad[8] = {};
    for (int i = first; i < end; ++i) {
        const float d[8] = {dyda[0][i], dyda[1][i], dyda[2][i], dyda[3][i], dyda[4][i], 0.0f, 0.0f, 0.0f};
        const float w = Unit ? 1.0f : weight[i];
        float wt[8];
        for (int l = 0; l < 8; ++l) wt[l] = d[l] * w;
        for (int l = 0; l < NPARAM; ++l) {
            for (int m = 0; m < 8; ++m) curv[l][m] += wt[l] * d[m];
        }
        for (int l = 0; l < 8; ++l) grad[l] += dy[i] * wt[l];
        chi += dy[i] * dy[i] * w;
    }
    std::memcpy(sums.curv, curv, sizeof sums.curv);
    std::memcpy(sums.grad, grad, sizeof sums.grad);
    sums.chi = chi;
}
#endif

// Model at every point, then the sums, in rows of W lanes (8 for AVX2 and
// AVX-512), the model by the variant isa.
template <int W, Isa isa>
ZENTREL_FORCE_INLINE void coef_body(const float x[], const float y[], const float sig[], const float a[],
                                    float total, PointSums& sums) {
    float ymod[NDATA];
    float dyda[NPARAM][NDATA];
    float* const rows[NPARAM] = {dyda[0], dyda[1], dyda[2], dyda[3], dyda[4]};
    float dy[NDATA];
    float weight[NDATA];
    if (unit_sigmas(sig + 1)) {
        // Points where the model and all its derivatives are 0 add nothing
        // to the sums (no sum is ever -0, so adding a zero of either sign
        // keeps its bits); chi-square still takes their y^2 in point order.
        // With a point that is not finite every point is summed.
        int first = 0, end = NDATA;
        if (finite_points(y + 1)) {
            bimodal_gauss_span(x + 1, NDATA, a, total, ymod, rows, isa, first, end);
        } else {
            bimodal_gauss_batch(x + 1, NDATA, a, total, ymod, rows, isa);
        }
        float chi = 0.0f;
        for (int i = 0; i < first; ++i) chi += y[i + 1] * y[i + 1];
        point_terms<true>(y + 1 + first, sig + 1, ymod + first, weight, dy + first, end - first);
        point_sums<W, true>(dy, weight, dyda, first, end, chi, sums);
        for (int i = end; i < NDATA; ++i) sums.chi += y[i + 1] * y[i + 1];
        return;
    }
    bimodal_gauss_batch(x + 1, NDATA, a, total, ymod, rows, isa);
    point_terms<false>(y + 1, sig + 1, ymod, weight, dy, NDATA);
    point_sums<W, false>(dy, weight, dyda, 0, NDATA, 0.0f, sums);
}

void coef_portable(const float x[], const float y[], const float sig[], const float a[], float total,
                   PointSums& sums) {
    coef_body<4, Isa::portable>(x, y, sig, a, total, sums);
}

#if ZENTREL_HAVE_AVX2
ZENTREL_TARGET_AVX2 void coef_avx2(const float x[], const float y[], const float sig[], const float a[],
                                   float total, PointSums& sums) {
    coef_body<8, Isa::avx2>(x, y, sig, a, total, sums);
}

ZENTREL_TARGET_AVX512 void coef_avx512(const float x[], const float y[], const float sig[], const float a[],
                                       float total, PointSums& sums) {
    coef_body<8, Isa::avx512>(x, y, sig, a, total, sums);
}
#endif

}  // namespace

void marquardt_coef(const float x[], const float y[], const float sig[], const float a[],
                    const int ia[], float** alpha, float beta[], float& chisq, float total, Isa isa) {
    PointSums sums;
#if ZENTREL_HAVE_AVX2
    if (isa == Isa::avx2) {
        coef_avx2(x, y, sig, a, total, sums);
    } else if (isa == Isa::avx512) {
        coef_avx512(x, y, sig, a, total, sums);
    } else {
        coef_portable(x, y, sig, a, total, sums);
    }
#else
    (void)isa;
    coef_portable(x, y, sig, a, total, sums);
#endif

    int index[NPARAM];
    const int nf = fitted_indices(ia, index);
    for (int j = 0; j < nf; ++j) {
        for (int k = 0; k <= j; ++k) {
            alpha[j + 1][k + 1] = alpha[k + 1][j + 1] = sums.curv[index[j] - 1][index[k] - 1];
        }
        beta[j + 1] = sums.grad[index[j] - 1];
    }
    chisq = sums.chi;
}

void marquardt_coef(const float x[], const float y[], const float sig[], const float a[],
                    const int ia[], float** alpha, float beta[], float& chisq, float total) {
    marquardt_coef(x, y, sig, a, ia, alpha, beta, chisq, total, preferred_isa());
}

int marquardt_step(MarquardtState& state, const float x[], const float y[], const float sig[],
                   float a[], const int ia[], float** covar, float** alpha, float& chisq,
                   float total, float& lambda) {
    if (lambda < 0.0f) {
        // A new fit replaces whatever an unfinished one left behind. Should an
        // allocation fail, nothing half-built is kept.
        state.release();
        try {
            state.trial_a = vector(1, NPARAM);
            state.gradient = vector(1, NPARAM);
            state.delta_a = vector(1, NPARAM);
            state.fitted_count = static_cast<int>(std::count_if(
                ia + 1, ia + 1 + NPARAM, [](int flag) { return flag != 0; }));
            // At least one row: the matrix layout needs row 1 even when
            // nothing is fitted (rhs is then never read).
            state.rhs = matrix(1, std::max(state.fitted_count, 1), 1, 1);
        } catch (...) {
            state.release();
            throw;
        }
        lambda = 0.001f;
        marquardt_coef(x, y, sig, a, ia, alpha, state.gradient, chisq, total);
        state.old_chisq = chisq;
        for (int l = 1; l <= NPARAM; ++l) state.trial_a[l] = a[l];
    } else if (!state.fitting()) {
        throw std::logic_error("marquardt_step: no fit in progress (start with lambda < 0)");
    }

    const int nf = state.fitted_count;
    float** rhs = state.rhs;

    // Damped normal equations.
    const double damping = 1.0 + static_cast<double>(lambda);
    for (int j = 1; j <= nf; ++j) {
        for (int k = 1; k <= nf; ++k) covar[j][k] = alpha[j][k];
        covar[j][j] = static_cast<float>(static_cast<double>(alpha[j][j]) * damping);
        rhs[j][1] = state.gradient[j];
    }
    const int status = gauss_jordan(covar, nf, rhs);
    if (status < 0) return status;
    for (int j = 1; j <= nf; ++j) state.delta_a[j] = rhs[j][1];

    if (lambda == 0.0f) {
        expand_covariance(covar, ia, nf);
        state.release();
        return 0;
    }

    bool unmoved = true;
    for (int l = 1, j = 0; l <= NPARAM; ++l) {
        if (ia[l]) state.trial_a[l] = a[l] + state.delta_a[++j];
        unmoved = unmoved && std::memcmp(&state.trial_a[l], &a[l], sizeof(float)) == 0;
    }
    if (unmoved) {
        // A step too small to change any parameter (a third of the steps of
        // a converged fit, whose damping then keeps growing) would evaluate
        // the model at a again: alpha, gradient and old_chisq already hold
        // those sums, bit for bit.
        for (int j = 1; j <= nf; ++j) {
            for (int k = 1; k <= nf; ++k) covar[j][k] = alpha[j][k];
            state.delta_a[j] = state.gradient[j];
        }
        chisq = state.old_chisq;
    } else {
        marquardt_coef(x, y, sig, state.trial_a, ia, covar, state.delta_a, chisq, total);
    }

    if (chisq < state.old_chisq) {
        lambda = static_cast<float>(static_cast<double>(lambda) * 0.1);
        state.old_chisq = chisq;
        for (int j = 1; j <= nf; ++j) {
            for (int k = 1; k <= nf; ++k) alpha[j][k] = covar[j][k];
            state.gradient[j] = state.delta_a[j];
        }
        for (int l = 1; l <= NPARAM; ++l) a[l] = state.trial_a[l];
    } else {
        lambda = static_cast<float>(static_cast<double>(lambda) * 10.0);
        chisq = state.old_chisq;
    }
    return 0;
}

}  // namespace zentrel
