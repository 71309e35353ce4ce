#include "bimodal/region_analysis.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <locale>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "numeric/arrays.h"
#include "numeric/marquardt.h"

namespace zentrel {

namespace {

constexpr int BUFFER_POINTS = NDATA + 1;  // 256 points plus one spare slot
constexpr int PARAM_SLOTS = NPARAM + 1;   // 5 parameters plus one spare slot

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using Block = std::unique_ptr<T[], FreeDeleter>;

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

// The work buffers of one fitting thread, allocated once in a fixed order.
//
// The fitter addresses points 1..256, parameters 1..5 and matrix rows and
// columns 1..5. Each buffer keeps its element 0 (row 0 of a table) as the
// spare slot, so the fitter is handed the buffers themselves and grey level j
// lives at position j + 1; no pointer ever points before an allocation.
// hist is 0-based: bins 0..255, position 256 spare.
struct WorkBuffers {
    WorkBuffers() {
        x.reset(checked_alloc<float>(BUFFER_POINTS, Channel::out, "memeroy allocation failed for x[]-bye\n"));
        y.reset(checked_alloc<float>(BUFFER_POINTS, Channel::out, "memeroy allocation failed for y[]-bye\n"));
        hist.reset(checked_alloc<int>(BUFFER_POINTS, Channel::out, "memeroy allocation failed for hist[]-bye\n"));
        sig.reset(checked_alloc<float>(BUFFER_POINTS, Channel::out, "memeroy allocation failed for sig[]-bye\n"));
        a.reset(checked_alloc<float>(PARAM_SLOTS, Channel::out, "memeroy allocation failed for a[]-bye\n"));
        ia.reset(checked_alloc<int>(PARAM_SLOTS, Channel::out, "memeroy allocation failed for ia[]-bye\n"));
        covar.allocate("Out of storage: covar[][].\n", "Out of storage: covar[%d].\n");
        alpha.allocate("Out of storage: alpha.\n", "Out of storage: alpha[%d].\n");
    }

    Block<float> x, y;
    Block<int> hist;
    Block<float> sig, a;
    Block<int> ia;
    RowTable covar, alpha;
};

// One fitting thread's buffers and fitter state; the state is reused across
// regions (each region's initial call replaces whatever a previous fit left).
struct Worker {
    WorkBuffers buffers;
    MarquardtState state;
    int warm = 0;  // where touch_region's sum goes
};

// Everything a region's analysis hands on to the in-order emitter.
struct RegionOutcome {
    RegionReport report;
    bool counted = false;  // at least one pixel: takes part in the progress step
    bool fitted = false;   // went through the fit: gets the valid-count trace line
    bool record = false;
    BufferSink trace;      // the region's trace when it ran on a worker thread
};

// The call's fixed arguments.
struct Call {
    const PipelineContext& context;
    const AnalysisLimits& limits;
    const int* selected_rows;
    const int* selected_cols;
    int region_size;
    float valley_ratio_limit;
    const std::int16_t* const* image16;
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

std::string stream_format(float value) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << value;
    return text.str();
}

// Reads one pixel of every cache line of selected region i, ahead of its
// histogram, so that the lines (and their page translations) are loaded
// while the current region is fitted. The selection visits regions in
// variance order, scattered over the image; without this nearly every row
// of a region misses the caches (a prefetch hint is dropped on such misses).
// Returns the sum of the pixels read, which only serves to keep the reads.
int touch_region(const Call& call, int i, int count) {
    if (i >= count) return 0;
    constexpr int LINE_PIXELS = 64 / static_cast<int>(sizeof(std::int16_t));
    constexpr int MAX_READS = 512;  // large regions stream well on their own
    const int top = call.region_size * call.selected_rows[i] / 2;
    const int left = call.region_size * call.selected_cols[i] / 2;
    int sum = 0;
    int reads = 0;
    for (int r = top; r < top + call.region_size && reads < MAX_READS; ++r) {
        const std::int16_t* row = call.image16[r] + left;
        for (int c = 0; c < call.region_size + LINE_PIXELS - 1 && reads < MAX_READS; c += LINE_PIXELS, ++reads) {
            sum += row[std::min(c, call.region_size - 1)];
        }
    }
    return sum;
}

// Histogram, start values, fit, test and threshold of selected region i.
// Trace lines go to trace; recording is left to the emitter.
void analyse_region(const Call& call, int i, Worker& worker, Sink& trace, RegionOutcome& outcome) {
    const PipelineContext& context = call.context;
    const AnalysisLimits& limits = call.limits;
    WorkBuffers& wb = worker.buffers;
    RegionReport& report = outcome.report;
    report.row = call.selected_rows[i];
    report.col = call.selected_cols[i];

    if (context.debug) trace.print("region=%d\n", i);

    int* hist = wb.hist.get();
    float pixel_count = 0.0f;
    int mean_level = 0;
    build_region_histogram(context, call.image16, call.region_size, report.row, report.col, hist,
                           pixel_count, mean_level);
    if (pixel_count < 1.0f) {
        report.status = RegionStatus::empty;
        return;
    }
    outcome.counted = true;

    float* start = report.start;
    initial_estimates(hist, mean_level, start[0], start[1], start[2], start[3], start[4]);
    if (context.smooth_his) smooth_histogram(hist);
    if (!(start[2] > 0.0f && start[4] > 0.0f)) {
        report.status = RegionStatus::flat;
        return;
    }
    outcome.fitted = true;

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
    float total = 0.0f;
    for (int j = 0; j < NDATA; ++j) {
        x[j + 1] = static_cast<float>(j);
        y[j + 1] = static_cast<float>(hist[j]);
        sig[j + 1] = 1.0f;
        total += y[j + 1];
    }
    if (context.debug) {
        trace.print("initial c1= %f\n", start[0]);
        trace.print("initial mean1= %f\n", start[1]);
        trace.print("initial sigma1= %f\n", start[2]);
        trace.print("initial mean2= %f\n", start[3]);
        trace.print("initial sigma2= %f\n", start[4]);
    }

    MarquardtState& state = worker.state;
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
            marquardt_step(state, x, y, sig, a, ia, covar, alpha, chisq, total, lambda);
            ++calls;
            if (outside_box(a, limits)) left_box = true;
            ++iter_num;
            if (context.debug) trace.print("iter_num= %d\n", iter_num);
            if (left_box) break;
        }
    }
    lambda = 0.0f;
    marquardt_step(state, x, y, sig, a, ia, covar, alpha, chisq, total, lambda);
    ++calls;
    if (context.debug) trace.out("Debug: ending mrgmin\n");

