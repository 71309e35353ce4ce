// The body of AdaptiveThreshold: checks the call, copies the input into a
// 16-bit working image (uint8 input with contiguous rows into a uint8 output
// needs none: the stages read it as it is), presets the output to 1 and runs
// the stages in order (variance map, selection, region analysis, threshold
// grid, pixel decision).
//
// The driver sees plain buffers only; the binding turns Python objects into
// these views (None becoming a null view).
//
// What is kept exactly, so that existing callers get the same output, text
// and return value byte for byte (the same rule stands in the README):
// - Console text: every line, misspellings and odd spacing included, lives
//   in numeric/console_text.h with the reason and the tests that pin it.
// - Precision: each sum, product and comparison keeps its width (float sums
//   in bin order for histogram moments and region variances, exact 64-bit
//   moment products, named double-precision steps in the model, the fitter,
//   the bimodality test and the threshold grid, single-precision bilinear
//   thresholds truncated toward zero), and nothing is compiled with
//   fast-math or contracted into fused multiply-adds. A changed rounding
//   moves thresholds, hence pixels.
// - Tie order: the selection's quicksort (median of three, insertion below 8
//   elements, NSTACK) decides which of equal-variance regions are analysed,
//   and the analysis order decides the threshold grid's weights.
// - NaN behaviour: NaN fits never leave the plausibility box, count as known
//   cells in the threshold grid, and give 255 (0 in the right band) in the
//   pixel decision, as the x86 conversion does.
// Pinned by tests/cpp/test_pipeline_golden.cpp (output, console text and
// region records of twelve calls), test_region_selection.cpp (tie order),
// test_threshold_grid.cpp and test_pixel_threshold.cpp (NaN and -1 cells),
// and tests/python/test_module.py (the Python face).
#pragma once

#include <cstdint>
#include <vector>

#include "bimodal/limits.h"
#include "bimodal/region_analysis.h"
#include "numeric/sink.h"

namespace zentrel {

// An input array as numpy lays it out: shape and byte strides with ndim
// entries each (strides may be negative or zero).
template <class T>
struct InputView {
    const T* data = nullptr;
    int ndim = 0;
    const std::int64_t* shape = nullptr;
    const std::int64_t* strides = nullptr;
};

// The caller's output array, written in place: int16 (data), or uint8 (data8)
// for callers that want the result in its final type. It must not overlap
// the input, which uint8 runs read while the output is written.
struct OutputView {
    std::int16_t* data = nullptr;
    std::int64_t size = 0;  // element count
    bool writeable = true;
    bool c_contiguous = true;
    std::uint8_t* data8 = nullptr;
};

// The stages in the order they run; DriverReport::stage_seconds follows it.
constexpr int STAGE_COUNT = 5;
constexpr const char* STAGE_NAMES[STAGE_COUNT] = {"variance_map", "selection", "region_analysis",
                                                  "threshold_grid", "pixel_decision"};

// What a call learned, for callers that want more than the output.
struct DriverReport {
    int region_rows = 0;
    int region_cols = 0;
    int selected_count = 0;
    int valid_count = 0;
    std::vector<RegionRecord> regions;  // one per selected region, analysis order
    std::vector<float> variances;       // of the same regions, when keep_variances
    bool keep_variances = true;
    double stage_seconds[STAGE_COUNT] = {};  // wall-clock, by STAGE_NAMES
};

struct DriverSettings {
    Sink* sink = &console_sink();
    const AnalysisLimits* limits = &default_limits();
    int threads = 0;                   // 0: default_thread_count()
    DriverReport* report = nullptr;    // filled when not null
    float* threshold_surface = nullptr;  // rows*cols per-pixel thresholds, when not null
    const char* input_name = "input_image";  // how messages name the image argument
};

// Returns true when at least one region yielded a threshold and the output
// was written; false for a None image (input or output null) or when no
// region passed (every output value then 1). Throws std::invalid_argument for
// a call it cannot honour (before the output is touched), std::domain_error
// "array is not writeable" for a read-only output, std::bad_alloc when memory
// runs out (after printing the failure's own message).
template <class T>
bool adaptive_threshold(const InputView<T>* input, const OutputView* output, int percent,
                        int region_size, bool debug, bool smooth_his,
                        const DriverSettings& settings = DriverSettings());

// Worker threads used when DriverSettings::threads is 0: the environment
// variable ZENTREL_THREADS when set (read at each call), else the hardware
// thread count.
int default_thread_count();

}  // namespace zentrel
