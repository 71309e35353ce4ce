// The region lattice and the histogram smoother as the engine has them, so
// that Python callers (chunk geometry, region positions, the report's
// histograms) take these facts from here instead of restating them.
#include <algorithm>
#include <string>

#include "binding/engine/common.h"
#include "bimodal/histogram.h"
#include "bimodal/region_grid.h"

namespace zentrel_engine {

namespace {

py::tuple grid_shape(std::pair<long long, long long> shape, int region_size) {
    check_region_size(region_size);
    // Sides past the engine's int range count as that range; no caller gets that far.
    auto count = [&](long long n) {
        return std::max(zentrel::region_count(static_cast<int>(std::clamp(n, 0LL, 2147483647LL)), region_size), 0);
    };
    return py::make_tuple(count(shape.first), count(shape.second));
}

py::array_t<long long> region_origins(const py::array_t<long long, py::array::c_style | py::array::forcecast>& indices,
                                     int region_size) {
    check_region_size(region_size);
    py::array_t<long long> origins(indices.request().shape);
    const long long* in = indices.data();
    long long* out = origins.mutable_data();
    for (py::ssize_t i = 0; i < indices.size(); ++i) {
        if (!is_region_index(in[i])) throw py::value_error("region index " + std::to_string(in[i]) + " is out of range");
        out[i] = zentrel::region_origin_wide(in[i], region_size);
    }
    return origins;
}

py::array_t<int> smoothed_histogram(const py::array_t<int, py::array::c_style | py::array::forcecast>& hist) {
    if (hist.ndim() != 1 || hist.shape(0) != 256)
        throw py::value_error("hist: a histogram of 256 bins is required");
    py::array_t<int> out(256);
    std::copy(hist.data(), hist.data() + 256, out.mutable_data());
    zentrel::smooth_histogram(out.mutable_data());
    return out;
}

}  // namespace

void register_lattice(py::module_& m) {
    m.def("grid_shape", &grid_shape, py::arg("image_shape"), py::arg("region_size"),
          "(region rows, region columns) of an image: 2*side//region_size - 1 each, at least 0.");
    m.def("region_origins", &region_origins, py::arg("indices"), py::arg("region_size"),
          "First pixel along one axis of each region index i: i*region_size//2, as int64.");
    m.def("smoothed_histogram", &smoothed_histogram, py::arg("hist"),
          "A 256-bin histogram smoothed as the fits smooth it (1-2-3-2-1 over bins 2..253, integer division by 9).");
}

}  // namespace zentrel_engine
