// The limits of the region analysis, in one place: their fields, their
// defaults, and the options callers set them by (names, meanings, accepted
// values). AdaptiveThreshold always uses the defaults; the zentrel package
// reads the option table through the binding to build its keyword
// arguments, their checks and their documentation.
#pragma once

#include <cstddef>

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
    // ... or once an accepted step moved no mean or spread by more than
    // this many levels (0: never; the fit has settled).
    double stop_shift = 0.0;
};

inline const AnalysisLimits& default_limits() {
    static const AnalysisLimits limits{};
    return limits;
}

// One option that sets limits: a (low, high) pair over two fields, or one
// field. Values are exchanged as double; a float field rounds the double
// once, as a C++ cast does.
struct LimitOption {
    const char* name;     // keyword, e.g. "mean1_range"
    const char* meaning;  // one line for documentation
    int arity;            // 2: a (low, high) pair; 1: one value
    bool integer;         // whole numbers only
    double lowest;        // accepted values: lowest .. highest
    double highest;
    double (*get)(const AnalysisLimits& limits, int side);  // side 0: low or the value; 1: high
    void (*set)(AnalysisLimits& limits, int side, double value);
};

// The options in documentation order.
const LimitOption* limit_options();
std::size_t limit_option_count();

// The option called name, or null.
const LimitOption* find_limit_option(const char* name);

}  // namespace zentrel
