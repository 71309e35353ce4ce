#include "bimodal/bimodal_test.h"

#include <cmath>
#include <limits>

#include "numeric/bimodal_gauss.h"

namespace zentrel {

namespace {

enum { C1, MEAN1, SIGMA1, MEAN2, SIGMA2 };

// exp(-(x - mean)^2 / (2 sigma^2)): square in float, quotient in double
// rounded to float, exponential in double rounded to float.
float gauss_kernel(float x, float mean, float sigma) {
    const float d = x - mean;
    const float d2 = d * d;
    const double two_var = 2.0 * static_cast<double>(sigma) * static_cast<double>(sigma);
    const float q = static_cast<float>(static_cast<double>(d2) / two_var);
    return static_cast<float>(std::exp(-static_cast<double>(q)));
}

bool outside(float value, float lo, float hi) { return value < lo || value > hi; }

}  // namespace

float mixture_density(const float a[], float x) {
    const float s = model_sqrt_two_pi();
    const float e1 = gauss_kernel(x, a[MEAN1], a[SIGMA1]);
    const float e2 = gauss_kernel(x, a[MEAN2], a[SIGMA2]);
    // First term in float, second in double over the float denominator,
    // summed in double: the model's value without its total.
    const float first = a[C1] * e1 / (a[SIGMA1] * s);
    const double second = (1.0 - static_cast<double>(a[C1])) * static_cast<double>(e2) /
                          static_cast<double>(a[SIGMA2] * s);
    return static_cast<float>(static_cast<double>(first) + second);
}

int bimodal_test(const float a[], float valley_ratio_limit, float chisq, float total,
                 const AnalysisLimits& limits, TestOutcome* outcome) {
    auto fail = [outcome](TestOutcome why) {
        if (outcome) *outcome = why;
        return 0;
    };

    // Each limit fails only on a value below or above it: NaN passes.
    const double c1 = a[C1];
    if (c1 < limits.test_c1_min || c1 > limits.test_c1_max) return fail(TestOutcome::c1_out_of_range);
    if (outside(a[MEAN1], limits.test_mean1_min, limits.test_mean1_max)) {
        return fail(TestOutcome::mean1_out_of_range);
    }
    if (outside(a[MEAN2], limits.test_mean2_min, limits.test_mean2_max)) {
        return fail(TestOutcome::mean2_out_of_range);
    }
    if (outside(a[SIGMA1], limits.test_sigma_min, limits.test_sigma_max)) {
        return fail(TestOutcome::sigma1_out_of_range);
    }
    if (outside(a[SIGMA2], limits.test_sigma_min, limits.test_sigma_max)) {
        return fail(TestOutcome::sigma2_out_of_range);
    }
    const float chi_ratio = chisq / total;
    if (chi_ratio > limits.test_chi_ratio_max) return fail(TestOutcome::chi_ratio_too_large);

    const float p1 = mixture_density(a, a[MEAN1]);
    const float p2 = mixture_density(a, a[MEAN2]);
    const float peak = p2 < p1 ? p2 : p1;

    // Half-grey-level steps between the means, rounded half up. A NaN or
    // oversized count cannot be converted: such a mixture has no valley.
    const float gap = a[MEAN2] - a[MEAN1];
    const double steps = 2.0 * std::fabs(static_cast<double>(gap)) + 0.5;
    if (!(steps < static_cast<double>(std::numeric_limits<int>::max()))) {
        return fail(TestOutcome::no_valley);
    }
    const int n = static_cast<int>(steps);

    // Sampled upward from mean1 whichever side mean2 lies on.
    float valley = peak;
    for (int i = 1; i <= n; ++i) {
        const float xi = static_cast<float>(static_cast<double>(a[MEAN1]) + 0.5 * i);
        const float d = mixture_density(a, xi);
        if (d < valley) valley = d;
    }
    if (!(valley_ratio_limit > valley / peak)) return fail(TestOutcome::no_valley);
    if (outcome) *outcome = TestOutcome::passed;
    return 1;
}

float region_threshold(const float a[]) {
    const float c1 = a[C1];
    const float mean1 = a[MEAN1];
    const float sigma1 = a[SIGMA1];
    const float mean2 = a[MEAN2];
    const float sigma2 = a[SIGMA2];
    const float var1 = sigma1 * sigma1;
    const float var2 = sigma2 * sigma2;
    const double A = static_cast<double>(var1 - var2);

    if (std::fabs(A) < 1e-6) {
        // Equal spreads: the crossing is linear in t.
        const float odds = (1.0f - c1) / c1;
        const float diff = mean1 - mean2;
        const float sum = mean1 + mean2;
        const double t = std::log(static_cast<double>(odds)) * static_cast<double>(var1) /
                             static_cast<double>(diff) +
                         static_cast<double>(sum) * 0.5;
        return static_cast<float>(t);
    }

    const float B = static_cast<float>(2.0 * static_cast<double>(mean1 * var2 - mean2 * var1));
    const float ratio = (sigma2 * c1) / (sigma1 * (1.0f - c1));
    const double L = std::log(static_cast<double>(ratio));
    const float bracket = var1 * (mean2 * mean2) - var2 * (mean1 * mean1);
    const double scale = 2.0 * static_cast<double>(var1) * static_cast<double>(var2);
    const float C = static_cast<float>(static_cast<double>(bracket) + scale * L);
    const double D = std::sqrt(static_cast<double>(B * B) - 4.0 * A * static_cast<double>(C));

    const float r1 = static_cast<float>((D - static_cast<double>(B)) / (2.0 * A));
    const float r2 = static_cast<float>((-static_cast<double>(B) - D) / (2.0 * A));
    if (mean1 < r1 && r1 < mean2) return r1;
    if (mean1 < r2 && r2 < mean2) return r2;
    return NO_THRESHOLD;
}

}  // namespace zentrel
