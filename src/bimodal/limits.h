// The fixed limits of the region analysis, in one place. AdaptiveThreshold
// always uses the defaults; the Python API lets callers adjust them for
// images whose grey modes lie elsewhere.
#pragma once

namespace zentrel {

struct AnalysisLimits {
    // Plausibility box checked after every fitter step; bounds inclusive.
    // The c1 bounds are compared with the float widened to double.
    double box_c1_min = 0.1;
    double box_c1_max = 0.9;
    float box_mean_min = 2.0f;
    float box_mean_max = 253.0f;
    float box_sigma_min = 0.0f;
    float box_sigma_max = 50.0f;

    // Bimodality limits; bounds inclusive, c1 compared in double.
    double test_c1_min = 0.2;
    double test_c1_max = 0.8;
    float test_mean1_min = 80.0f;
    float test_mean1_max = 160.0f;
    float test_mean2_min = 90.0f;
    float test_mean2_max = 254.0f;
    float test_sigma_min = 1.0f;
    float test_sigma_max = 50.0f;
    float test_chi_ratio_max = 4.0f;

    // A region passes only when its valley is below this share of the lower
    // peak (exclusive).
    float valley_ratio = 0.8f;

    // Refinement stops once chisq / total is not above this ratio, or after
    // this many fitter steps.
    double stop_ratio = 0.8;
    int max_iterations = 20;
};

inline const AnalysisLimits& default_limits() {
    static const AnalysisLimits limits{};
    return limits;
}

}  // namespace zentrel
