// The per-call settings handed from the driver to the stages: the analysis
// settings, where console text goes and how many threads may work.
#pragma once

#include "bimodal/analysis_settings.h"
#include "numeric/sink.h"

namespace zentrel {

struct PipelineContext : AnalysisSettings {
    Sink* sink = &console_sink();  // where all console text goes
    int threads = 1;               // worker threads for the stages that split
};

}  // namespace zentrel
