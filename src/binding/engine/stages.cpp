// Each stage of the pipeline on numpy arrays, for callers that compose them:
// the package's own tests, and chunked callers that hold only part of an
// image. A block of grey levels is given with its pixel offset in the whole
// image; regions are always named by their index in the whole image's grid.
#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include <pybind11/stl.h>

#include "binding/engine/common.h"
#include "bimodal/region_grid.h"
#include "numeric/arrays.h"
#include "pipeline/driver.h"
#include "pipeline/faint_marks.h"
#include "pipeline/pixel_threshold.h"
#include "pipeline/region_loop.h"
#include "pipeline/region_stats.h"
#include "pipeline/region_selection.h"
#include "pipeline/region_sides.h"
#include "pipeline/region_squares.h"
#include "pipeline/level_sample.h"
#include "pipeline/surface_waves.h"
#include "pipeline/tile_scores.h"
#include "pipeline/threshold_grid.h"

namespace zentrel_engine {

namespace {

using Levels = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;
using Indices = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;  // region rows or columns

// Raises unless region (row, col) lies inside the block.
void require_inside(const Block8& b, int region_size, long long row, long long col) {
    const bool indexed = is_region_index(row) && is_region_index(col);
    const long long top = indexed ? zentrel::region_origin_wide(row, region_size) : 0;
    const long long left = indexed ? zentrel::region_origin_wide(col, region_size) : 0;
    if (!indexed || top < b.top || left < b.left || top + region_size > static_cast<long long>(b.top) + b.rows ||
        left + region_size > static_cast<long long>(b.left) + b.cols) {
        throw py::value_error("region (" + std::to_string(row) + ", " + std::to_string(col) +
                              ") does not lie inside the block of " + std::to_string(b.rows) + " x " +
                              std::to_string(b.cols) + " pixels at offset (" + std::to_string(b.top) + ", " +
                              std::to_string(b.left) + ")");
    }
}

py::tuple grid_shape(std::pair<long long, long long> shape, int region_size) {
    check_region_size(region_size);
    // Sides past the engine's int range count as that range; no caller gets that far.
    auto count = [&](long long n) {
        return std::max(zentrel::region_count(static_cast<int>(std::clamp(n, 0LL, 2147483647LL)), region_size), 0);
    };
    return py::make_tuple(count(shape.first), count(shape.second));
}

// Which regions a per-region grid stage computes: those of the whole image
// or, for a block with an offset, the named ones.
struct RegionSpan {
    int first_row = 0, first_col = 0, rows = 0, cols = 0;
};

RegionSpan region_span(const Block8& block, int region_size, std::pair<int, int> offset, const py::object& regions) {
    RegionSpan span;
    if (regions.is_none()) {
        if (offset.first != 0 || offset.second != 0) {
            throw py::value_error("regions: a block with an offset must name its regions (first_row, first_col, rows, cols)");
        }
        span.rows = std::max(zentrel::region_count(block.rows, region_size), 0);
        span.cols = std::max(zentrel::region_count(block.cols, region_size), 0);
        return span;
    }
    const auto r = regions.cast<std::tuple<int, int, int, int>>();
    span = {std::get<0>(r), std::get<1>(r), std::get<2>(r), std::get<3>(r)};
    if (span.rows < 0 || span.cols < 0) throw py::value_error("regions: negative count");
    if (span.rows > 0 && span.cols > 0) {
        require_inside(block, region_size, span.first_row, span.first_col);
        require_inside(block, region_size, span.first_row + span.rows - 1LL, span.first_col + span.cols - 1LL);
    }
    return span;
}

std::vector<double> checked_shares(const std::vector<double>& shares) {
    if (shares.empty()) throw py::value_error("shares: at least one share is required");
    for (double q : shares) {
        if (!(q >= 0.0 && q <= 1.0)) throw py::value_error("shares: every share must lie in 0..1");
    }
    return shares;
}

std::vector<float*> row_pointers(py::array_t<float>& grid) {
    std::vector<float*> rows(static_cast<std::size_t>(grid.shape(0)));
    float* data = grid.mutable_data();
    for (py::ssize_t i = 0; i < grid.shape(0); ++i) rows[static_cast<std::size_t>(i)] = data + i * grid.shape(1);
    return rows;
}

// The one pass of compute_region_stats over a block: the variance grid, the
// quantile grid (rows, cols, len(shares)) when shares are given, and the
// block's 256-bin level histogram when wanted (whole images only).
py::tuple region_grids(const Levels& levels, int region_size, const py::object& shares_given,
                       std::pair<int, int> offset, const py::object& regions, int threads, bool histogram) {
    check_region_size(region_size);
    Block8 block(levels, offset.first, offset.second);
    const RegionSpan span = region_span(block, region_size, offset, regions);
    if (histogram && !regions.is_none()) throw py::value_error("histogram: only for a whole image (regions None)");
    std::vector<double> shares;
    if (!shares_given.is_none()) shares = checked_shares(shares_given.cast<std::vector<double>>());
    const int n = static_cast<int>(shares.size());
    py::array_t<float> variance({span.rows, span.cols});
    py::array_t<float> quantiles({span.rows, span.cols * n});
    py::array_t<std::int64_t> level_histogram(256);
    std::vector<float*> variance_rows = row_pointers(variance), quantile_rows = row_pointers(quantiles);
    zentrel::RegionStatsOutput out;
    out.variance = span.rows > 0 && span.cols > 0 ? variance_rows.data() : nullptr;
    out.quantiles = n > 0 && span.rows > 0 && span.cols > 0 ? quantile_rows.data() : nullptr;
    out.shares = shares.data();
    out.share_count = n;
    out.level_histogram = histogram ? level_histogram.mutable_data() : nullptr;
    out.image_rows = block.rows;
    out.image_cols = block.cols;
    zentrel::PipelineContext context;
    context.threads = thread_count(threads);
    {
        // Safe without the lock: only the buffers of this frame are touched.
        py::gil_scoped_release unlocked;
        zentrel::compute_region_stats(context, span.rows, span.cols, region_size, block.view(), out,
                                      span.first_row, span.first_col);
    }
    py::object q = py::none();
    if (n > 0) q = quantiles.reshape({static_cast<py::ssize_t>(span.rows), static_cast<py::ssize_t>(span.cols),
                                      static_cast<py::ssize_t>(n)});
    return py::make_tuple(variance, q, histogram ? py::object(level_histogram) : py::none());
}

py::array_t<float> variance_map(const Levels& levels, int region_size, std::pair<int, int> offset,
                                const py::object& regions, int threads) {
    return region_grids(levels, region_size, py::none(), offset, regions, threads, false)[0]
        .cast<py::array_t<float>>();
}

py::tuple select_regions(const py::array_t<float, py::array::c_style | py::array::forcecast>& scores, int count) {
    if (scores.ndim() != 2) throw py::value_error("scores: a two-dimensional grid is required");
    const auto rows = static_cast<int>(scores.shape(0));
    const auto cols = static_cast<int>(scores.shape(1));
    const long long total = static_cast<long long>(rows) * cols;
    if (count < 0 || count > total) {
        throw py::value_error("count: got " + std::to_string(count) + "; accepted are 0.." + std::to_string(total));
    }
    py::array_t<std::int32_t> out_rows(count), out_cols(count);
    std::vector<float*> grid(static_cast<std::size_t>(rows));
    for (int i = 0; i < rows; ++i) grid[static_cast<std::size_t>(i)] = const_cast<float*>(scores.data(i, 0));
    int* r = out_rows.mutable_data();
    int* c = out_cols.mutable_data();
    {
        py::gil_scoped_release unlocked;  // reads the held scores, writes the new arrays
        zentrel::select_high_variance_regions(rows, cols, count, grid.data(), r, c);
    }
    return py::make_tuple(out_rows, out_cols);
}

py::array analyse_regions(const Levels& levels, int region_size, const Indices& rows, const Indices& cols,
                          std::pair<int, int> offset, bool smooth, const py::object& limits_given, int threads) {
    check_region_size(region_size);
    if (rows.ndim() != 1 || cols.ndim() != 1 || rows.size() != cols.size()) {
        throw py::value_error("rows, cols: two one-dimensional arrays of the same length are required");
    }
    const zentrel::AnalysisLimits limits = limits_from(limits_given);
    Block8 block(levels, offset.first, offset.second);
    const int count = static_cast<int>(rows.size());
    for (int k = 0; k < count; ++k) require_inside(block, region_size, rows.data()[k], cols.data()[k]);
    zentrel::SilentSink silent;
    zentrel::PipelineContext context;
    context.smooth_his = smooth ? 1 : 0;
    context.sink = &silent;
    context.limits = &limits;
    context.threads = thread_count(threads);
    std::vector<zentrel::RegionRecord> records;
    {
        // Safe without the lock: the block, the lists and the limits belong
        // to this frame or are held by it.
        py::gil_scoped_release unlocked;
        records = zentrel::analyse_regions(context, block.view(), region_size, count, rows.data(), cols.data());
    }
    return records_array(std::move(records));
}

py::tuple square_sums(const Levels& levels, int region_size, int side, const Indices& rows, const Indices& cols,
                      std::pair<int, int> offset, int threads) {
    check_region_size(region_size);
    if (side < 1 || side > region_size) throw py::value_error("side: must lie in 1..region_size");
    if (rows.ndim() != 1 || cols.ndim() != 1 || rows.size() != cols.size()) {
        throw py::value_error("rows, cols: two one-dimensional arrays of the same length are required");
    }
    Block8 block(levels, offset.first, offset.second);
    const int count = static_cast<int>(rows.size());
    for (int k = 0; k < count; ++k) require_inside(block, region_size, rows.data()[k], cols.data()[k]);
    const py::ssize_t k = region_size / side;
    py::array_t<std::int64_t> sums({static_cast<py::ssize_t>(count), k, k}), powers({static_cast<py::ssize_t>(count), k, k});
    std::int64_t* s = sums.mutable_data();
    std::int64_t* p = powers.mutable_data();
    const int workers = thread_count(threads);
    {
        py::gil_scoped_release unlocked;  // reads the held levels, writes the new arrays
        zentrel::region_square_sums(block.view(), region_size, side, count, rows.data(), cols.data(), s, p, workers);
    }
    return py::make_tuple(sums, powers);
}

py::array_t<std::int64_t> lattice_histogram(const Levels& levels, int step, std::pair<int, int> first, int threads) {
    if (levels.ndim() != 2) throw py::value_error("levels: a two-dimensional array is required");
    if (step < 1) throw py::value_error("step: must be at least 1");
    if (first.first < 0 || first.second < 0) throw py::value_error("first: must not be negative");
    Block8 block(levels, 0, 0);
    py::array_t<std::int64_t> histogram(256);
    std::int64_t* bins = histogram.mutable_data();
    const int workers = thread_count(threads);
    {
        py::gil_scoped_release unlocked;  // reads the held levels, writes the new array
        zentrel::lattice_histogram(block.view(), block.rows, block.cols, step, first.first, first.second, bins,
                                   workers);
    }
    return histogram;
}

py::array_t<float> tile_scores(const py::array_t<double, py::array::c_style | py::array::forcecast>& variance, int side,
                               double floor, double top) {
    if (variance.ndim() != 2) throw py::value_error("variance: a two-dimensional grid is required");
    if (side < 1) throw py::value_error("side: must be at least 1");
    const auto rows = static_cast<int>(variance.shape(0)), cols = static_cast<int>(variance.shape(1));
    py::array_t<float> score({rows, cols});
    const double* v = variance.data();
    float* s = score.mutable_data();
    {
        py::gil_scoped_release unlocked;  // reads the held grid, writes the new one
        zentrel::tile_scores(v, rows, cols, side, floor, top, s);
    }
    return score;
}

using Grid = py::array_t<double, py::array::c_style | py::array::forcecast>;

// Medians and grounds are levels, which float32 holds exactly (the region
// quantiles come so). A column of a wider grid, such as one quantile of
// the quantile grid, is read where it lies; other layouts are copied.
using LevelGrid = py::array_t<float, py::array::forcecast>;

std::int64_t level_step(const LevelGrid& levels, const py::array& like) {
    if (levels.ndim() != 2 || levels.shape(0) != like.shape(0) || levels.shape(1) != like.shape(1)) {
        throw py::value_error("grounds: a grid shaped like medians is required");
    }
    const auto column = levels.strides(1);
    if (column <= 0 || column % static_cast<py::ssize_t>(sizeof(float)) || levels.strides(0) != column * levels.shape(1)) {
        return 0;
    }
    return column / static_cast<py::ssize_t>(sizeof(float));
}

// A level grid readable in place (a column of a wider grid: step elements
// apart), else a contiguous float32 copy; shaped like `like`, or itself.
std::pair<LevelGrid, std::int64_t> readable_levels(const py::object& given, const py::array* like = nullptr) {
    LevelGrid levels = LevelGrid::ensure(given);
    if (!levels) throw py::error_already_set();
    if (!like && levels.ndim() != 2) throw py::value_error("medians: a two-dimensional grid is required");
    const std::int64_t step = level_step(levels, like ? *like : levels);
    if (step) return {levels, step};
    return {py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(levels), 1};
}

// Regions (rows[k], cols[k]) must lie inside a grid of grid_rows x grid_cols.
void check_in_grid(const Indices& rows, const Indices& cols, int grid_rows, int grid_cols) {
    for (py::ssize_t k = 0; k < rows.size(); ++k) {
        if (rows.data()[k] < 0 || rows.data()[k] >= grid_rows || cols.data()[k] < 0 || cols.data()[k] >= grid_cols) {
            throw py::value_error("rows, cols: a region lies outside the grid");
        }
    }
}

py::tuple settle_surface(const py::object& medians_in, const py::object& grounds_in, int band_reach,
                         const Indices& rows, const Indices& cols,
                         const Grid& thresholds, const Grid& backgrounds, const py::object& step_threshold,
                         bool thin, int threads) {
    const int workers = thread_count(threads);
    if (band_reach < 1) throw py::value_error("band_reach: must be at least 1");
    const auto [medians, median_step] = readable_levels(medians_in);
    const auto [grounds, ground_step] = readable_levels(grounds_in, &medians);
    const auto n = static_cast<std::int64_t>(rows.size());
    if (rows.ndim() != 1 || cols.ndim() != 1 || thresholds.ndim() != 1 || backgrounds.ndim() != 1 ||
        cols.size() != rows.size() || thresholds.size() != rows.size() || backgrounds.size() != rows.size()) {
        throw py::value_error("rows, cols, thresholds, backgrounds: one-dimensional arrays of one length are required");
    }
    zentrel::SurfaceGrids grids;
    grids.rows = static_cast<int>(medians.shape(0));
    grids.cols = static_cast<int>(medians.shape(1));
    grids.medians = medians.data();
    grids.grounds = grounds.data();
    grids.median_step = median_step;
    grids.ground_step = ground_step;
    grids.band_reach = band_reach;
    check_in_grid(rows, cols, grids.rows, grids.cols);
    zentrel::SurfaceRule rule;
    rule.steps = !step_threshold.is_none();
    if (rule.steps) rule.step_threshold = step_threshold.cast<double>();
    rule.thin = thin;
    py::array_t<double> grid({grids.rows, grids.cols});
    py::array_t<std::int8_t> kind({grids.rows, grids.cols});
    double* g = grid.mutable_data();
    std::int8_t* k = kind.mutable_data();
    {
        py::gil_scoped_release unlocked;  // reads the held arrays, writes the new ones
        zentrel::settle_surface(grids, rule, rows.data(), cols.data(), thresholds.data(), backgrounds.data(), n, g, k,
                                workers);
    }
    return py::make_tuple(grid, kind);
}

py::array_t<std::int8_t> region_sides(const py::object& medians_in, const Indices& rows, const Indices& cols,
                                      const py::array_t<double, py::array::c_style | py::array::forcecast>& means,
                                      int reach, double share) {
    const auto [medians, step] = readable_levels(medians_in);
    const auto n = static_cast<std::int64_t>(rows.size());
    if (rows.ndim() != 1 || cols.ndim() != 1 || cols.size() != rows.size() || means.ndim() != 2 ||
        means.shape(0) != rows.size() || means.shape(1) != 2) {
        throw py::value_error("rows, cols: one-dimensional arrays of one length, means: one pair per region, are required");
    }
    if (reach < 0) throw py::value_error("reach: must be at least 0");
    const int grid_rows = static_cast<int>(medians.shape(0)), grid_cols = static_cast<int>(medians.shape(1));
    check_in_grid(rows, cols, grid_rows, grid_cols);
    zentrel::SideRule rule;
    rule.reach = reach;
    rule.share = share;
    py::array_t<std::int8_t> sides(n);
    std::int8_t* out = sides.mutable_data();
    {
        py::gil_scoped_release unlocked;  // reads the held arrays, writes the new one
        zentrel::region_sides(medians.data(), grid_rows, grid_cols, step, rule, rows.data(), cols.data(), means.data(), n, out);
    }
    return sides;
}

py::array_t<float> fill_grid(std::pair<int, int> shape, const Indices& rows, const Indices& cols,
                             const py::array_t<float, py::array::c_style | py::array::forcecast>& thresholds) {
    const int n_rows = shape.first, n_cols = shape.second;
    if (n_rows < 1 || n_cols < 1) throw py::value_error("grid_shape: both counts must be at least 1");
    if (rows.ndim() != 1 || rows.size() != cols.size() || rows.size() != thresholds.size()) {
        throw py::value_error("rows, cols, thresholds: one-dimensional arrays of the same length are required");
    }
    const int count = static_cast<int>(rows.size());
    for (int k = 0; k < count; ++k) {
        const int r = rows.data()[k], c = cols.data()[k];
        if (r < 0 || r >= n_rows || c < 0 || c >= n_cols) {
            throw py::value_error("cell (" + std::to_string(r) + ", " + std::to_string(c) + ") lies outside the grid");
        }
    }
    zentrel::FImage grid(n_rows, n_cols);
    zentrel::fill_threshold_grid(count, n_rows, n_cols, rows.data(), cols.data(), thresholds.data(), grid.get());
    py::array_t<float> out({n_rows, n_cols});
    for (int i = 0; i < n_rows; ++i) std::copy(grid[i], grid[i] + n_cols, out.mutable_data(i, 0));
    return out;
}

py::object decide(const Levels& levels, const py::array_t<float, py::array::c_style | py::array::forcecast>& grid,
                  int region_size, std::pair<int, int> offset, const py::object& image_shape, int threads,
                  bool want_surface, bool median, std::array<int, 4> margin, const py::object& core, bool reach) {
    check_region_size(region_size);
    const auto [margin_top, margin_bottom, margin_left, margin_right] = margin;
    if (margin_top < 0 || margin_bottom < 0 || margin_left < 0 || margin_right < 0) {
        throw py::value_error("margin: (top, bottom, left, right) rows and columns, none negative");
    }
    if (!median && (margin_top || margin_bottom || margin_left || margin_right)) {
        throw py::value_error("margin: only the medians read levels around the block decided");
    }
    if (levels.ndim() == 2 && (margin_top + margin_bottom > levels.shape(0) || margin_left + margin_right > levels.shape(1))) {
        throw py::value_error("margin: wider than the levels");
    }
    if (offset.first < margin_top || offset.second < margin_left) {
        throw py::value_error("margin: reaches above or left of the image");
    }
    // The levels as read (margins included), and the block decided within them.
    Block8 read(levels, offset.first - margin_top, offset.second - margin_left);
    struct {
        int rows, cols, top, left;
    } block{read.rows - margin_top - margin_bottom, read.cols - margin_left - margin_right, offset.first, offset.second};
    long long rows = read.top + static_cast<long long>(read.rows), cols = read.left + static_cast<long long>(read.cols);
    if (!image_shape.is_none()) {
        const auto s = image_shape.cast<std::pair<long long, long long>>();
        rows = s.first;
        cols = s.second;
    } else if (read.top != 0 || read.left != 0) {
        throw py::value_error("image_shape: a block with an offset must give the whole image's shape");
    }
    if (rows > INT32_MAX || cols > INT32_MAX || read.top + static_cast<long long>(read.rows) > rows ||
        read.left + static_cast<long long>(read.cols) > cols) {
        throw py::value_error("levels: the block reaches outside the image");
    }
    const int region_rows = zentrel::region_count(static_cast<int>(rows), region_size);
    const int region_cols = zentrel::region_count(static_cast<int>(cols), region_size);
    if (grid.ndim() != 2 || grid.shape(0) != region_rows || grid.shape(1) != region_cols || region_rows < 1 ||
        region_cols < 1) {
        throw py::value_error("grid: its shape must be the image's region grid (" + std::to_string(region_rows) + ", " +
                              std::to_string(region_cols) + ")");
    }
    std::vector<float*> grid_rows(static_cast<std::size_t>(region_rows));
    for (int i = 0; i < region_rows; ++i) grid_rows[static_cast<std::size_t>(i)] = const_cast<float*>(grid.data(i, 0));
    // The core grid, when given, is held as float32 like the grid.
    py::array_t<float, py::array::c_style | py::array::forcecast> core_grid;
    std::vector<float*> core_rows;
    if (!core.is_none()) {
        core_grid = core.cast<py::array_t<float, py::array::c_style | py::array::forcecast>>();
        if (core_grid.ndim() != 2 || core_grid.shape(0) != region_rows || core_grid.shape(1) != region_cols) {
            throw py::value_error("core: a grid shaped like grid is required");
        }
        for (int i = 0; i < region_rows; ++i) core_rows.push_back(const_cast<float*>(core_grid.data(i, 0)));
    }
    py::array_t<std::uint8_t> out({block.rows, block.cols});
    std::vector<std::uint8_t*> out_rows(static_cast<std::size_t>(block.rows));
    for (int i = 0; i < block.rows; ++i) out_rows[static_cast<std::size_t>(i)] = out.mutable_data(i, 0);
    py::object surface = py::none();
    float* surface_data = nullptr;
    if (want_surface) {
        py::array_t<float> s({block.rows, block.cols});
        surface_data = s.mutable_data();
        surface = std::move(s);
    }
    const int workers = thread_count(threads);
    float** core_table = core_rows.empty() ? nullptr : core_rows.data();
    std::int64_t marks = 0;
    if (block.rows > 0 && block.cols > 0) {
        py::gil_scoped_release unlocked;  // only this frame's buffers are touched
        if (median) {
            const zentrel::MedianLevels source{read.view(), read.rows, read.cols};
            zentrel::threshold_pixels(region_rows, region_cols, grid_rows.data(), static_cast<int>(rows),
                                      static_cast<int>(cols), region_size, source, block.top, block.left,
                                      out_rows.data(), workers, surface_data, block.rows, block.cols, core_table, &marks);
        } else {
            zentrel::threshold_pixels(region_rows, region_cols, grid_rows.data(), static_cast<int>(rows),
                                      static_cast<int>(cols), region_size, read.view(), out_rows.data(), workers,
                                      surface_data, block.rows, block.cols, core_table, &marks);
        }
        if (reach && marks > 0) zentrel::keep_reached(out_rows.data(), block.rows, block.cols, workers);
    }
    if (want_surface) return py::make_tuple(out, surface);
    return std::move(out);
}

py::tuple mark_pieces(const py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>& block) {
    if (block.ndim() != 2) throw py::value_error("block: a two-dimensional array is required");
    const auto n_rows = static_cast<int>(block.shape(0)), n_cols = static_cast<int>(block.shape(1));
    std::vector<const std::uint8_t*> rows(static_cast<std::size_t>(n_rows));
    for (int i = 0; i < n_rows; ++i) rows[static_cast<std::size_t>(i)] = block.data() + static_cast<std::size_t>(i) * n_cols;
    py::array_t<std::int32_t> labels({n_rows, n_cols});
    std::vector<bool> inked;
    {
        py::gil_scoped_release unlocked;
        inked = zentrel::label_pieces(rows.data(), n_rows, n_cols, labels.mutable_data());
    }
    py::array_t<bool> reaches(static_cast<py::ssize_t>(inked.size()));
    for (std::size_t k = 0; k < inked.size(); ++k) reaches.mutable_data()[k] = inked[k];
    return py::make_tuple(labels, reaches);
}

}  // namespace

void register_stages(py::module_& m) {
    m.def("grid_shape", &grid_shape, py::arg("image_shape"), py::arg("region_size"),
          "(region rows, region columns) of an image: 2*side//region_size - 1 each, at least 0.");
    m.def("variance_map", &variance_map, py::arg("levels"), py::arg("region_size"),
          py::arg("offset") = std::pair<int, int>(0, 0), py::arg("regions") = py::none(), py::arg("threads") = 0,
          "Grey-level variance of regions (first_row + i, first_col + j) as float32.");
    m.def("region_grids", &region_grids, py::arg("levels"), py::arg("region_size"), py::arg("shares") = py::none(),
          py::arg("offset") = std::pair<int, int>(0, 0), py::arg("regions") = py::none(), py::arg("threads") = 0,
          py::arg("histogram") = false,
          "(variance, quantiles or None, histogram or None) in one pass over the levels: variance_map; "
          "float32 (rows, cols, len(shares)), the lowest level at or below which each share of a region's "
          "pixels lies (-1 if empty); and with histogram=True (whole images only) the int64 256-bin histogram "
          "of every pixel.");
    m.def("select_regions", &select_regions, py::arg("scores"), py::arg("count"),
          "(rows, cols) of the count highest scores, highest first, ties in the engine's fixed order.");
    m.def("analyse_regions", &analyse_regions, py::arg("levels"), py::arg("region_size"), py::arg("rows"),
          py::arg("cols"), py::arg("offset") = std::pair<int, int>(0, 0), py::arg("smooth") = false,
          py::arg("limits") = py::none(), py::arg("threads") = 0, "One record per listed region, in list order.");
    m.def("square_sums", &square_sums, py::arg("levels"), py::arg("region_size"), py::arg("side"), py::arg("rows"),
          py::arg("cols"), py::arg("offset") = std::pair<int, int>(0, 0), py::arg("threads") = 0,
          "(sums, sums of squares) of the levels, int64 (n, k, k), over the k x k squares of side side "
          "(k = region_size // side) tiling each listed region from its top-left corner.");
    m.def("lattice_histogram", &lattice_histogram, py::arg("levels"), py::arg("step"),
          py::arg("first") = std::pair<int, int>(0, 0), py::arg("threads") = 0,
          "The int64 256-bin histogram of levels[first[0]::step, first[1]::step].");
    m.def("tile_scores", &tile_scores, py::arg("variance"), py::arg("side"), py::arg("floor"), py::arg("top"),
          "float32 scores: each region's variance over the highest of its side x side tile where that "
          "exceeds floor (else 0), plus 1e-6 * variance / top when top > 0, in double.");
    m.def("settle_surface", &settle_surface, py::arg("medians"), py::arg("grounds"), py::arg("band_reach"), py::arg("rows"),
          py::arg("cols"), py::arg("thresholds"), py::arg("backgrounds"), py::arg("step_threshold") = py::none(),
          py::arg("thin") = false, py::arg("threads") = 0,
          "(grid float64, kind int8): the known regions' thresholds settled in waves over the grid "
          "(zentrel.auto.surface.threshold_grid), on threads threads (0: all); the same on any number.");
    m.def("region_sides", &region_sides, py::arg("medians"), py::arg("rows"), py::arg("cols"), py::arg("means"),
          py::arg("reach"), py::arg("share"),
          "int8 per region: 1 where at least share of the region medians up to reach regions around it lie "
          "nearer its brighter class (dark objects), -1 where as many lie nearer its darker one, else 0 "
          "(zentrel.auto.polarity.region_sides).");
    m.def("fill_grid", &fill_grid, py::arg("grid_shape"), py::arg("rows"), py::arg("cols"), py::arg("thresholds"),
          "The threshold grid filled by inverse-distance weighting from the given cells.");
    m.def("mark_pieces", &mark_pieces, py::arg("block"),
          "(labels int32, reaches bool): the 8-connected pieces of a decided block's 0s and 1s numbered 1, 2, ... "
          "in row order of their first pixel (0 on 255), and for each label whether its piece holds a 0.");
    m.def("decide", &decide, py::arg("levels"), py::arg("grid"), py::arg("region_size"),
          py::arg("offset") = std::pair<int, int>(0, 0), py::arg("image_shape") = py::none(), py::arg("threads") = 0,
          py::arg("want_surface") = false, py::arg("median") = false,
          py::arg("margin") = std::array<int, 4>{0, 0, 0, 0}, py::arg("core") = py::none(), py::arg("reach") = true,
          "uint8 0/255 of the block (and its float32 surface when wanted). With median, each pixel's 3x3 median "
          "of the levels is decided (the nearest level standing in beyond them); margin = (top, bottom, left, "
          "right) rows and columns of levels around the block at offset, read by the medians alone. With a core "
          "grid, ink (0) not below the core threshold is a mark (1): with reach, marks 8-connected through marks "
          "to ink become ink and the others 255; without, they stay 1.");
}

}  // namespace zentrel_engine
