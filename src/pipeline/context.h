// The per-call settings handed from the driver to the stages.
#pragma once

#include "bimodal/limits.h"
#include "numeric/sink.h"

namespace zentrel {

// A grey value no pixel can hold: with it no pixel is left out of the region
// statistics.
constexpr int NO_EXCLUDED_VALUE = -32769;

struct PipelineContext {
    int excluded_value = NO_EXCLUDED_VALUE;  // pixels equal to it are not counted
    int smooth_his = 0;                      // smooth each histogram before its fit
    int debug = 0;                           // per-region trace instead of progress
    Sink* sink = &console_sink();            // where all console text goes
    const AnalysisLimits* limits = &default_limits();
    int threads = 1;                         // worker threads for the stages that split
};

}  // namespace zentrel
