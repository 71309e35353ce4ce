#include "bimodal/region_analysis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <locale>
#include <sstream>
#include <string>

#include "bimodal/histogram.h"
#include "bimodal/initial_estimates.h"
#include "bimodal/region_grid.h"
#include "numeric/arrays.h"
#include "numeric/console_text.h"
#include "numeric/marquardt.h"

namespace zentrel {

namespace {

constexpr int BUFFER_POINTS = NDATA + 1;  // 256 points plus one spare slot
constexpr int PARAM_SLOTS = NPARAM + 1;   // 5 parameters plus one spare slot

// A table of PARAM_SLOTS row pointers, each to PARAM_SLOTS floats. Rows are
// released before the table.
class RowTable {
public:
    RowTable() = default;
    RowTable(const RowTable&) = delete;
    RowTable& operator=(const RowTable&) = delete;
    ~RowTable() {
        if (!rows_) return;
        for (int r = 0; r < PARAM_SLOTS; ++r) std::free(rows_[r]);
        std::free(rows_);
    }

    void allocate(const char* table_message, const char* row_format) {
        rows_ = checked_alloc<float*>(PARAM_SLOTS, Channel::err, table_message);
        std::fill(rows_, rows_ + PARAM_SLOTS, nullptr);
        for (int r = 0; r < PARAM_SLOTS; ++r) {
            char message[64];
            std::snprintf(message, sizeof message, row_format, r);
            rows_[r] = checked_alloc<float>(PARAM_SLOTS, Channel::err, message);
        }
    }
    float** get() const { return rows_; }

private:
    float** rows_ = nullptr;
};

// True when a parameter (1-based) lies outside the plausibility box; a NaN
// never does.
bool outside_box(const float a[], const AnalysisLimits& limits) {
    const double c1 = a[1];
    if (c1 < limits.box_c1_min || c1 > limits.box_c1_max) return true;
    for (int k : {2, 4}) {
        if (a[k] < limits.box_mean_min || a[k] > limits.box_mean_max) return true;
    }
    for (int k : {3, 5}) {
        if (a[k] < limits.box_sigma_min || a[k] > limits.box_sigma_max) return true;
    }
    return false;
}

// True when no mean or spread moved by more than shift levels from before
// to after (both 0-based: c1, mean1, sigma1, mean2, sigma2).
bool settled(const float before[], const float after[], double shift) {
    for (int k = 1; k < NPARAM; ++k) {
        if (!(std::fabs(static_cast<double>(after[k]) - static_cast<double>(before[k])) <= shift)) return false;
    }
    return true;
}

// The trace shows a threshold as the standard stream formats a float.
std::string stream_format(float value) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << value;
    return text.str();
}

}  // namespace

// The fitter addresses points 1..256, parameters 1..5 and matrix rows and
// columns 1..5. Each buffer keeps its element 0 (row 0 of a table) as the
// spare slot, so the fitter is handed the buffers themselves and grey level j
// lives at position j + 1; no pointer ever points before an allocation.
// hist is 0-based: bins 0..255, position 256 spare.
struct RegionWork::Buffers {
    Buffers() {
        x.reset(checked_alloc<float>(BUFFER_POINTS, Channel::out, text::NO_X));
        y.reset(checked_alloc<float>(BUFFER_POINTS, Channel::out, text::NO_Y));
        hist.reset(checked_alloc<int>(BUFFER_POINTS, Channel::out, text::NO_HIST));
        sig.reset(checked_alloc<float>(BUFFER_POINTS, Channel::out, text::NO_SIG));
        a.reset(checked_alloc<float>(PARAM_SLOTS, Channel::out, text::NO_A));
        ia.reset(checked_alloc<int>(PARAM_SLOTS, Channel::out, text::NO_IA));
        covar.allocate(text::NO_COVAR_TABLE, text::NO_COVAR_ROW);
        alpha.allocate(text::NO_ALPHA_TABLE, text::NO_ALPHA_ROW);
        // The grey levels and unit sigmas of every fit; the fitter only reads them.
        for (int j = 0; j < NDATA; ++j) {
            x.get()[j + 1] = static_cast<float>(j);
            sig.get()[j + 1] = 1.0f;
        }
    }

