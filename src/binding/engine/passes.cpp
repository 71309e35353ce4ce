// The passes over a block of grey levels that gather what each region
// needs: the variance and quantile grids (with the level histogram), the
// fits of listed regions, the sums over small squares, and the level sample.
// A block is given with its pixel offset in the whole image; regions are
// always named by their index in the whole image's grid.
#include <string>
#include <vector>

#include "binding/engine/common.h"
#include "bimodal/region_grid.h"
#include "numeric/sink.h"
#include "pipeline/context.h"
#include "pipeline/level_sample.h"
#include "pipeline/region_loop.h"
#include "pipeline/region_squares.h"
#include "pipeline/region_stats.h"

namespace zentrel_engine {

namespace {

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

template <class T>
std::vector<T*> row_pointers(py::array_t<T>& grid) {
    std::vector<T*> rows(static_cast<std::size_t>(grid.shape(0)));
    T* data = grid.mutable_data();
    for (py::ssize_t i = 0; i < grid.shape(0); ++i) rows[static_cast<std::size_t>(i)] = data + i * grid.shape(1);
    return rows;
}

// The one pass of compute_region_stats over a block: the variance grid, the
// quantile grid (rows, cols, len(shares)) when shares are given, float32 or
// with as_levels uint8, and the block's 256-bin level histogram when wanted
// (whole images only).
py::tuple region_grids(const Levels& levels, int region_size, const py::object& shares_given,
                       std::pair<int, int> offset, const py::object& regions, int threads, bool histogram,
                       bool as_levels) {
    check_region_size(region_size);
    Block8 block(levels, offset.first, offset.second);
    const RegionSpan span = region_span(block, region_size, offset, regions);
    if (histogram && !regions.is_none()) throw py::value_error("histogram: only for a whole image (regions None)");
    std::vector<double> shares;
    if (!shares_given.is_none()) shares = checked_shares(shares_given.cast<std::vector<double>>());
    const int n = static_cast<int>(shares.size());
    const bool has_regions = span.rows > 0 && span.cols > 0;
    py::array_t<float> variance({span.rows, span.cols});
    // The quantiles in the type asked for; the other array stays empty.
    py::array_t<float> quantiles({as_levels ? 0 : span.rows, as_levels ? 0 : span.cols * n});
    py::array_t<std::uint8_t> quantile_levels({as_levels ? span.rows : 0, as_levels ? span.cols * n : 0});
    py::array_t<std::int64_t> level_histogram(256);
    std::vector<float*> variance_rows = row_pointers(variance), quantile_rows = row_pointers(quantiles);
    std::vector<std::uint8_t*> level_rows = row_pointers(quantile_levels);
    zentrel::RegionStatsOutput out;
    out.variance = has_regions ? variance_rows.data() : nullptr;
    out.quantiles = n > 0 && has_regions && !as_levels ? quantile_rows.data() : nullptr;
    out.quantile_levels = n > 0 && has_regions && as_levels ? level_rows.data() : nullptr;
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
    const std::vector<py::ssize_t> shape{span.rows, span.cols, n};
    if (n > 0) q = as_levels ? py::object(quantile_levels.reshape(shape)) : py::object(quantiles.reshape(shape));
    return py::make_tuple(variance, q, histogram ? py::object(level_histogram) : py::none());
}

py::array_t<float> variance_map(const Levels& levels, int region_size, std::pair<int, int> offset,
                                const py::object& regions, int threads) {
    return region_grids(levels, region_size, py::none(), offset, regions, threads, false, false)[0]
        .cast<py::array_t<float>>();
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

}  // namespace

void register_passes(py::module_& m) {
    m.def("variance_map", &variance_map, py::arg("levels"), py::arg("region_size"),
          py::arg("offset") = std::pair<int, int>(0, 0), py::arg("regions") = py::none(), py::arg("threads") = 0,
          "Grey-level variance of regions (first_row + i, first_col + j) as float32.");
    m.def("region_grids", &region_grids, py::arg("levels"), py::arg("region_size"), py::arg("shares") = py::none(),
          py::arg("offset") = std::pair<int, int>(0, 0), py::arg("regions") = py::none(), py::arg("threads") = 0,
          py::arg("histogram") = false, py::arg("as_levels") = false,
          "(variance, quantiles or None, histogram or None) in one pass over the levels: variance_map; "
          "float32 (rows, cols, len(shares)), the lowest level at or below which each share of a region's "
          "pixels lies (-1 if empty), or with as_levels=True the same as uint8 levels (a quarter of the "
          "memory; no region is empty); and with histogram=True (whole images only) the int64 256-bin "
          "histogram of every pixel.");
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
}

}  // namespace zentrel_engine
