// The settings one region's analysis reads: which grey value to leave out,
// the smoothing and trace flags, and the limits of the fit and the test.
#pragma once

#include "bimodal/limits.h"

namespace zentrel {

// A grey value no pixel can hold: with it no pixel is left out of the region
// statistics.
constexpr int NO_EXCLUDED_VALUE = -32769;

struct AnalysisSettings {
    int excluded_value = NO_EXCLUDED_VALUE;  // pixels equal to it are not counted
    int smooth_his = 0;                      // smooth each histogram before its fit
    int debug = 0;                           // per-region trace instead of progress
    const AnalysisLimits* limits = &default_limits();
};

}  // namespace zentrel
