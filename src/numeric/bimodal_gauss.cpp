#include "numeric/bimodal_gauss.h"

#include <algorithm>
#include <cmath>

#include "numeric/console_text.h"
#include "numeric/float_exp.h"

namespace zentrel {

float model_sqrt_two_pi() {
    const float pi = static_cast<float>(4.0 * std::atan(1.0));
    return static_cast<float>(std::sqrt(2.0 * static_cast<double>(pi)));
}

float component_exp(float d_sq, float sigma) {
    const double twice_var = 2.0 * static_cast<double>(sigma) * static_cast<double>(sigma);
    const float q = static_cast<float>(static_cast<double>(d_sq) / twice_var);
    return static_cast<float>(std::exp(static_cast<double>(-q)));
}

void bimodal_gauss(float x, const float a[], float& y, float dyda[], int na, float total,
                   Sink& sink) {
    if (na != 5) sink.out(text::PARAMETER_COUNT);

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

namespace {

// The per-call constants of the model, each formed by the same operations as
// in bimodal_gauss.
struct ModelConstants {
    explicit ModelConstants(const float a[], float total_)
        : c1(a[1]), mean1(a[2]), sigma1(a[3]), mean2(a[4]), sigma2(a[5]), total(total_) {
        const float s = model_sqrt_two_pi();
        twice_var1 = 2.0 * static_cast<double>(sigma1) * static_cast<double>(sigma1);
        twice_var2 = 2.0 * static_cast<double>(sigma2) * static_cast<double>(sigma2);
        s1_1 = s * sigma1;
        const float s1_2 = s1_1 * sigma1;
        s1_3 = s1_2 * sigma1;
        s1_4 = s1_3 * sigma1;
        inv_s1_2 = 1.0f / s1_2;
        s2_1 = s * sigma2;
        const float s2_2 = s2_1 * sigma2;
        const float s2_3 = s2_2 * sigma2;
        const float s2_4 = s2_3 * sigma2;
        ds2_3 = static_cast<double>(s2_3);
        ds2_4 = static_cast<double>(s2_4);
        dinv_s2_2 = 1.0 / static_cast<double>(s2_2);
        sigma1_s = sigma1 * s;
        dsigma2_s = static_cast<double>(sigma2 * s);
        w2 = 1.0 - static_cast<double>(c1);
        dtotal = static_cast<double>(total);
    }
    float c1, mean1, sigma1, mean2, sigma2, total;
    double twice_var1, twice_var2;
    float s1_1, s1_3, s1_4, inv_s1_2, s2_1, sigma1_s;
    double ds2_3, ds2_4, dinv_s2_2, dsigma2_s, w2, dtotal;
};

constexpr int CHUNK = 256;

// Point terms of one chunk, after the exponentials e1 (e[i]) and e2
// (e[CHUNK + i]). The outputs are distinct arrays.
ZENTREL_FORCE_INLINE void model_terms(const ModelConstants& k, const float* ZENTREL_RESTRICT x,
                                      const float* ZENTREL_RESTRICT e, int n, float* ZENTREL_RESTRICT y,
                                      float* ZENTREL_RESTRICT dy1, float* ZENTREL_RESTRICT dy2,
                                      float* ZENTREL_RESTRICT dy3, float* ZENTREL_RESTRICT dy4,
                                      float* ZENTREL_RESTRICT dy5) {
    for (int i = 0; i < n; ++i) {
        const float d1 = x[i] - k.mean1;
        const float d1_sq = d1 * d1;
        const float d2 = x[i] - k.mean2;
        const float e1 = e[i];
        const float e2 = e[CHUNK + i];
        const float term1 = k.c1 * e1 / k.sigma1_s;
        const double term2 = k.w2 * static_cast<double>(e2) / k.dsigma2_s;
        y[i] = static_cast<float>((static_cast<double>(term1) + term2) * k.dtotal);
        dy1[i] = (e1 / k.s1_1 - e2 / k.s2_1) * k.total;
        dy2[i] = k.c1 * d1 * e1 / k.s1_3 * k.total;
        dy3[i] = k.c1 * e1 * (d1_sq / k.s1_4 - k.inv_s1_2) * k.total;
        const double dd2 = static_cast<double>(d2);
        const double de2 = static_cast<double>(e2);
        dy4[i] = static_cast<float>(k.w2 * dd2 * de2 / k.ds2_3 * k.dtotal);
        dy5[i] = static_cast<float>(k.w2 * de2 * (dd2 * dd2 / k.ds2_4 - k.dinv_s2_2) * k.dtotal);
    }
}

// The exponents -q of both components, then their exponentials in place:
// e1 at e[i], e2 at e[CHUNK + i].
ZENTREL_FORCE_INLINE void exponentials(const ModelConstants& k, const float x[], int n, float e[], Isa isa) {
    for (int i = 0; i < n; ++i) {
        const float d1 = x[i] - k.mean1;
        const float d2 = x[i] - k.mean2;
        e[i] = -static_cast<float>(static_cast<double>(d1 * d1) / k.twice_var1);
        e[CHUNK + i] = -static_cast<float>(static_cast<double>(d2 * d2) / k.twice_var2);
    }
    exp_to_float(e, e, n, isa);
    exp_to_float(e + CHUNK, e + CHUNK, n, isa);
}

ZENTREL_FORCE_INLINE void model_chunk(const ModelConstants& k, const float x[], int n, float y[],
                                      float* const dyda[5], Isa isa) {
    float e[2 * CHUNK];
    exponentials(k, x, n, e, isa);
    model_terms(k, x, e, n, y, dyda[0], dyda[1], dyda[2], dyda[3], dyda[4]);
}

ZENTREL_FORCE_INLINE void model_body(const float x[], int n, const float a[], float total, float y[],
                                     float* const dyda[5], Isa isa) {
    const ModelConstants k(a, total);
    for (int start = 0; start < n; start += CHUNK) {
        float* const rows[5] = {dyda[0] + start, dyda[1] + start, dyda[2] + start, dyda[3] + start,
                                dyda[4] + start};
        model_chunk(k, x + start, n - start < CHUNK ? n - start : CHUNK, y + start, rows, isa);
    }
}

// Bounds under which a point whose two exponentials are 0 gets 0 (of either
// sign) for y and every derivative: every other factor is then finite and
// every divisor non-zero (sigma^4 stays a normal float).
constexpr float MODERATE = 0x1p20f;
constexpr float LEAST_SIGMA = 0x1p-10f;

bool moderate(const float x[], int n, const float a[], float total) {
    bool ok = std::fabs(a[1]) <= MODERATE && std::fabs(a[2]) <= MODERATE && std::fabs(a[4]) <= MODERATE &&
              std::fabs(a[3]) >= LEAST_SIGMA && std::fabs(a[3]) <= MODERATE &&
              std::fabs(a[5]) >= LEAST_SIGMA && std::fabs(a[5]) <= MODERATE && std::isfinite(total);
    int outside = 0;  // NaN counts as outside
    for (int i = 0; i < n; ++i) outside += !(std::fabs(x[i]) <= MODERATE);
    return ok && outside == 0;
}

ZENTREL_FORCE_INLINE void span_body(const float x[], int n, const float a[], float total, float y[],
                                    float* const dyda[5], Isa isa, int& first, int& end) {
    const ModelConstants k(a, total);
    float e[2 * CHUNK];
    exponentials(k, x, n, e, isa);
    first = 0;
    end = n;
    if (moderate(x, n, a, total)) {
        while (first < end && e[first] == 0.0f && e[CHUNK + first] == 0.0f) ++first;
        while (end > first && e[end - 1] == 0.0f && e[CHUNK + end - 1] == 0.0f) --end;
        first -= first % SPAN_ALIGN;
        end = std::min(n, end + (SPAN_ALIGN - end % SPAN_ALIGN) % SPAN_ALIGN);
    }
    model_terms(k, x + first, e + first, end - first, y + first, dyda[0] + first, dyda[1] + first,
                dyda[2] + first, dyda[3] + first, dyda[4] + first);
}

void model_portable(const float x[], int n, const float a[], float total, float y[],
                    float* const dyda[5]) {
    model_body(x, n, a, total, y, dyda, Isa::portable);
}

#if ZENTREL_HAVE_AVX2
ZENTREL_TARGET_AVX2 void model_avx2(const float x[], int n, const float a[], float total, float y[],
                                    float* const dyda[5]) {
    model_body(x, n, a, total, y, dyda, Isa::avx2);
}

ZENTREL_TARGET_AVX512 void model_avx512(const float x[], int n, const float a[], float total, float y[],
                                        float* const dyda[5]) {
    model_body(x, n, a, total, y, dyda, Isa::avx512);
}
#endif

void span_portable(const float x[], int n, const float a[], float total, float y[], float* const dyda[5],
                   int& first, int& end) {
    span_body(x, n, a, total, y, dyda, Isa::portable, first, end);
}

#if ZENTREL_HAVE_AVX2
ZENTREL_TARGET_AVX2 void span_avx2(const float x[], int n, const float a[], float total, float y[],
                                   float* const dyda[5], int& first, int& end) {
    span_body(x, n, a, total, y, dyda, Isa::avx2, first, end);
}

ZENTREL_TARGET_AVX512 void span_avx512(const float x[], int n, const float a[], float total, float y[],
                                       float* const dyda[5], int& first, int& end) {
    span_body(x, n, a, total, y, dyda, Isa::avx512, first, end);
}
#endif

}  // namespace

void bimodal_gauss_batch(const float x[], int n, const float a[], float total, float y[],
                         float* const dyda[5], Isa isa) {
#if ZENTREL_HAVE_AVX2
    if (isa == Isa::avx2) return model_avx2(x, n, a, total, y, dyda);
    if (isa == Isa::avx512) return model_avx512(x, n, a, total, y, dyda);
#endif
    (void)isa;
    model_portable(x, n, a, total, y, dyda);
}

void bimodal_gauss_batch(const float x[], int n, const float a[], float total, float y[],
                         float* const dyda[5]) {
    bimodal_gauss_batch(x, n, a, total, y, dyda, preferred_isa());
}

void bimodal_gauss_span(const float x[], int n, const float a[], float total, float y[], float* const dyda[5],
                        Isa isa, int& first, int& end) {
    if (n > CHUNK) {
        bimodal_gauss_batch(x, n, a, total, y, dyda, isa);
        first = 0;
        end = n;
        return;
    }
#if ZENTREL_HAVE_AVX2
    if (isa == Isa::avx2) return span_avx2(x, n, a, total, y, dyda, first, end);
    if (isa == Isa::avx512) return span_avx512(x, n, a, total, y, dyda, first, end);
#endif
    span_portable(x, n, a, total, y, dyda, first, end);
}

}  // namespace zentrel
