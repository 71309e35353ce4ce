// The whole pipeline in one call, as AdaptiveThreshold runs it, but silent,
// with adjustable limits and its findings returned.
#include <string>

#include "binding/engine/common.h"
#include "pipeline/driver.h"

namespace zentrel_engine {

namespace {

// Returns (passed, output, surface, info). output is uint8 0/255 (1
// everywhere when no region passed) or None; surface is float32 or None;
// info holds the grid shape, the counts, the stage times and, with
// want_records, the records and the variances of the selected regions.
template <class T>
py::tuple run(py::array_t<T, 0> image, int percent, int region_size, bool smooth, const py::object& limits_given,
              int threads, bool want_output, bool want_surface, bool want_records) {
    const zentrel::AnalysisLimits limits = limits_from(limits_given);
    std::vector<std::int64_t> shape(image.shape(), image.shape() + image.ndim());
    std::vector<std::int64_t> strides(image.strides(), image.strides() + image.ndim());
    zentrel::InputView<T> input{image.data(), static_cast<int>(image.ndim()), shape.data(), strides.data()};

    // The output has the image's shape; the driver refuses other ranks first.
    // It is filled also when not wanted (analyse): the pixel decision is the
    // cheapest stage, and one path keeps every caller's grid the same.
    const bool plane = shape.size() == 2;
    py::array_t<std::uint8_t> output(plane ? std::vector<py::ssize_t>{shape[0], shape[1]}
                                           : std::vector<py::ssize_t>{0});
    static std::uint8_t empty_output;
    zentrel::OutputView out;
    out.size = static_cast<std::int64_t>(output.size());
    out.data8 = out.size > 0 ? output.mutable_data() : &empty_output;
    py::object surface = py::none();
    float* surface_data = nullptr;
    if (want_surface && plane) {
        py::array_t<float> s({shape[0], shape[1]});
        surface_data = s.mutable_data();
        surface = std::move(s);
    }

    zentrel::SilentSink silent;
    zentrel::DriverReport report;
    report.keep_variances = want_records;
    zentrel::DriverSettings settings;
    settings.sink = &silent;
    settings.limits = &limits;
    settings.threads = threads;
    settings.report = &report;
    settings.threshold_surface = surface_data;
    settings.input_name = "image";
    bool passed;
    {
        // Safe without the lock: the driver touches only the buffers above,
        // which this frame keeps alive, and its state lives in this call.
        py::gil_scoped_release unlocked;
        passed = zentrel::adaptive_threshold<T>(&input, &out, percent, region_size, false, smooth, settings);
    }

    py::dict info;
    info["region_rows"] = report.region_rows;
    info["region_cols"] = report.region_cols;
    info["selected_count"] = report.selected_count;
    info["valid_count"] = report.valid_count;
    py::dict seconds;
    for (int k = 0; k < zentrel::STAGE_COUNT; ++k) seconds[zentrel::STAGE_NAMES[k]] = report.stage_seconds[k];
    info["stage_seconds"] = seconds;
    // The records exist anyway (the driver builds the grid from them) and
    // are handed over without a copy; the variances only when asked for.
    info["records"] = records_array(std::move(report.regions));
    info["variances"] = floats_array(std::move(report.variances));
    return py::make_tuple(passed, want_output ? py::object(output) : py::none(), surface, info);
}

template <class T>
void def_run(py::module_& m, const char* name) {
    m.def(name, &run<T>, py::arg("image"), py::arg("percent"), py::arg("region_size"), py::arg("smooth"),
          py::arg("limits"), py::arg("threads"), py::arg("want_output"), py::arg("want_surface"),
          py::arg("want_records"));
}

}  // namespace

void register_run(py::module_& m) {
    def_run<float>(m, "run_float32");
    def_run<std::int32_t>(m, "run_int32");
    def_run<std::uint8_t>(m, "run_uint8");
    py::tuple names(zentrel::STAGE_COUNT);
    for (int k = 0; k < zentrel::STAGE_COUNT; ++k) names[k] = zentrel::STAGE_NAMES[k];
    m.attr("STAGE_NAMES") = names;
}

}  // namespace zentrel_engine
