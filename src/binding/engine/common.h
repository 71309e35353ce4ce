// Shared pieces of zentrel.core._engine: the array types the stages take,
// limits from keyword values, region records as numpy structured arrays, row
// tables over grey-level blocks as the caller holds them, and the checks of
// threads and region size.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>  // in every unit: pairs, tuples and vectors convert alike everywhere

#include "bimodal/image_block.h"
#include "bimodal/limits.h"
#include "bimodal/region_analysis.h"

namespace zentrel_engine {

namespace py = pybind11;

// Grey levels as the stages read them, and lists of region rows or columns.
using Levels = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;
using Indices = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;

// Limits from {option name: number or (low, high)}; None gives the defaults.
// Unknown names, wrong shapes and values outside an option's range raise
// ValueError naming the option.
zentrel::AnalysisLimits limits_from(const py::object& given);

// The records as a numpy structured array that owns them (no copy), one row
// per region: row, col, start[5], fitted[5], chi_ratio, threshold,
// fitter_calls, status, test (status and test as small integer codes).
py::array records_array(std::vector<zentrel::RegionRecord>&& records);

// A one-dimensional float32 array that owns the vector's storage (no copy).
py::array_t<float> floats_array(std::vector<float>&& values);

// A row table over a 2-D C-contiguous uint8 block as the caller holds it (no
// copy); the array must outlive the view.
struct Block8 {
    explicit Block8(const Levels& levels, int top, int left);
    zentrel::ImageBlock8 view() const { return {table.data(), top, left}; }
    int rows;
    int cols;
    int top;
    int left;
    std::vector<const std::uint8_t*> table;
};

// threads as the engine takes it: 0 means all hardware threads.
int thread_count(int threads);

// Raises ValueError for a region size below 1.
void check_region_size(int region_size);

// Whether i can name a region (0 .. int range); an index past that names
// none inside any image, and its origin would overflow.
inline bool is_region_index(long long i) { return i >= 0 && i <= 2147483647LL; }

// Registration of each concern's functions.
void register_limits(py::module_& m);
void register_run(py::module_& m);
void register_passes(py::module_& m);
void register_grids(py::module_& m);
void register_decision(py::module_& m);
void register_lattice(py::module_& m);

}  // namespace zentrel_engine
