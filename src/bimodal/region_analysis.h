// Per-region bimodal analysis: for each selected region, histogram, start
// values, optional smoothing, Levenberg-Marquardt fit of a two-Gaussian
// mixture, bimodality test and threshold. Passing regions are appended to
// three parallel lists in analysis order.
#pragma once

#include <cstdint>

#include "bimodal/bimodal_test.h"
#include "bimodal/histogram.h"
#include "bimodal/initial_estimates.h"
#include "bimodal/limits.h"
#include "pipeline/context.h"

namespace zentrel {

// How the analysis of one selected region ended.
enum class RegionStatus {
    recorded,         // passed; its threshold was recorded
    empty,            // no pixel counted
    flat,             // a start sigma was not positive (or NaN): not fitted
    left_box,         // the fit left the plausibility box
    failed_test,      // the bimodality test failed (see RegionReport::test)
    no_crossing,      // passed the test but the components do not cross
};

// What the analysis learned about one selected region (for callers that
// want to see why a region was or was not used).
struct RegionReport {
    int row = 0;
    int col = 0;
    float variance = 0.0f;  // filled by the driver
    float start[5] = {};   // c1, mean1, sigma1, mean2, sigma2 before the fit
    float fitted[5] = {};  // after the final fitter call
    float chi_ratio = 0.0f;  // chisq / total after the fit
    int fitter_calls = 0;
    RegionStatus status = RegionStatus::empty;
    TestOutcome test = TestOutcome::passed;
    float threshold = NO_THRESHOLD;
};

// Analyses the selected_count regions (selected_rows[i], selected_cols[i]) in
// order. Writes valid_count and the first valid_count entries of region_row,
// region_col and region_thresh (each with capacity selected_count). Prints the
// progress line, the debug trace and the completion line on context.sink.
// When reports is not null it receives one entry per selected region.
void analyse_regions(const PipelineContext& context, int selected_count, const int selected_rows[],
                     const int selected_cols[], int& valid_count, int region_row[],
                     int region_col[], float region_thresh[], int region_size,
                     float valley_ratio_limit, const std::int16_t* const* image16,
                     RegionReport* reports = nullptr);

}  // namespace zentrel
