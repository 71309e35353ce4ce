#include "bimodal/bimodal_test.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "numeric/bimodal_gauss.h"
#include "numeric/float_exp.h"

namespace zentrel {

namespace {

enum { C1, MEAN1, SIGMA1, MEAN2, SIGMA2 };

// The component exponential at x, from the single-precision square.
float gauss_kernel(float x, float mean, float sigma) {
    const float d = x - mean;
    return component_exp(d * d, sigma);
}

bool outside(float value, float lo, float hi) { return value < lo || value > hi; }

constexpr int CHUNK = 256;

// mixture_density at n <= CHUNK abscissae: the exponents of both components
// first, their exponentials in two batches, then the weighted sum.
void density_chunk(const float a[], const float* ZENTREL_RESTRICT x, int n, float* ZENTREL_RESTRICT out) {
    const float s = model_sqrt_two_pi();
    const double two_var1 = 2.0 * static_cast<double>(a[SIGMA1]) * static_cast<double>(a[SIGMA1]);
    const double two_var2 = 2.0 * static_cast<double>(a[SIGMA2]) * static_cast<double>(a[SIGMA2]);
    float e[2 * CHUNK];
    for (int i = 0; i < n; ++i) {
        const float d1 = x[i] - a[MEAN1];
        const float d2 = x[i] - a[MEAN2];
        e[i] = -static_cast<float>(static_cast<double>(d1 * d1) / two_var1);
        e[CHUNK + i] = -static_cast<float>(static_cast<double>(d2 * d2) / two_var2);
    }
    exp_to_float(e, e, n);
    exp_to_float(e + CHUNK, e + CHUNK, n);
    const float c1 = a[C1];
    const float sigma1_s = a[SIGMA1] * s;
    const double w2 = 1.0 - static_cast<double>(c1);
    const double sigma2_s = static_cast<double>(a[SIGMA2] * s);
    for (int i = 0; i < n; ++i) {
        const float first = c1 * e[i] / sigma1_s;
        const double second = w2 * static_cast<double>(e[CHUNK + i]) / sigma2_s;
        out[i] = static_cast<float>(static_cast<double>(first) + second);
    }
}

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

void mixture_density_batch(const float a[], const float x[], int n, float out[]) {
    for (int done = 0; done < n; done += CHUNK) {
        density_chunk(a, x + done, std::min(CHUNK, n - done), out + done);
    }
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

    // Sampled upward from mean1 whichever side mean2 lies on, a chunk of
    // densities at a time; the minimum is still taken in sample order.
    float valley = peak;
    float xi[CHUNK];
    float density[CHUNK];
    for (int done = 0; done < n;) {
        const int count = std::min(CHUNK, n - done);
        for (int k = 0; k < count; ++k) {
            xi[k] = static_cast<float>(static_cast<double>(a[MEAN1]) + 0.5 * (done + k + 1));
        }
        done += count;
        mixture_density_batch(a, xi, count, density);
        for (int k = 0; k < count; ++k) {
            if (density[k] < valley) valley = density[k];
        }
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

namespace zentrel {

const TestText& test_text(TestOutcome outcome) {
    // Indexed by TestOutcome; the words name the option that sets the limit.
    static const TestText texts[TEST_OUTCOME_COUNT] = {
        {"passed", "no failed limit"},
        {"c1", "the dark share c1 outside c1_range"},
        {"mean1", "the dark mean outside mean1_range"},
        {"mean2", "the bright mean outside mean2_range"},
        {"sigma1", "the dark spread outside sigma_range"},
        {"sigma2", "the bright spread outside sigma_range"},
        {"chi_ratio", "a fit residual above max_chi_ratio"},
        {"valley", "no valley below valley_ratio between the peaks"},
    };
    return texts[static_cast<int>(outcome)];
}

}  // namespace zentrel
