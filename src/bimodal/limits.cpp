#include "bimodal/limits.h"

#include <cstring>
#include <limits>

namespace zentrel {

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

// Accessors of a pair of fields (lo, hi) or of one field of AnalysisLimits.
template <class T, T AnalysisLimits::*Lo, T AnalysisLimits::*Hi>
double get_pair(const AnalysisLimits& l, int side) {
    return static_cast<double>(side == 0 ? l.*Lo : l.*Hi);
}
template <class T, T AnalysisLimits::*Lo, T AnalysisLimits::*Hi>
void set_pair(AnalysisLimits& l, int side, double v) {
    (side == 0 ? l.*Lo : l.*Hi) = static_cast<T>(v);
}
template <class T, T AnalysisLimits::*F>
double get_one(const AnalysisLimits& l, int) {
    return static_cast<double>(l.*F);
}
template <class T, T AnalysisLimits::*F>
void set_one(AnalysisLimits& l, int, double v) {
    l.*F = static_cast<T>(v);
}

#define ZENTREL_PAIR(T, lo, hi) &get_pair<T, &AnalysisLimits::lo, &AnalysisLimits::hi>, \
                                &set_pair<T, &AnalysisLimits::lo, &AnalysisLimits::hi>
#define ZENTREL_ONE(T, f) &get_one<T, &AnalysisLimits::f>, &set_one<T, &AnalysisLimits::f>

const LimitOption OPTIONS[] = {
    {"box_c1", "plausibility box of the dark share c1; a fit step that leaves it is abandoned",
     2, false, 0.0, 1.0, ZENTREL_PAIR(double, box_c1_min, box_c1_max)},
    {"box_mean", "plausibility box of both means", 2, false, -INF, INF,
     ZENTREL_PAIR(float, box_mean_min, box_mean_max)},
    {"box_sigma", "plausibility box of both spreads", 2, false, 0.0, INF,
     ZENTREL_PAIR(float, box_sigma_min, box_sigma_max)},
    {"c1_range", "accepted dark share c1 of a bimodal region", 2, false, 0.0, 1.0,
     ZENTREL_PAIR(double, test_c1_min, test_c1_max)},
    {"mean1_range", "accepted mean of the dark component", 2, false, -INF, INF,
     ZENTREL_PAIR(float, test_mean1_min, test_mean1_max)},
    {"mean2_range", "accepted mean of the bright component", 2, false, -INF, INF,
     ZENTREL_PAIR(float, test_mean2_min, test_mean2_max)},
    {"sigma_range", "accepted spread of either component", 2, false, 0.0, INF,
     ZENTREL_PAIR(float, test_sigma_min, test_sigma_max)},
    {"max_chi_ratio", "largest accepted chi-square per counted pixel", 1, false, 0.0, INF,
     ZENTREL_ONE(float, test_chi_ratio_max)},
    {"valley_ratio", "the mixture must dip below this share of its lower peak between the means",
     1, false, 0.0, INF, ZENTREL_ONE(float, valley_ratio)},
    {"stop_ratio", "the fit stops refining once chi-square per counted pixel is not above this",
     1, false, 0.0, INF, ZENTREL_ONE(double, stop_ratio)},
    {"max_iterations", "most fitter steps before the final one", 1, true, 1.0, 10000.0,
     ZENTREL_ONE(int, max_iterations)},
    {"stop_shift", "the fit also stops once an accepted step moves no mean or spread by more than "
     "this many levels (0: never)", 1, false, 0.0, INF, ZENTREL_ONE(double, stop_shift)},
};

#undef ZENTREL_PAIR
#undef ZENTREL_ONE

}  // namespace

const LimitOption* limit_options() { return OPTIONS; }

std::size_t limit_option_count() { return sizeof OPTIONS / sizeof OPTIONS[0]; }

const LimitOption* find_limit_option(const char* name) {
    for (const LimitOption& option : OPTIONS) {
        if (std::strcmp(option.name, name) == 0) return &option;
    }
    return nullptr;
}

}  // namespace zentrel
