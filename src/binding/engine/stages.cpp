// Each stage of the pipeline on numpy arrays, for callers that compose them:
// the package's own tests, and chunked callers that hold only part of an
// image. A block of grey levels is given with its pixel offset in the whole
// image; regions are always named by their index in the whole image's grid.
#include <algorithm>
#include <string>
#include <vector>

#include <pybind11/stl.h>

#include "binding/engine/common.h"
#include "bimodal/region_grid.h"
#include "numeric/arrays.h"
#include "pipeline/driver.h"
#include "pipeline/pixel_threshold.h"
#include "pipeline/region_loop.h"
#include "pipeline/region_median.h"
#include "pipeline/region_selection.h"
#include "pipeline/region_variance.h"
#include "pipeline/threshold_grid.h"

namespace zentrel_engine {

namespace {

using Levels = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;

int thread_count(int threads) {
    if (threads < 0) throw py::value_error("threads: got " + std::to_string(threads) + "; it must be at least 1 (or 0 for all)");
    return threads == 0 ? zentrel::default_thread_count() : threads;
}

void check_region_size(int region_size) {
    if (region_size < 1) throw py::value_error("region_size: got " + std::to_string(region_size) + "; it must be at least 1");
}

// Raises unless region (row, col) lies inside the block.
void require_inside(const Block16& b, int region_size, long long row, long long col) {
    // Indices beyond int range are refused by the bounds below (their origin lies past any block).
    const bool indexed = row >= 0 && col >= 0 && row <= 2147483647LL && col <= 2147483647LL;
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

// The shared shape of the per-region grid stages: regions of the whole image
// or, for a block with an offset, the named ones.
template <class Stage>
py::array_t<float> region_grid_stage(const Levels& levels, int region_size, std::pair<int, int> offset,
                                     const py::object& regions, int threads, Stage stage, int per_cell = 1) {
    check_region_size(region_size);
    Block16 block(levels, offset.first, offset.second);
    int first_row = 0, first_col = 0, n_rows, n_cols;
    if (regions.is_none()) {
        if (offset.first != 0 || offset.second != 0) {
            throw py::value_error("regions: a block with an offset must name its regions (first_row, first_col, rows, cols)");
        }
        n_rows = std::max(zentrel::region_count(block.rows, region_size), 0);
        n_cols = std::max(zentrel::region_count(block.cols, region_size), 0);
    } else {
        const auto r = regions.cast<std::tuple<int, int, int, int>>();
        first_row = std::get<0>(r);
        first_col = std::get<1>(r);
        n_rows = std::get<2>(r);
        n_cols = std::get<3>(r);
        if (n_rows < 0 || n_cols < 0) throw py::value_error("regions: negative count");
        if (n_rows > 0 && n_cols > 0) {
            require_inside(block, region_size, first_row, first_col);
            require_inside(block, region_size, first_row + n_rows - 1LL, first_col + n_cols - 1LL);
        }
    }
    py::array_t<float> out({n_rows, n_cols * per_cell});
    if (n_rows == 0 || n_cols == 0) return out;
    std::vector<float*> grid(static_cast<std::size_t>(n_rows));
    for (int i = 0; i < n_rows; ++i) grid[static_cast<std::size_t>(i)] = out.mutable_data(i, 0);
    zentrel::PipelineContext context;
    context.threads = thread_count(threads);
    {
        // Safe without the lock: only the buffers of this frame are touched.
        py::gil_scoped_release unlocked;
        stage(context, n_rows, n_cols, grid.data(), region_size, block.view(), first_row, first_col);
    }
    return out;
}

py::array_t<float> variance_map(const Levels& levels, int region_size, std::pair<int, int> offset,
                                const py::object& regions, int threads) {
    return region_grid_stage(levels, region_size, offset, regions, threads,
                             [](auto&&... a) { zentrel::compute_region_variance(a...); });
}


py::array_t<float> region_median(const Levels& levels, int region_size, std::pair<int, int> offset,
                                 const py::object& regions, int threads) {
    return region_grid_stage(levels, region_size, offset, regions, threads,
                             [](auto&&... a) { zentrel::compute_region_median(a...); });
}

py::array_t<float> region_quantiles(const Levels& levels, int region_size, const std::vector<double>& shares,
                                    std::pair<int, int> offset, const py::object& regions, int threads) {
    if (shares.empty()) throw py::value_error("shares: at least one share is required");
    for (double q : shares) {
        if (!(q >= 0.0 && q <= 1.0)) throw py::value_error("shares: every share must lie in 0..1");
    }
    const int n = static_cast<int>(shares.size());
    // The cells of a row lie side by side, n levels each: a (rows, cols * n)
    // grid that is then viewed as (rows, cols, n).
    py::array_t<float> flat = region_grid_stage(
        levels, region_size, offset, regions, threads,
        [&](const zentrel::PipelineContext& context, int rows, int cols, float** grid, int size,
            const zentrel::ImageBlock& image, int first_row, int first_col) {
            zentrel::compute_region_quantiles(context, rows, cols, grid, size, image, shares.data(), n, first_row,
                                              first_col);
        },
        n);
    return flat.reshape({flat.shape(0), flat.shape(1) / n, static_cast<py::ssize_t>(n)});
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

py::array analyse_regions(const Levels& levels, int region_size, const py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>& rows,
                          const py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>& cols,
                          std::pair<int, int> offset, bool smooth, const py::object& limits_given, int threads) {
    check_region_size(region_size);
    if (rows.ndim() != 1 || cols.ndim() != 1 || rows.size() != cols.size()) {
        throw py::value_error("rows, cols: two one-dimensional arrays of the same length are required");
    }
    const zentrel::AnalysisLimits limits = limits_from(limits_given);
    Block16 block(levels, offset.first, offset.second);
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

py::array_t<float> fill_grid(std::pair<int, int> shape, const py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>& rows,
                             const py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>& cols,
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
                  bool want_surface) {
    check_region_size(region_size);
    Block16 block(levels, offset.first, offset.second);
    long long rows = block.rows, cols = block.cols;
    if (!image_shape.is_none()) {
        const auto s = image_shape.cast<std::pair<long long, long long>>();
        rows = s.first;
        cols = s.second;
    } else if (offset.first != 0 || offset.second != 0) {
        throw py::value_error("image_shape: a block with an offset must give the whole image's shape");
    }
    if (rows > INT32_MAX || cols > INT32_MAX || block.top + static_cast<long long>(block.rows) > rows ||
        block.left + static_cast<long long>(block.cols) > cols) {
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
    if (block.rows > 0 && block.cols > 0) {
        py::gil_scoped_release unlocked;  // only this frame's buffers are touched
        zentrel::threshold_pixels(region_rows, region_cols, grid_rows.data(), static_cast<int>(rows),
                                  static_cast<int>(cols), region_size, block.view(), out_rows.data(), workers,
                                  surface_data, block.rows, block.cols);
    }
    if (want_surface) return py::make_tuple(out, surface);
    return std::move(out);
}

}  // namespace

void register_stages(py::module_& m) {
    m.def("grid_shape", &grid_shape, py::arg("image_shape"), py::arg("region_size"),
          "(region rows, region columns) of an image: 2*side//region_size - 1 each, at least 0.");
    m.def("variance_map", &variance_map, py::arg("levels"), py::arg("region_size"),
          py::arg("offset") = std::pair<int, int>(0, 0), py::arg("regions") = py::none(), py::arg("threads") = 0,
          "Grey-level variance of regions (first_row + i, first_col + j) as float32.");
    m.def("region_median", &region_median, py::arg("levels"), py::arg("region_size"),
          py::arg("offset") = std::pair<int, int>(0, 0), py::arg("regions") = py::none(), py::arg("threads") = 0,
          "Lower grey-level median of regions (first_row + i, first_col + j) as float32 (-1 if empty).");
    m.def("region_quantiles", &region_quantiles, py::arg("levels"), py::arg("region_size"), py::arg("shares"),
          py::arg("offset") = std::pair<int, int>(0, 0), py::arg("regions") = py::none(), py::arg("threads") = 0,
          "Lowest grey level at or below which each share of a region's pixels lies, as float32 "
          "(rows, cols, len(shares)); -1 if empty.");
    m.def("select_regions", &select_regions, py::arg("scores"), py::arg("count"),
          "(rows, cols) of the count highest scores, highest first, ties in the engine's fixed order.");
    m.def("analyse_regions", &analyse_regions, py::arg("levels"), py::arg("region_size"), py::arg("rows"),
          py::arg("cols"), py::arg("offset") = std::pair<int, int>(0, 0), py::arg("smooth") = false,
          py::arg("limits") = py::none(), py::arg("threads") = 0, "One record per listed region, in list order.");
    m.def("fill_grid", &fill_grid, py::arg("grid_shape"), py::arg("rows"), py::arg("cols"), py::arg("thresholds"),
          "The threshold grid filled by inverse-distance weighting from the given cells.");
    m.def("decide", &decide, py::arg("levels"), py::arg("grid"), py::arg("region_size"),
          py::arg("offset") = std::pair<int, int>(0, 0), py::arg("image_shape") = py::none(), py::arg("threads") = 0,
          py::arg("want_surface") = false, "uint8 0/255 of the block (and its float32 surface when wanted).");
}

}  // namespace zentrel_engine
