// The bimodal analysis of one region: histogram, start values, optional
// smoothing, Levenberg-Marquardt fit of a two-Gaussian mixture, bimodality
// test and threshold. The loop over the selected regions lives in the
// pipeline (pipeline/region_loop.h).
#pragma once

#include <cstdint>
#include <memory>

#include "bimodal/analysis_settings.h"
#include "bimodal/bimodal_test.h"
#include "bimodal/image_block.h"
#include "numeric/sink.h"

namespace zentrel {

// How the analysis of one region ended.
enum class RegionStatus : std::uint8_t {
    recorded,     // passed; its threshold is recorded
    empty,        // no pixel counted
    flat,         // a start sigma was not positive (or NaN): not fitted
    left_box,     // the fit left the plausibility box
    failed_test,  // the bimodality test failed (see RegionRecord::test)
    no_crossing,  // passed the test but the components do not cross
};
constexpr int REGION_STATUS_COUNT = 6;

// A status's short name and the words a failure message uses for it.
struct OutcomeText {
    const char* name;
    const char* words;
};
const OutcomeText& outcome_text(RegionStatus status);

// What the analysis learned about one region.
struct RegionRecord {
    int row = 0;
    int col = 0;
    float start[5] = {};     // c1, mean1, sigma1, mean2, sigma2 before the fit
    float fitted[5] = {};    // after the final fitter call
    float chi_ratio = 0.0f;  // chisq / total after the fit
    float threshold = NO_THRESHOLD;
    int fitter_calls = 0;
    RegionStatus status = RegionStatus::empty;
    TestOutcome test = TestOutcome::passed;

    bool counted() const { return status != RegionStatus::empty; }
    bool fitted_region() const { return counted() && status != RegionStatus::flat; }
    bool recorded() const { return status == RegionStatus::recorded; }
};

// The work buffers and fitter state of one analysing thread, allocated once
// in a fixed order (their allocation failures have messages of their own)
// and reused region after region.
class RegionWork {
public:
    RegionWork();
    ~RegionWork();
    RegionWork(const RegionWork&) = delete;
    RegionWork& operator=(const RegionWork&) = delete;

    struct Buffers;
    Buffers& buffers() { return *buffers_; }

private:
    std::unique_ptr<Buffers> buffers_;
};

// Analyses region (row, col) of image16. With settings.debug the region's
// trace goes to trace, headed by "region=<index>".
RegionRecord analyse_region(const AnalysisSettings& settings, const ImageBlock& image16,
                            int region_size, int row, int col, int index, RegionWork& work,
                            Sink& trace);
// The same on grey levels as the caller holds them.
RegionRecord analyse_region(const AnalysisSettings& settings, const ImageBlock8& image,
                            int region_size, int row, int col, int index, RegionWork& work,
                            Sink& trace);

// Reads one pixel of every cache line of region (row, col), so that its rows
// are loaded while another region is fitted; returns a sum that only serves
// to keep the reads.
int touch_region(const ImageBlock& image16, int region_size, int row, int col);
int touch_region(const ImageBlock8& image, int region_size, int row, int col);

}  // namespace zentrel