    MallocBlock<float> x, y;
    MallocBlock<int> hist;
    MallocBlock<float> sig, a;
    MallocBlock<int> ia;
    RowTable covar, alpha;
    // Reused across regions: each region's initial call replaces whatever a
    // previous fit left.
    MarquardtState state;
};

RegionWork::RegionWork() : buffers_(std::make_unique<Buffers>()) {}
RegionWork::~RegionWork() = default;

const OutcomeText& outcome_text(RegionStatus status) {
    // Indexed by RegionStatus.
    static const OutcomeText texts[REGION_STATUS_COUNT] = {
        {"recorded", "a recorded threshold"},
        {"empty", "an empty histogram"},
        {"flat", "a histogram too flat to split (a start spread of 0)"},
        {"left_box", "a fit that left the plausibility box (box_c1, box_mean, box_sigma)"},
        {"failed_test", "a failed bimodality test"},
        {"no_crossing", "components that do not cross between their means"},
    };
    return texts[static_cast<int>(status)];
}

namespace {

template <class Pixel>
int touch_pixels(const BasicImageBlock<Pixel>& image16, int region_size, int row, int col) {
    // The selection visits regions in variance order, scattered over the
    // image; without this nearly every row of a region misses the caches (a
    // prefetch hint is dropped on such misses).
    constexpr int LINE_PIXELS = 64 / static_cast<int>(sizeof(Pixel));
    constexpr int MAX_READS = 512;  // large regions stream well on their own
    const int top = region_origin(row, region_size);
    const int left = region_origin(col, region_size);
    int sum = 0;
    int reads = 0;
    for (int r = top; r < top + region_size && reads < MAX_READS; ++r) {
        const Pixel* pixels = image16.at(r) + (left - image16.left);
        for (int c = 0; c < region_size + LINE_PIXELS - 1 && reads < MAX_READS; c += LINE_PIXELS, ++reads) {
            sum += pixels[std::min(c, region_size - 1)];
        }
    }
    return sum;
}

template <class Pixel>
RegionRecord analyse_pixels(const AnalysisSettings& settings, const BasicImageBlock<Pixel>& image16,
                            int region_size, int row, int col, int index, RegionWork& work,
                            Sink& trace) {
    const AnalysisLimits& limits = *settings.limits;
    RegionWork::Buffers& wb = work.buffers();
    RegionRecord record;
    record.row = row;
    record.col = col;

    if (settings.debug) trace.print(text::TRACE_REGION, index);

    int* hist = wb.hist.get();
    float pixel_count = 0.0f;
    int mean_level = 0;
    build_region_histogram(settings, image16, region_size, row, col, hist, pixel_count, mean_level);
    if (pixel_count < 1.0f) {
        record.status = RegionStatus::empty;
        return record;
    }

    float* start = record.start;
    initial_estimates(hist, mean_level, start[0], start[1], start[2], start[3], start[4]);
    if (settings.smooth_his) smooth_histogram(hist);
    if (!(start[2] > 0.0f && start[4] > 0.0f)) {
        record.status = RegionStatus::flat;
        return record;
    }

    float* a = wb.a.get();
    int* ia = wb.ia.get();
    float* x = wb.x.get();
    float* y = wb.y.get();
    float* sig = wb.sig.get();
    float** covar = wb.covar.get();
    float** alpha = wb.alpha.get();
    for (int k = 0; k < NPARAM; ++k) {
        a[k + 1] = start[k];
        ia[k + 1] = 1;
    }
    // x and sig are the same for every region (set with the buffers).
    for (int j = 0; j < NDATA; ++j) y[j + 1] = static_cast<float>(hist[j]);
    // The total over the occupied bins.
    int lo = 0, hi = NDATA - 1;
    occupied_span(hist, lo, hi);
    float total = 0.0f;
    for (int j = lo; j <= hi; ++j) total += y[j + 1];
    if (settings.debug) {
        trace.print(text::TRACE_C1, start[0]);
        trace.print(text::TRACE_MEAN1, start[1]);
        trace.print(text::TRACE_SIGMA1, start[2]);
        trace.print(text::TRACE_MEAN2, start[3]);
        trace.print(text::TRACE_SIGMA2, start[4]);
    }

    MarquardtState& state = wb.state;
    float chisq = 0.0f;
    float lambda = -1.0f;
    marquardt_step(state, x, y, sig, a, ia, covar, alpha, chisq, total, lambda);
    int calls = 1;
    int iter_num = 1;
    bool left_box = outside_box(a, limits);
    if (!left_box) {
        for (;;) {
            const float ratio = chisq / total;
            if (!(static_cast<double>(ratio) > limits.stop_ratio)) break;
            if (iter_num >= limits.max_iterations) break;
            const float before[NPARAM] = {a[1], a[2], a[3], a[4], a[5]};
            const float lambda_before = lambda;
            marquardt_step(state, x, y, sig, a, ia, covar, alpha, chisq, total, lambda);
            ++calls;
            if (outside_box(a, limits)) left_box = true;
            ++iter_num;
            if (settings.debug) trace.print(text::TRACE_ITERATION, iter_num);
            if (left_box) break;
            // A rejected step raises lambda and leaves a as it was: only an
            // accepted one tells whether the fit has settled.
            if (limits.stop_shift > 0.0 && lambda < lambda_before && settled(before, a + 1, limits.stop_shift)) break;
        }
    }
    lambda = 0.0f;
    marquardt_step(state, x, y, sig, a, ia, covar, alpha, chisq, total, lambda);
    ++calls;
    if (settings.debug) trace.out(text::TRACE_FIT_END);

    TestOutcome test = TestOutcome::passed;
    const int bimodal = bimodal_test(a + 1, limits.valley_ratio, chisq, total, limits, &test);
    if (settings.debug) {
        trace.out(text::TRACE_TEST);
        trace.out(std::to_string(bimodal));
        trace.out("\n");
        trace.flush();
    }
    float threshold = NO_THRESHOLD;
    if (bimodal != 0) threshold = region_threshold(a + 1);
    if (settings.debug) {
        trace.out(text::TRACE_THRESHOLD);
        trace.out(stream_format(threshold));
        trace.out("\n");
        trace.flush();
    }

    std::copy(a + 1, a + 1 + NPARAM, record.fitted);
    record.chi_ratio = chisq / total;
    record.fitter_calls = calls;
    record.test = test;
    record.threshold = threshold;
    if (bimodal == 1 && threshold > NO_THRESHOLD) {
        record.status = RegionStatus::recorded;
    } else if (left_box) {
        record.status = RegionStatus::left_box;
    } else if (bimodal == 0) {
        record.status = RegionStatus::failed_test;
    } else {
        record.status = RegionStatus::no_crossing;
    }
    return record;
}

}  // namespace

int touch_region(const ImageBlock& image16, int region_size, int row, int col) {
    return touch_pixels(image16, region_size, row, col);
}

int touch_region(const ImageBlock8& image, int region_size, int row, int col) {
    return touch_pixels(image, region_size, row, col);
}

RegionRecord analyse_region(const AnalysisSettings& settings, const ImageBlock& image16, int region_size, int row,
                            int col, int index, RegionWork& work, Sink& trace) {
    return analyse_pixels(settings, image16, region_size, row, col, index, work, trace);
}

RegionRecord analyse_region(const AnalysisSettings& settings, const ImageBlock8& image, int region_size, int row,
                            int col, int index, RegionWork& work, Sink& trace) {
    return analyse_pixels(settings, image, region_size, row, col, index, work, trace);
}

}  // namespace zentrel
