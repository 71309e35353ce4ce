#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bimodal/region_analysis.h"
#include "numeric/arrays.h"
#include "pipeline/region_loop.h"

namespace zentrel {
namespace {

constexpr int R = 64;     // region side
constexpr int PAD = 999;  // excluded filler beside a region's counted pixels
using Histogram = std::map<int, int>;

template <class T>
std::string format(const char* fmt, T value) {
    char text[256];
    std::snprintf(text, sizeof text, fmt, value);
    return text;
}
std::string completion(int valid) {
    return format("\n\n Bimodal Gaussian Curve Fitting and local threshold calculation is completed "
                  "with %d valid regions\n", valid);
}

// Counts that follow a normal mode up to rounding.
Histogram gaussian(double pixels, double mean, double sd, Histogram h = {}) {
    for (int v = 0; v < 256; ++v) {
        const double z = sd * std::sqrt(2.0);
        const long n = std::lround(pixels * 0.5 * (std::erfc((mean - v - 0.5) / z) - std::erfc((mean - v + 0.5) / z)));
        if (n > 0) h[v] += static_cast<int>(n);
    }
    return h;
}
Histogram clean_bimodal() { return gaussian(1900, 200, 8, gaussian(1900, 110, 8)); }
// Two flat plateaus: never fitted closely enough to stop early.
Histogram plateaus() {
    Histogram h;
    for (int v = 90; v <= 130; ++v) h[v] = h[v + 90] = 24;
    return h;
}
// Random pixels from two normal modes (fixed generator, own Box-Muller).
Histogram noisy(unsigned seed, double dark, double bright, double sd, int pixels = R * R) {
    std::mt19937 gen(seed);
    auto uniform = [&gen] { return (gen() + 0.5) / 4294967296.0; };
    Histogram h;
    for (int k = 0; k < pixels; ++k) {
        const double z = std::sqrt(-2.0 * std::log(uniform())) * std::cos(6.283185307179586 * uniform());
        ++h[static_cast<int>(std::fmin(255.0, std::fmax(0.0, std::round((k % 2 ? bright : dark) + sd * z))))];
    }
    return h;
}

// Block k holds histogram k (the rest PAD) and is region (0, 2k) of the
// half-overlap grid, so blocks never overlap.
struct RegionImage {
    explicit RegionImage(const std::vector<Histogram>& blocks)
        : cols(R * static_cast<int>(blocks.size())), pixels(static_cast<std::size_t>(R) * cols, PAD), table(R) {
        for (int r = 0; r < R; ++r) table[r] = &pixels[static_cast<std::size_t>(r) * cols];
        for (std::size_t k = 0; k < blocks.size(); ++k) {
            int slot = 0;
            for (auto [level, count] : blocks[k]) {
                for (int n = 0; n < count; ++n, ++slot) {
                    table.at(slot / R)[k * R + slot % R] = static_cast<std::int16_t>(level);
                }
            }
        }
    }
    int cols;
    std::vector<std::int16_t> pixels;
    std::vector<std::int16_t*> table;
};

struct Options {
    bool debug = false, smooth = false;
    int threads = 1;
    const AnalysisLimits* limits = &default_limits();
};
struct Result {
    int valid_count = -1;
    std::vector<int> region_row, region_col;
    std::vector<float> region_thresh;
    std::vector<RegionRecord> reports;
    std::string out;
};

// Analyses the listed blocks in order (repeats allowed); the text goes to
// capture when given, so that it survives an exception.
Result analyse(const RegionImage& image, const std::vector<int>& order, const Options& options = {},
               BufferSink* capture = nullptr) {
    BufferSink own;
    BufferSink& sink = capture ? *capture : own;
    PipelineContext context;
    context.excluded_value = PAD;
    context.debug = options.debug;
    context.smooth_his = options.smooth;
    context.sink = &sink;
    context.limits = options.limits;
    context.threads = options.threads;
    std::vector<int> rows(order.size(), 0), cols;
    for (int k : order) cols.push_back(2 * k);
    Result run;
    // The recorded regions in analysis order, then -7 up to the list's size.
    run.region_row.assign(order.size(), -7);
    run.region_col.assign(order.size(), -7);
    run.region_thresh.assign(order.size(), -7.0f);
    run.reports = analyse_regions(context, image.table.data(), R, static_cast<int>(order.size()),
                                  rows.data(), cols.data());
    run.valid_count = 0;
    for (const RegionRecord& r : run.reports) {
        if (!r.recorded()) continue;
        run.region_row[run.valid_count] = r.row;
        run.region_col[run.valid_count] = r.col;
        run.region_thresh[run.valid_count] = r.threshold;
        ++run.valid_count;
    }
    EXPECT_TRUE(sink.err_text.empty());
    run.out = sink.out_text;
    return run;
}

TEST(RegionAnalysis, FitterCallsAndRecording) {
    // Block 0: one mode (fitted, fails the valley test); block 1: one grey
    // level (not fitted); block 2: clean mixture, matched after the initial
    // call; block 3: plateaus, never below the stop ratio.
    const RegionImage image({gaussian(3800, 128, 20), Histogram{{140, R * R}}, clean_bimodal(), plateaus()});
    const Result run = analyse(image, {0, 1, 2, 3});
    const RegionRecord* r = run.reports.data();
    EXPECT_EQ(r[0].status, RegionStatus::failed_test);
    EXPECT_EQ(r[0].test, TestOutcome::no_valley);
    EXPECT_EQ(r[1].status, RegionStatus::flat);
    EXPECT_EQ(r[1].fitter_calls, 0);
    EXPECT_EQ(r[2].fitter_calls, 2);
    EXPECT_LE(r[2].chi_ratio, 0.8f);
    EXPECT_NEAR(r[2].fitted[1], 110.0f, 0.5f);
    EXPECT_NEAR(r[2].fitted[3], 200.0f, 0.5f);
    EXPECT_NEAR(r[2].threshold, 155.0f, 1.0f);
    EXPECT_EQ(r[3].fitter_calls, 21);
    EXPECT_GT(r[3].chi_ratio, 0.8f);

    // Only the third and fourth pass: compact lists in analysis order.
    ASSERT_EQ(run.valid_count, 2);
    EXPECT_EQ(run.region_col, (std::vector<int>{4, 6, -7, -7}));
    EXPECT_EQ(run.region_row, (std::vector<int>{0, 0, -7, -7}));
    EXPECT_EQ(run.region_thresh, (std::vector<float>{r[2].threshold, r[3].threshold, -7, -7}));
    EXPECT_EQ(region_threshold(r[3].fitted), r[3].threshold);
    EXPECT_EQ(run.out, completion(2));
}

TEST(RegionAnalysis, DebugTrace) {
    Options debug;
    debug.debug = true;
    const Result run = analyse(RegionImage({plateaus()}), {0}, debug);
    ASSERT_EQ(run.valid_count, 1);
    const RegionRecord& r = run.reports[0];
    std::string want = "Number of regions=1\nregion=0\n";
    const char* names[] = {"c1", "mean1", "sigma1", "mean2", "sigma2"};
    for (int k = 0; k < 5; ++k) want += "initial " + std::string(names[k]) + format("= %f\n", r.start[k]);
    for (int iter = 2; iter <= 20; ++iter) want += format("iter_num= %d\n", iter);
    std::ostringstream threshold;
    threshold << r.threshold;
    want += "Debug: ending mrgmin\nDebug: testing bimodal passed\n1\nDebug: region_thresh: " +
            threshold.str() + "\nDebug: valid count 1\n" + completion(1);
    EXPECT_EQ(run.out, want);
    // Start values of the unsmoothed plateaus: split at 155, variance (41^2-1)/12.
    EXPECT_FLOAT_EQ(r.start[1], 110.0f);
    EXPECT_FLOAT_EQ(r.start[3], 200.0f);
    EXPECT_FLOAT_EQ(r.start[2], std::sqrt(140.0f));

    // A failing region shows 0 and -9999.
    AnalysisLimits no_valley;
    no_valley.valley_ratio = 0.0f;
    debug.limits = &no_valley;
    const Result failed = analyse(RegionImage({clean_bimodal()}), {0}, debug);
    EXPECT_EQ(failed.reports[0].status, RegionStatus::failed_test);
    EXPECT_NE(failed.out.find("passed\n0\nDebug: region_thresh: -9999\nDebug: valid count 0\n\n\n"),
              std::string::npos);
}

TEST(RegionAnalysis, UnfittedRegionsPrintOnlyTheirRegionLine) {
    const std::vector<std::pair<Histogram, RegionStatus>> cases = {
        {{}, RegionStatus::empty},  // every pixel excluded
        {{{77, 500}}, RegionStatus::flat},
        {{{255, R * R}}, RegionStatus::flat},  // bright part empty
        {{{60, 100}, {200, 50}, {210, 50}}, RegionStatus::flat},
        {{{20, 5}, {30, 5}, {100, 3000}, {101, 1}}, RegionStatus::flat},  // NaN start sigma
    };
    Options debug;
    debug.debug = true;
    for (const auto& [hist, status] : cases) {
        const Result run = analyse(RegionImage({hist}), {0}, debug);
        EXPECT_EQ(run.reports[0].status, status) << hist.size();
        EXPECT_EQ(run.out, "Number of regions=1\nregion=0\n" + completion(0)) << hist.size();
    }
}

TEST(RegionAnalysis, ProgressLines) {
    // Block 0 has one grey level (not fitted, still counted); block 1 is
    // empty (never counted).
    const RegionImage image({Histogram{{90, 300}}, Histogram{}});
    struct Case {
        int count;
        std::vector<int> empty_at, shown;
    };
    const std::vector<Case> cases = {
        {100, {}, {0, 10, 20, 30, 40, 50, 60, 70, 80, 90}},
        {250, {}, {0, 12, 25, 37, 50, 62, 75, 87, 100, 112}},
        {100, {0, 30, 31}, {10, 20, 40, 50, 60, 70, 80, 90}},
        {99, {}, {}}, {0, {}, {}},  // a zero divisor: no line
    };
    for (const Case& c : cases) {
        std::vector<int> order(c.count, 0);
        for (int i : c.empty_at) order[i] = 1;
        std::string want;
        for (int v : c.shown) want += format("%3d %% is done...", v) + std::string(16, '\b');
        EXPECT_EQ(analyse(image, order).out, want + completion(0)) << c.count;
        Options debug;
        debug.debug = true;
        const std::string traced = analyse(image, order, debug).out;
        EXPECT_EQ(traced.find("is done"), std::string::npos) << c.count;
        EXPECT_EQ(traced.rfind(format("Number of regions=%d\n", c.count), 0), 0u);
    }
}

TEST(RegionAnalysis, SmoothingChangesTheFitNotTheStartValues) {
    const RegionImage image({noisy(7, 110, 200, 8)});
    Options smooth;
    smooth.smooth = true;
    const RegionRecord plain = analyse(image, {0}).reports[0];
    const RegionRecord smoothed = analyse(image, {0}, smooth).reports[0];
    for (int k = 0; k < 5; ++k) EXPECT_EQ(plain.start[k], smoothed.start[k]);
    EXPECT_LT(smoothed.chi_ratio, plain.chi_ratio);  // evened noise fits closer
}

TEST(RegionAnalysis, LimitsComeFromTheContext) {
    struct Case {
        std::function<void(AnalysisLimits&)> change;
        int calls;
        RegionStatus status;
    };
    const std::vector<Case> cases = {
        {[](AnalysisLimits& l) { l.max_iterations = 5; }, 6, RegionStatus::recorded},
        {[](AnalysisLimits& l) { l.stop_ratio = 100.0; }, 2, RegionStatus::recorded},
        // Leaving the box ends the refinement; the test alone decides.
        {[](AnalysisLimits& l) { l.box_sigma_max = 5.0f; }, 2, RegionStatus::recorded},
        {[](AnalysisLimits& l) { l.box_c1_max = l.test_c1_max = 0.3; }, 2, RegionStatus::left_box},
        {[](AnalysisLimits& l) { l.test_mean2_max = 150.0f; }, 21, RegionStatus::failed_test},
        // The same fit stops after its first accepted step once any shift
        // counts as settled, and runs on when none does.
        {[](AnalysisLimits& l) { l.test_mean2_max = 150.0f, l.stop_shift = 1e9; }, 3, RegionStatus::failed_test},
        {[](AnalysisLimits& l) { l.test_mean2_max = 150.0f, l.stop_shift = 1e-30; }, 21, RegionStatus::failed_test},
    };
    const RegionImage image({plateaus()});
    for (std::size_t k = 0; k < cases.size(); ++k) {
        AnalysisLimits limits;
        cases[k].change(limits);
        Options options;
        options.limits = &limits;
        const RegionRecord r = analyse(image, {0}, options).reports[0];
        EXPECT_EQ(r.fitter_calls, cases[k].calls) << k;
        EXPECT_EQ(r.status, cases[k].status) << k;
    }
}

// Regions of every kind in a scrambled order with repeats.
struct ManyRegions {
    ManyRegions() : image(blocks()) {
        std::mt19937 gen(11);
        for (int i = 0; i < 160; ++i) order.push_back(static_cast<int>(gen() % 24));
    }
    static std::vector<Histogram> blocks() {
        std::vector<Histogram> b;
        for (unsigned k = 0; k < 24; ++k) {
            const Histogram kinds[] = {noisy(k, 105 + k, 195 - k, 8), noisy(k, 128, 132, 15),
                                       Histogram{{40 + k, 700}}, Histogram{}, plateaus(),
                                       noisy(k, 90, 230, 12, 2000)};
            b.push_back(kinds[k % 6]);
        }
        return b;
    }
    RegionImage image;
    std::vector<int> order;
};

TEST(RegionAnalysis, ThreadsGiveTheSameListsAndText) {
    const ManyRegions many;
    for (bool debug : {false, true}) {
        for (bool smooth : {false, true}) {
            Options one;
            one.debug = debug;
            one.smooth = smooth;
            Options four = one;
            four.threads = 4;
            const Result a = analyse(many.image, many.order, one);
            const Result b = analyse(many.image, many.order, four);
            ASSERT_GT(a.valid_count, 10);
            ASSERT_LT(a.valid_count, 150);
            EXPECT_EQ(a.region_row, b.region_row);
            EXPECT_EQ(a.region_col, b.region_col);
            EXPECT_EQ(a.region_thresh, b.region_thresh);
            EXPECT_EQ(a.out, b.out) << debug << smooth;
            for (std::size_t i = 0; i < a.reports.size(); ++i) {
                ASSERT_EQ(a.reports[i].fitter_calls, b.reports[i].fitter_calls) << i;
                ASSERT_EQ(a.reports[i].status, b.reports[i].status) << i;
            }
        }
    }
}

TEST(RegionAnalysis, WorkBufferAllocationFailure) {
    std::vector<std::pair<std::string, Channel>> buffers;
    for (const char* name : {"x", "y", "hist", "sig", "a", "ia"}) {
        buffers.push_back({format("memeroy allocation failed for %s[]-bye\n", name), Channel::out});
    }
    buffers.push_back({"Out of storage: covar[][].\n", Channel::err});
    for (int r = 0; r < 6; ++r) buffers.push_back({format("Out of storage: covar[%d].\n", r), Channel::err});
    buffers.push_back({"Out of storage: alpha.\n", Channel::err});
    for (int r = 0; r < 6; ++r) buffers.push_back({format("Out of storage: alpha[%d].\n", r), Channel::err});

    const RegionImage image({clean_bimodal()});
    for (int threads : {1, 3}) {
        for (std::size_t k = 0; k < buffers.size(); ++k) {
            Options debug;
            debug.debug = true;
            debug.threads = threads;
            BufferSink sink;
            fail_allocation_after(static_cast<long>(k) + 1);
            try {
                analyse(image, {0, 0, 0}, debug, &sink);
                ADD_FAILURE() << buffers[k].first;
            } catch (const AllocationFailure& failure) {
                EXPECT_EQ(failure.message(), buffers[k].first);
                EXPECT_EQ(failure.channel(), buffers[k].second);
            }
            fail_allocation_after(0);
            EXPECT_EQ(sink.out_text, "") << "buffers come before any text";
        }
    }
    fail_allocation_after(1);  // allocated even with nothing selected
    EXPECT_THROW(analyse(image, {}), AllocationFailure);
    fail_allocation_after(0);
}

TEST(RegionAnalysis, FitterFailureReachesTheCallerAfterTheRegionsBeforeIt) {
    // Allocations after the 20 work buffers per thread are the fitter's. The
    // regions before the failed one are emitted whole and in order, the
    // failed one up to the failure, nothing after it.
    const ManyRegions many;
    Options debug;
    debug.debug = true;
    const Result full = analyse(many.image, many.order, debug);
    for (int threads : {1, 4}) {
        for (long extra : {1L, 40L, 301L}) {
            debug.threads = threads;
            BufferSink sink;
            fail_allocation_after(20L * threads + extra);
            try {
                analyse(many.image, many.order, debug, &sink);
                ADD_FAILURE() << threads << " threads, failure " << extra;
            } catch (const AllocationFailure& failure) {
                EXPECT_EQ(failure.message().rfind("Numerical Recipes run-time error...\n", 0), 0u);
            }
            fail_allocation_after(0);
            EXPECT_EQ(full.out.compare(0, sink.out_text.size(), sink.out_text), 0) << threads << "/" << extra;
            EXPECT_EQ(sink.out_text.find("is completed"), std::string::npos);
            EXPECT_EQ(sink.out_text.rfind("Number of regions=160\nregion=0\n", 0), 0u);
        }
    }
}

}  // namespace
}  // namespace zentrel