    TestOutcome test = TestOutcome::passed;
    const int bimodal = bimodal_test(a + 1, call.valley_ratio_limit, chisq, total, limits, &test);
    if (context.debug) {
        trace.out("Debug: testing bimodal passed\n");
        trace.out(std::to_string(bimodal));
        trace.out("\n");
        trace.flush();
    }
    float threshold = NO_THRESHOLD;
    if (bimodal != 0) threshold = region_threshold(a + 1);
    if (context.debug) {
        trace.out("Debug: region_thresh: ");
        trace.out(stream_format(threshold));
        trace.out("\n");
        trace.flush();
    }

    outcome.record = bimodal == 1 && threshold > NO_THRESHOLD;
    std::copy(a + 1, a + 1 + NPARAM, report.fitted);
    report.chi_ratio = chisq / total;
    report.fitter_calls = calls;
    report.test = test;
    report.threshold = threshold;
    if (outcome.record) {
        report.status = RegionStatus::recorded;
    } else if (left_box) {
        report.status = RegionStatus::left_box;
    } else if (bimodal == 0) {
        report.status = RegionStatus::failed_test;
    } else {
        report.status = RegionStatus::no_crossing;
    }
}

// Takes the regions' outcomes in region order: records passing regions,
// writes the valid-count trace line and the progress line.
class Emitter {
public:
    Emitter(const Call& call, int selected_count, int region_row[], int region_col[],
            float region_thresh[], RegionReport* reports)
        : call_(call),
          sink_(*call.context.sink),
          region_row_(region_row),
          region_col_(region_col),
          region_thresh_(region_thresh),
          reports_(reports),
          selected_count_(selected_count),
          progress_every_(selected_count / 10),
          progress_unit_(selected_count / 100) {}

    void emit(int i, const RegionOutcome& outcome) {
        const RegionReport& report = outcome.report;
        if (outcome.record) {
            region_row_[recorded_] = report.row;
            region_col_[recorded_] = report.col;
            region_thresh_[recorded_] = report.threshold;
            ++recorded_;
        }
        if (call_.context.debug && outcome.fitted) {
            sink_.out("Debug: valid count ");
            sink_.out(std::to_string(recorded_));
            sink_.out("\n");
            sink_.flush();
        }
        // With fewer than 100 regions one of the two divisors is 0: no
        // progress line then.
        if (!call_.context.debug && outcome.counted && progress_every_ > 0 && progress_unit_ > 0 &&
            i % progress_every_ == 0) {
            sink_.print("%3d %% is done...\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b", i / progress_unit_);
            sink_.flush();
        }
        if (reports_) {
            const float variance = reports_[i].variance;
            reports_[i] = report;
            reports_[i].variance = variance;
        }
    }

    int recorded() const { return recorded_; }
    int selected_count() const { return selected_count_; }

private:
    const Call& call_;
    Sink& sink_;
    int* region_row_;
    int* region_col_;
    float* region_thresh_;
    RegionReport* reports_;
    int selected_count_;
    int progress_every_;
    int progress_unit_;
    int recorded_ = 0;
};

void run_inline(const Call& call, Worker& worker, Emitter& emitter) {
    for (int i = 0; i < emitter.selected_count(); ++i) {
        RegionOutcome outcome;
        worker.warm = touch_region(call, i + 1, emitter.selected_count());
        analyse_region(call, i, worker, *call.context.sink, outcome);
        emitter.emit(i, outcome);
    }
}

