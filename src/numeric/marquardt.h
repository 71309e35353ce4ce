// Levenberg-Marquardt fit of the two-Gaussian model to a 256-point histogram.
//
// All arrays are 1-based: x, y, sig [1..256]; a, ia [1..5]; covar, alpha
// row-pointer matrices [1..5][1..5]. lambda selects what a call does:
//   lambda < 0  starts a fit (lambda becomes 0.001) and makes the first step,
//   lambda > 0  makes one damped step (accepted only when chi-square falls),
//   lambda == 0 finishes: covar becomes the covariance over all five
//               parameters; a, chisq and lambda are left alone.
// The state kept between the calls of one fit lives in a MarquardtState owned
// by the caller, so independent fits can run side by side.
#pragma once

#include "numeric/bimodal_gauss.h"
#include "numeric/gauss_jordan.h"

namespace zentrel {

constexpr int NDATA = 256;
constexpr int NPARAM = 5;

struct MarquardtState {
    MarquardtState() = default;
    ~MarquardtState();
    MarquardtState(const MarquardtState&) = delete;
    MarquardtState& operator=(const MarquardtState&) = delete;

    // Releases the kept arrays (rhs, delta_a, gradient, trial_a), if held.
    void release();
    bool fitting() const { return trial_a != nullptr; }

    int fitted_count = 0;
    float old_chisq = 0.0f;
    float* trial_a = nullptr;   // vector 1..5
    float* gradient = nullptr;  // vector 1..5
    float* delta_a = nullptr;   // vector 1..5
    float** rhs = nullptr;      // matrix 1..fitted_count x 1..1
};

// Curvature alpha (fitted x fitted), gradient beta[1..fitted] and chi-square
// of the model at a. Sums run in single precision in point order 1..256.
void marquardt_coef(const float x[], const float y[], const float sig[], const float a[],
                    const int ia[], float** alpha, float beta[], float& chisq, float total);
// The same with a chosen build of the vectorised loops (all give the same
// bits).
void marquardt_coef(const float x[], const float y[], const float sig[], const float a[],
                    const int ia[], float** alpha, float beta[], float& chisq, float total, Isa isa);

// One call of the protocol above. Returns -1 or -2 when the linear solve
// failed in this call (nothing of a, chisq, lambda changed by the step);
// otherwise 0. The initial call allocates trial_a, gradient, delta_a and rhs
// (releasing a previous fit's first); if one allocation throws, nothing is
// kept. A step or final call with no fit in progress throws
// std::logic_error.
int marquardt_step(MarquardtState& state, const float x[], const float y[], const float sig[],
                   float a[], const int ia[], float** covar, float** alpha, float& chisq,
                   float total, float& lambda);

}  // namespace zentrel
