// The pixel decision over a block of grey levels against the threshold
// grid, and the pieces of a decided block for the marks kept where they
// join ink.
#include <array>
#include <string>
#include <vector>

#include "binding/engine/common.h"
#include "bimodal/region_grid.h"
#include "pipeline/faint_marks.h"
#include "pipeline/pixel_threshold.h"

namespace zentrel_engine {

namespace {

py::object decide(const Levels& levels, const py::array_t<float, py::array::c_style | py::array::forcecast>& grid,
                  int region_size, std::pair<int, int> offset, const py::object& image_shape, int threads,
                  bool want_surface, bool median, std::array<int, 4> margin, const py::object& core, bool reach,
                  bool mirror) {
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
    // Mirrored levels (255 - level) are decided as dark objects on a bright
    // ground are: objects brighter than theirs get the same hysteresis.
    std::vector<std::uint8_t> mirrored;
    if (mirror && read.rows > 0 && read.cols > 0) {
        const auto width = static_cast<std::size_t>(read.cols);
        mirrored.resize(static_cast<std::size_t>(read.rows) * width);
        for (int i = 0; i < read.rows; ++i) {
            std::uint8_t* to = mirrored.data() + static_cast<std::size_t>(i) * width;
            const std::uint8_t* from = read.table[static_cast<std::size_t>(i)];
            for (std::size_t k = 0; k < width; ++k) to[k] = static_cast<std::uint8_t>(255 - from[k]);
            read.table[static_cast<std::size_t>(i)] = to;
        }
    }
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
        if (mirror && reach) {  // the objects back to 255, their thresholds to the levels as given
            for (int i = 0; i < block.rows; ++i) {
                for (int k = 0; k < block.cols; ++k) out_rows[static_cast<std::size_t>(i)][k] ^= 255;
            }
            const std::size_t n = static_cast<std::size_t>(block.rows) * static_cast<std::size_t>(block.cols);
            for (std::size_t k = 0; surface_data && k < n; ++k) surface_data[k] = 256.0f - surface_data[k];
        }
    }
    if (want_surface) return py::make_tuple(out, surface);
    return std::move(out);
}

// Row pointers over a C-contiguous 2-D block of bytes.
template <class Byte>
std::vector<Byte*> byte_rows(Byte* data, int n_rows, int n_cols) {
    std::vector<Byte*> rows(static_cast<std::size_t>(n_rows));
    for (int i = 0; i < n_rows; ++i) rows[static_cast<std::size_t>(i)] = data + static_cast<std::size_t>(i) * n_cols;
    return rows;
}

// Per label of a block's pieces: whether it holds ink, and its pixels.
std::pair<py::array_t<bool>, py::array_t<std::int64_t>> piece_arrays(const std::vector<bool>& inked,
                                                                     const std::vector<std::int64_t>& counts) {
    py::array_t<bool> reaches(static_cast<py::ssize_t>(inked.size()));
    py::array_t<std::int64_t> sizes(static_cast<py::ssize_t>(counts.size()));
    for (std::size_t k = 0; k < inked.size(); ++k) {
        reaches.mutable_data()[k] = inked[k];
        sizes.mutable_data()[k] = counts[k];
    }
    return {reaches, sizes};
}

using Decided = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;

py::tuple mark_pieces(const Decided& block) {
    if (block.ndim() != 2) throw py::value_error("block: a two-dimensional array is required");
    const auto n_rows = static_cast<int>(block.shape(0)), n_cols = static_cast<int>(block.shape(1));
    const std::vector<const std::uint8_t*> rows = byte_rows(block.data(), n_rows, n_cols);
    py::array_t<std::int32_t> labels({n_rows, n_cols});
    std::vector<bool> inked;
    std::vector<std::int64_t> counts;
    {
        py::gil_scoped_release unlocked;
        inked = zentrel::label_pieces(rows.data(), n_rows, n_cols, labels.mutable_data(), &counts);
    }
    auto [reaches, sizes] = piece_arrays(inked, counts);
    return py::make_tuple(labels, reaches, sizes);
}

py::tuple piece_sizes(const Decided& block) {
    if (block.ndim() != 2) throw py::value_error("block: a two-dimensional array is required");
    const auto n_rows = static_cast<int>(block.shape(0)), n_cols = static_cast<int>(block.shape(1));
    std::vector<std::uint8_t> scratch(block.data(), block.data() + block.size());
    const std::vector<std::uint8_t*> rows = byte_rows(scratch.data(), n_rows, n_cols);
    std::vector<bool> inked;
    std::vector<std::int64_t> counts;
    {
        py::gil_scoped_release unlocked;
        inked = zentrel::count_pieces(rows.data(), n_rows, n_cols, counts);
    }
    auto [reaches, sizes] = piece_arrays(inked, counts);
    return py::make_tuple(reaches, sizes);
}

}  // namespace

void register_decision(py::module_& m) {
    m.def("decide", &decide, py::arg("levels"), py::arg("grid"), py::arg("region_size"),
          py::arg("offset") = std::pair<int, int>(0, 0), py::arg("image_shape") = py::none(), py::arg("threads") = 0,
          py::arg("want_surface") = false, py::arg("median") = false,
          py::arg("margin") = std::array<int, 4>{0, 0, 0, 0}, py::arg("core") = py::none(), py::arg("reach") = true,
          py::arg("mirror") = false,
          "uint8 0/255 of the block (and its float32 surface when wanted). With median, each pixel's 3x3 median "
          "of the levels is decided (the nearest level standing in beyond them); margin = (top, bottom, left, "
          "right) rows and columns of levels around the block at offset, read by the medians alone. With a core "
          "grid, ink (0) not below the core threshold is a mark (1): with reach, marks 8-connected through marks "
          "to ink become ink and the others 255; without, they stay 1. With mirror, 255 - level is decided "
          "instead of each level (grids and core on that scale); with reach the output is then inverted (the "
          "objects 255) and the surface given as 256 - threshold.");
    m.def("mark_pieces", &mark_pieces, py::arg("block"),
          "(labels int32, reaches bool, sizes int64): the 8-connected pieces of a decided block's 0s and 1s numbered "
          "1, 2, ... in row order of their first pixel (0 on 255), and for each label whether its piece holds a 0 "
          "and its count of pixels (label 0: False, 0).");
    m.def("piece_sizes", &piece_sizes, py::arg("block"),
          "(reaches bool, sizes int64): mark_pieces' reaches and sizes without the labels (the block is not "
          "changed): one flood over the pieces alone.");
}

}  // namespace zentrel_engine
