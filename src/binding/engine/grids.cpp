// The steps on the region grid, between the passes over the pixels: the
// tile scores and the selection of regions, each region's side, the
// settling of the threshold surface, and the filling of a grid from its
// known cells (the classic rule).
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "binding/engine/common.h"
#include "numeric/arrays.h"
#include "pipeline/region_selection.h"
#include "pipeline/region_sides.h"
#include "pipeline/surface_waves.h"
#include "pipeline/threshold_grid.h"
#include "pipeline/tile_scores.h"

namespace zentrel_engine {

namespace {

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

}  // namespace

void register_grids(py::module_& m) {
    m.def("tile_scores", &tile_scores, py::arg("variance"), py::arg("side"), py::arg("floor"), py::arg("top"),
          "float32 scores: each region's variance over the highest of its side x side tile where that "
          "exceeds floor (else 0), plus 1e-6 * variance / top when top > 0, in double.");
    m.def("select_regions", &select_regions, py::arg("scores"), py::arg("count"),
          "(rows, cols) of the count highest scores, highest first, ties in the engine's fixed order.");
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
}

}  // namespace zentrel_engine
