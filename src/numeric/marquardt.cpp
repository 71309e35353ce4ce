#include "numeric/marquardt.h"

#include <algorithm>
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

}  // namespace

void marquardt_coef(const float x[], const float y[], const float sig[], const float a[],
                    const int ia[], float** alpha, float beta[], float& chisq, float total) {
    int index[NPARAM];
    const int nf = fitted_indices(ia, index);

    // Pass 1: model, derivatives, weight and residual of every point. Points
    // are independent here; only pass 2 depends on their order.
    float dyda[NDATA][NPARAM + 1];
    float weight[NDATA];
    float dy[NDATA];
    for (int i = 0; i < NDATA; ++i) {
        float ymod;
        bimodal_gauss(x[i + 1], a, ymod, dyda[i], NPARAM, total);
        const float sig_sq = sig[i + 1] * sig[i + 1];
        weight[i] = static_cast<float>(1.0 / static_cast<double>(sig_sq));
        dy[i] = y[i + 1] - ymod;
    }

    // Pass 2: single-precision sums in point order 1..256, lower triangle.
    float curv[NPARAM][NPARAM] = {};
    float grad[NPARAM] = {};
    float chi = 0.0f;
    for (int i = 0; i < NDATA; ++i) {
        const float* d = dyda[i];
        for (int j = 0; j < nf; ++j) {
            const float wt = d[index[j]] * weight[i];
            for (int k = 0; k <= j; ++k) curv[j][k] += wt * d[index[k]];
            grad[j] += dy[i] * wt;
        }
        chi += dy[i] * dy[i] * weight[i];
    }

    for (int j = 0; j < nf; ++j) {
        for (int k = 0; k <= j; ++k) alpha[j + 1][k + 1] = alpha[k + 1][j + 1] = curv[j][k];
        beta[j + 1] = grad[j];
    }
    chisq = chi;
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

    for (int l = 1, j = 0; l <= NPARAM; ++l) {
        if (ia[l]) state.trial_a[l] = a[l] + state.delta_a[++j];
    }
    marquardt_coef(x, y, sig, state.trial_a, ia, covar, state.delta_a, chisq, total);

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
