#include "pipeline/driver.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>

#include "bimodal/region_grid.h"
#include "numeric/arrays.h"
#include "numeric/console_text.h"
#include "pipeline/context.h"
#include "pipeline/pixel_threshold.h"
#include "pipeline/region_loop.h"
#include "pipeline/region_selection.h"
#include "pipeline/region_stats.h"
#include "pipeline/region_variance.h"
#include "pipeline/threshold_grid.h"

namespace zentrel {

namespace {

// Times one stage into a report slot, when a report is wanted.
class StageTimer {
public:
    explicit StageTimer(double* slot) : slot_(slot), start_(std::chrono::steady_clock::now()) {}
    ~StageTimer() {
        if (slot_) {
            *slot_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        }
    }

private:
    double* slot_;
    std::chrono::steady_clock::time_point start_;
};

// The working copy of the input: a table of row pointers, each row its own
// allocation, released row by row and then the table.
class Image16 {
public:
    Image16(int rows, int cols) : table_(static_cast<std::size_t>(rows), nullptr) {
        for (auto& row : table_) row = new std::int16_t[static_cast<std::size_t>(cols)];
    }
    ~Image16() {
        for (auto* row : table_) delete[] row;
    }
    Image16(const Image16&) = delete;
    Image16& operator=(const Image16&) = delete;
    std::int16_t** rows() { return table_.data(); }

private:
    std::vector<std::int16_t*> table_;
};

[[noreturn]] void reject(const std::string& message) { throw std::invalid_argument(message); }

// Every accepted value truncates toward zero into 0..255; NaN and the
// infinities fail both comparisons.
inline bool grey_level(float v, std::int16_t& out) {
    if (!(v > -1.0f && v < 256.0f)) return false;
    out = static_cast<std::int16_t>(static_cast<std::int32_t>(v));
    return true;
}
inline bool grey_level(std::int32_t v, std::int16_t& out) {
    if (v < 0 || v > 255) return false;
    out = static_cast<std::int16_t>(v);
    return true;
}
inline bool grey_level(std::uint8_t v, std::int16_t& out) {
    out = static_cast<std::int16_t>(v);
    return true;
}

template <class T>
std::string describe(T v) {
    if constexpr (std::is_floating_point_v<T>) {
        char text[64];
        std::snprintf(text, sizeof text, "%.9g", static_cast<double>(v));
        return text;
    } else {
        return std::to_string(static_cast<long long>(v));
    }
}

// Reads the input through its strides, so transposed, flipped and sliced
// views need no copy of their own.
template <class T>
void convert_input(const InputView<T>& input, int rows, int cols, std::int16_t** image16,
                   const char* name) {
    const char* base = reinterpret_cast<const char*>(input.data);
    const std::int64_t row_stride = input.strides[0];
    const std::int64_t col_stride = input.strides[1];
    for (int r = 0; r < rows; ++r) {
        const char* row = base + r * row_stride;
        std::int16_t* dst = image16[r];
        for (int c = 0; c < cols; ++c) {
            T value;
            std::memcpy(&value, row + c * col_stride, sizeof value);
            if (!grey_level(value, dst[c])) {
                reject(std::string(name) + ": value " + describe(value) + " at (" + std::to_string(r) + ", " +
                       std::to_string(c) +
                       ") is not a grey level; accepted are finite values that truncate toward "
                       "zero into 0..255");
            }
        }
    }
}

struct Geometry {
    int rows;
    int cols;
    int region_rows;
    int region_cols;
};

template <class T>
Geometry check_call(const InputView<T>& input, const OutputView& output, int percent,
                    int region_size, const std::string& name) {
    if (input.ndim != 2) {
        reject(name + ": got an array with " + std::to_string(input.ndim) +
               " dimensions; a two-dimensional image is required");
    }
    if (region_size < 1) {
        reject("region_size: got " + std::to_string(region_size) + "; it must be at least 1");
    }
    if (percent < 0 || percent > 100) {
        reject("percent: got " + std::to_string(percent) + "; accepted are 0..100");
    }
    const std::int64_t limit = std::numeric_limits<std::int32_t>::max();
    const std::int64_t rows = input.shape[0];
    const std::int64_t cols = input.shape[1];
    if (rows > limit || cols > limit) {
        reject(name + ": shape (" + std::to_string(rows) + ", " + std::to_string(cols) +
               ") has a side longer than " + std::to_string(limit) + " pixels");
    }
    Geometry g{static_cast<int>(rows), static_cast<int>(cols), 0, 0};
    g.region_rows = region_count(g.rows, region_size);
    g.region_cols = region_count(g.cols, region_size);
    if (g.region_rows < 1 || g.region_cols < 1) {
        // 2 * side / R - 1 >= 1 exactly when side >= R.
        reject(name + ": shape (" + std::to_string(rows) + ", " + std::to_string(cols) +
               ") is too small for region_size " + std::to_string(region_size) +
               "; each side must be at least region_size (" + std::to_string(region_size) +
               ") pixels");
    }
    if (!output.c_contiguous) {
        reject("output_image: the array is not C-contiguous; a C-contiguous int16 array is required");
    }
    if (output.size < rows * cols) {
        reject("output_image: got " + std::to_string(output.size) + " elements; at least " +
               std::to_string(rows * cols) + " (rows x cols of input_image) are required");
    }
    return g;
}

}  // namespace


int default_thread_count() {
    // ZENTREL_THREADS sets the count for callers that cannot pass one (the
    // module function's signature is fixed): tests and benchmarks.
    if (const char* text = std::getenv("ZENTREL_THREADS")) {
        char* end = nullptr;
        const long value = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && value >= 1 && value <= 1024) return static_cast<int>(value);
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return hw == 0 ? 1 : static_cast<int>(hw);
}

namespace {

// The variance map on either kind of block: the classic strips over the
// 16-bit copy, or the tile pass over levels held as they are (the same
// integer counts, hence the same variances bit for bit).
void variance_stage(const PipelineContext& context, int region_rows, int region_cols, float** grid,
                    int region_size, const ImageBlock& image) {
    compute_region_variance(context, region_rows, region_cols, grid, region_size, image);
}

void variance_stage(const PipelineContext& context, int region_rows, int region_cols, float** grid,
                    int region_size, const ImageBlock8& image) {
    RegionStatsOutput out;
    out.variance = grid;
    compute_region_stats(context, region_rows, region_cols, region_size, image, out);
}

// The stages after the input is read, on the block that holds the grey
// levels. Returns whether a region passed.
template <class Block>
bool run_stages(const Block& image, int rows, int cols, const Geometry& g, int percent, int region_size,
                const OutputView& output, PipelineContext& context, const DriverSettings& settings) {
    Sink& sink = *settings.sink;
    if (!output.writeable) throw std::domain_error("array is not writeable");
    int valid_count = 0;
    const std::int64_t pixels = static_cast<std::int64_t>(rows) * cols;
    std::vector<std::int16_t*> output_rows;
    std::vector<std::uint8_t*> output_rows8;
    if (output.data8) {
        output_rows8.resize(static_cast<std::size_t>(rows));
        for (int r = 0; r < rows; ++r) output_rows8[static_cast<std::size_t>(r)] = output.data8 + std::int64_t{r} * cols;
        std::fill(output.data8, output.data8 + pixels, std::uint8_t{1});
    } else {
        output_rows.resize(static_cast<std::size_t>(rows));
        for (int r = 0; r < rows; ++r) output_rows[static_cast<std::size_t>(r)] = output.data + std::int64_t{r} * cols;
        std::fill(output.data, output.data + pixels, std::int16_t{1});
    }

    const int region_rows = g.region_rows;
    const int region_cols = g.region_cols;
    sink.print(text::REGION_GRID, region_rows, region_cols);

    DriverReport* report = settings.report;
    auto slot = [report](int stage) { return report ? &report->stage_seconds[stage] : nullptr; };

    FImage variance_grid(region_rows, region_cols);
    sink.out(text::VARIANCE_START);
    {
        StageTimer timer(slot(0));
        variance_stage(context, region_rows, region_cols, variance_grid.get(), region_size, image);
    }
    sink.out(text::VARIANCE_DONE);

    const int selected_count = selected_region_count(region_rows, region_cols, percent);
    sink.print(text::SELECTED_COUNT, selected_count);

    std::vector<int> selected_rows(static_cast<std::size_t>(selected_count));
    std::vector<int> selected_cols(static_cast<std::size_t>(selected_count));
    sink.out(text::SELECTION_START);
    {
        StageTimer timer(slot(1));
        select_high_variance_regions(region_rows, region_cols, selected_count,
                                     variance_grid.get(), selected_rows.data(),
                                     selected_cols.data());
    }
    sink.out(text::SELECTION_DONE);

    if (report) {
        report->region_rows = region_rows;
        report->region_cols = region_cols;
        report->selected_count = selected_count;
        report->variances.resize(report->keep_variances ? static_cast<std::size_t>(selected_count) : 0);
        for (int i = 0; i < static_cast<int>(report->variances.size()); ++i) {
            report->variances[static_cast<std::size_t>(i)] = variance_grid[selected_rows[i]][selected_cols[i]];
        }
    }
    variance_grid.reset();

    sink.out(text::ANALYSIS_START);
    std::vector<RegionRecord> records;
    {
        StageTimer timer(slot(2));
        records = analyse_regions(context, image, region_size, selected_count,
                                  selected_rows.data(), selected_cols.data());
    }
    // The recorded regions, in analysis order, feed the threshold grid.
    std::vector<int> region_row;
    std::vector<int> region_col;
    std::vector<float> region_thresh;
    for (const RegionRecord& record : records) {
        if (!record.recorded()) continue;
        region_row.push_back(record.row);
        region_col.push_back(record.col);
        region_thresh.push_back(record.threshold);
    }
    valid_count = static_cast<int>(region_thresh.size());
    if (report) {
        report->valid_count = valid_count;
        report->regions = std::move(records);
    }
    records = {};
    sink.print(text::PASSED_COUNT, static_cast<long>(valid_count));

    if (valid_count == 0) {
        sink.out(text::STOPPED);
        return false;
    }

    selected_rows = {};
    selected_cols = {};
    FImage threshold_grid(region_rows, region_cols);
    sink.out(text::GRID_START);
    {
        StageTimer timer(slot(3));
        fill_threshold_grid(valid_count, region_rows, region_cols, region_row.data(),
                            region_col.data(), region_thresh.data(), threshold_grid.get(), context.threads);
    }
    sink.out(text::GRID_DONE);
    region_row = {};
    region_col = {};
    region_thresh = {};

    sink.out(text::PIXELS_START);
    {
        StageTimer timer(slot(4));
        if (output.data8) {
            threshold_pixels(region_rows, region_cols, threshold_grid.get(), rows, cols,
                             region_size, image, output_rows8.data(), context.threads,
                             settings.threshold_surface);
        } else if constexpr (std::is_same_v<Block, ImageBlock>) {
            threshold_pixels(region_rows, region_cols, threshold_grid.get(), rows, cols,
                             region_size, image, output_rows.data(), context.threads,
                             settings.threshold_surface);
        }
    }
    sink.out(text::PIXELS_DONE);
    return true;
}

}  // namespace

template <class T>
bool adaptive_threshold(const InputView<T>* input, const OutputView* output, int percent,
                        int region_size, bool debug, bool smooth_his,
                        const DriverSettings& settings) {
    Sink& sink = *settings.sink;
    sink.out(text::BANNER);
    if (input == nullptr || input->data == nullptr) {
        sink.out(text::INPUT_NONE);
        return false;
    }
    if (output == nullptr || (output->data == nullptr && output->data8 == nullptr)) {
        sink.out(text::OUTPUT_NONE);
        return false;
    }
    const Geometry g = check_call(*input, *output, percent, region_size, settings.input_name);
    const int rows = g.rows;
    const int cols = g.cols;

    try {
        PipelineContext context;
        context.smooth_his = smooth_his ? 1 : 0;
        context.debug = debug ? 1 : 0;
        context.sink = &sink;
        context.limits = settings.limits;
        context.threads = settings.threads > 0 ? settings.threads : default_thread_count();

        if constexpr (std::is_same_v<T, std::uint8_t>) {
            // Grey levels as they are, whose rows are contiguous, need no
            // working copy when the output is uint8 too (the pixel decision
            // on levels writes uint8).
            if (output->data8 && input->strides[1] == 1) {
                std::vector<const std::uint8_t*> table(static_cast<std::size_t>(rows));
                const char* base = reinterpret_cast<const char*>(input->data);
                for (int r = 0; r < rows; ++r) {
                    table[static_cast<std::size_t>(r)] =
                        reinterpret_cast<const std::uint8_t*>(base + std::int64_t{r} * input->strides[0]);
                }
                return run_stages(ImageBlock8(table.data()), rows, cols, g, percent, region_size, *output, context,
                                  settings);
            }
        }
        Image16 image16(rows, cols);
        convert_input(*input, rows, cols, image16.rows(), settings.input_name);
        return run_stages(ImageBlock(image16.rows()), rows, cols, g, percent, region_size, *output, context,
                          settings);
    } catch (const AllocationFailure& failure) {
        // The failure's own message, on its own channel, before MemoryError.
        sink.write(failure.channel(), failure.message());
        sink.flush();
        throw;
    }
}

template bool adaptive_threshold<float>(const InputView<float>*, const OutputView*, int, int, bool,
                                        bool, const DriverSettings&);
template bool adaptive_threshold<std::int32_t>(const InputView<std::int32_t>*, const OutputView*,
                                               int, int, bool, bool, const DriverSettings&);
template bool adaptive_threshold<std::uint8_t>(const InputView<std::uint8_t>*, const OutputView*,
                                               int, int, bool, bool, const DriverSettings&);

}  // namespace zentrel
