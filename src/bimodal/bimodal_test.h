// Is a fitted mixture convincingly two-peaked, and where do its weighted
// components cross? a[0..4] = c1, mean1, sigma1, mean2, sigma2 (0-based).
#pragma once

#include <cstdint>

#include "bimodal/limits.h"

namespace zentrel {

constexpr float NO_THRESHOLD = -9999.0f;

// Why a fitted region failed the bimodality test (first failing limit).
enum class TestOutcome : std::uint8_t {
    passed,
    c1_out_of_range,
    mean1_out_of_range,
    mean2_out_of_range,
    sigma1_out_of_range,
    sigma2_out_of_range,
    chi_ratio_too_large,
    no_valley,
};
constexpr int TEST_OUTCOME_COUNT = 8;

// An outcome's short name ("passed", "c1", ... "valley") and the words a
// failure message uses for it.
struct TestText {
    const char* name;
    const char* words;
};
const TestText& test_text(TestOutcome outcome);

// Density of the mixture (without the total scale) at grey level x.
float mixture_density(const float a[], float x);

// mixture_density(a, x[i]) into out[i] for 0 <= i < n, bit for bit, in
// vectorised loops; x and out must not overlap.
void mixture_density_batch(const float a[], const float x[], int n, float out[]);

// 1 when the parameters lie within the limits and the mixture has a valley
// below valley_ratio_limit times its lower peak, else 0. When outcome is not
// null it receives the reason.
int bimodal_test(const float a[], float valley_ratio_limit, float chisq, float total,
                 const AnalysisLimits& limits = default_limits(), TestOutcome* outcome = nullptr);

// The grey level strictly between mean1 and mean2 where the weighted
// components are equally dense, or NO_THRESHOLD.
float region_threshold(const float a[]);

}  // namespace zentrel
