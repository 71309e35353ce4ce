#include "numeric/bimodal_gauss.h"

#include <cmath>

namespace zentrel {

float model_sqrt_two_pi() {
    const float pi = static_cast<float>(4.0 * std::atan(1.0));
    return static_cast<float>(std::sqrt(2.0 * static_cast<double>(pi)));
}

namespace {

// exp(-d^2 / (2 sigma^2)) from the single-precision square d_sq: quotient in
// double rounded to float, exponential in double rounded to float.
float component_exp(float d_sq, float sigma) {
    const double twice_var = 2.0 * static_cast<double>(sigma) * static_cast<double>(sigma);
    const float q = static_cast<float>(static_cast<double>(d_sq) / twice_var);
    return static_cast<float>(std::exp(static_cast<double>(-q)));
}

}  // namespace

void bimodal_gauss(float x, const float a[], float& y, float dyda[], int na, float total,
                   Sink& sink) {
    if (na != 5) sink.out("this function assumes 5 parameters\n");

    const float c1 = a[1];
    const float mean1 = a[2];
    const float sigma1 = a[3];
    const float mean2 = a[4];
    const float sigma2 = a[5];

    const float d1 = x - mean1;
    const float d1_sq = d1 * d1;
    const float d2 = x - mean2;
    const float d2_sq = d2 * d2;
    const float e1 = component_exp(d1_sq, sigma1);
    const float e2 = component_exp(d2_sq, sigma2);

    const float s = model_sqrt_two_pi();

    // Denominators: running single-precision products s*sigma, *sigma, ...
    const float s1_1 = s * sigma1;
    const float s1_2 = s1_1 * sigma1;
    const float s1_3 = s1_2 * sigma1;
    const float s1_4 = s1_3 * sigma1;
    const float s2_1 = s * sigma2;
    const float s2_2 = s2_1 * sigma2;
    const float s2_3 = s2_2 * sigma2;
    const float s2_4 = s2_3 * sigma2;

    // Model value: first term in float, second term and the rest in double.
    const float term1 = c1 * e1 / (sigma1 * s);
    const double w2 = 1.0 - static_cast<double>(c1);
    const double term2 = w2 * static_cast<double>(e2) / static_cast<double>(sigma2 * s);
    y = static_cast<float>((static_cast<double>(term1) + term2) * static_cast<double>(total));

    // First component and the weight derivative: single precision throughout.
    dyda[1] = (e1 / s1_1 - e2 / s2_1) * total;
    dyda[2] = c1 * d1 * e1 / s1_3 * total;
    dyda[3] = c1 * e1 * (d1_sq / s1_4 - 1.0f / s1_2) * total;

    // Second component: double from the float difference on, rounded once.
    const double dd2 = static_cast<double>(d2);
    const double de2 = static_cast<double>(e2);
    const double dtotal = static_cast<double>(total);
    dyda[4] = static_cast<float>(w2 * dd2 * de2 / static_cast<double>(s2_3) * dtotal);
    dyda[5] = static_cast<float>(
        w2 * de2 * (dd2 * dd2 / static_cast<double>(s2_4) - 1.0 / static_cast<double>(s2_2)) *
        dtotal);
}

}  // namespace zentrel