// Regions are handed out in increasing order to the workers, the calling
// thread being one of them. Between two regions of its own, and once none is
// left to take, the calling thread emits each region's trace and result in
// region order as soon as the regions before it are done, so the text and
// the lists match a run on one thread byte for byte; it waits only at the
// end, so the other workers need not wake it region by region. A region's
// exception ends the hand-out; the regions before the failed one are still
// emitted, then every worker is joined and the exception of the lowest
// failed region is rethrown, as one thread would have thrown it.
void run_threaded(const Call& call, std::vector<std::unique_ptr<Worker>>& workers,
                  Emitter& emitter) {
    const int count = emitter.selected_count();
    enum : char { pending, done, failed };
    std::vector<RegionOutcome> outcomes(static_cast<std::size_t>(count));
    std::vector<std::exception_ptr> errors(static_cast<std::size_t>(count));
    std::vector<char> progress(static_cast<std::size_t>(count), pending);
    std::mutex mutex;
    std::condition_variable changed;
    std::atomic<int> next{0};
    std::atomic<bool> stop{false};

    auto analyse_one = [&](Worker& worker, int i) {
        // The region this worker probably takes next, one per worker on.
        worker.warm = touch_region(call, i + static_cast<int>(workers.size()), count);
        char result = done;
        try {
            RegionOutcome& outcome = outcomes[static_cast<std::size_t>(i)];
            analyse_region(call, i, worker, outcome.trace, outcome);
        } catch (...) {
            errors[static_cast<std::size_t>(i)] = std::current_exception();
            stop.store(true);
            result = failed;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            progress[static_cast<std::size_t>(i)] = result;
        }
        changed.notify_all();
    };
    auto work = [&](Worker& worker) {
        while (!stop.load()) {
            const int i = next.fetch_add(1);
            if (i >= count) break;
            analyse_one(worker, i);
        }
    };

    std::vector<std::thread> threads;
    struct JoinAll {
        std::vector<std::thread>& threads;
        std::atomic<bool>& stop;
        ~JoinAll() {
            stop.store(true);
            for (std::thread& t : threads) {
                if (t.joinable()) t.join();
            }
        }
    } join_all{threads, stop};

    threads.reserve(workers.size() - 1);
    for (std::size_t w = 1; w < workers.size(); ++w) threads.emplace_back(work, std::ref(*workers[w]));

    // Emits the regions that are done, in order; with wait, every region.
    Sink& sink = *call.context.sink;
    int emitted = 0;
    auto emit_ready = [&](bool wait) {
        for (; emitted < count; ++emitted) {
            const std::size_t k = static_cast<std::size_t>(emitted);
            {
                std::unique_lock<std::mutex> lock(mutex);
                if (wait) {
                    changed.wait(lock, [&] { return progress[k] != pending; });
                } else if (progress[k] == pending) {
                    return;
                }
            }
            RegionOutcome& outcome = outcomes[k];
            outcome.trace.replay(sink);
            if (!outcome.trace.out_text.empty()) sink.flush();
            if (progress[k] == failed) {
                stop.store(true);
                for (std::thread& t : threads) t.join();
                std::rethrow_exception(errors[k]);
            }
            emitter.emit(emitted, outcome);
            std::string().swap(outcome.trace.out_text);
        }
    };

    while (!stop.load()) {
        emit_ready(false);
        const int i = next.fetch_add(1);
        if (i >= count) break;
        analyse_one(*workers.front(), i);
    }
    emit_ready(true);
}

}  // namespace

void analyse_regions(const PipelineContext& context, int selected_count, const int selected_rows[],
                     const int selected_cols[], int& valid_count, int region_row[],
                     int region_col[], float region_thresh[], int region_size,
                     float valley_ratio_limit, const std::int16_t* const* image16,
                     RegionReport* reports) {
    const Call call{context,       *context.limits, selected_rows, selected_cols,
                    region_size,   valley_ratio_limit, image16};
    Sink& sink = *context.sink;

    // One set of work buffers per fitting thread, all allocated up front on
    // this thread so that a failure surfaces before any output.
    const int thread_count =
        context.threads > 1 && selected_count > 1 ? std::min(context.threads, selected_count) : 1;
    std::vector<std::unique_ptr<Worker>> workers;
    workers.reserve(static_cast<std::size_t>(thread_count));
    for (int t = 0; t < thread_count; ++t) workers.push_back(std::make_unique<Worker>());

    if (context.debug) sink.print("Number of regions=%d\n", selected_count);

    Emitter emitter(call, std::max(selected_count, 0), region_row, region_col, region_thresh,
                    reports);
    if (thread_count == 1) {
        run_inline(call, *workers.front(), emitter);
    } else {
        run_threaded(call, workers, emitter);
    }

    valid_count = emitter.recorded();
    sink.print(
        "\n\n Bimodal Gaussian Curve Fitting and local threshold calculation is completed with %d "
        "valid regions\n",
        emitter.recorded());
}

}  // namespace zentrel
