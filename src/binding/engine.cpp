// zentrel._engine: the private native module under the zentrel package. It
// runs the same driver as zentrel_py, but silently, with adjustable limits,
// with the interpreter lock released, and returns what the call learned.
#include <cstdint>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "pipeline/driver.h"

namespace py = pybind11;

namespace {

zentrel::AnalysisLimits limits_from(const py::dict& given) {
    zentrel::AnalysisLimits limits;
    for (auto item : given) {
        const auto key = item.first.cast<std::string>();
        const py::handle value = item.second;
        if (key == "box_c1_min") limits.box_c1_min = value.cast<double>();
        else if (key == "box_c1_max") limits.box_c1_max = value.cast<double>();
        else if (key == "box_mean_min") limits.box_mean_min = value.cast<float>();
        else if (key == "box_mean_max") limits.box_mean_max = value.cast<float>();
        else if (key == "box_sigma_min") limits.box_sigma_min = value.cast<float>();
        else if (key == "box_sigma_max") limits.box_sigma_max = value.cast<float>();
        else if (key == "test_c1_min") limits.test_c1_min = value.cast<double>();
        else if (key == "test_c1_max") limits.test_c1_max = value.cast<double>();
        else if (key == "test_mean1_min") limits.test_mean1_min = value.cast<float>();
        else if (key == "test_mean1_max") limits.test_mean1_max = value.cast<float>();
        else if (key == "test_mean2_min") limits.test_mean2_min = value.cast<float>();
        else if (key == "test_mean2_max") limits.test_mean2_max = value.cast<float>();
        else if (key == "test_sigma_min") limits.test_sigma_min = value.cast<float>();
        else if (key == "test_sigma_max") limits.test_sigma_max = value.cast<float>();
        else if (key == "test_chi_ratio_max") limits.test_chi_ratio_max = value.cast<float>();
        else if (key == "valley_ratio") limits.valley_ratio = value.cast<float>();
        else if (key == "stop_ratio") limits.stop_ratio = value.cast<double>();
        else if (key == "max_iterations") limits.max_iterations = value.cast<int>();
        else throw py::key_error("unknown limit: " + key);
    }
    return limits;
}

const char* status_name(zentrel::RegionStatus status) {
    switch (status) {
        case zentrel::RegionStatus::recorded: return "recorded";
        case zentrel::RegionStatus::empty: return "empty";
        case zentrel::RegionStatus::flat: return "flat";
        case zentrel::RegionStatus::left_box: return "left_box";
        case zentrel::RegionStatus::failed_test: return "failed_test";
        case zentrel::RegionStatus::no_crossing: return "no_crossing";
    }
    return "unknown";
}

const char* test_name(zentrel::TestOutcome outcome) {
    switch (outcome) {
        case zentrel::TestOutcome::passed: return "passed";
        case zentrel::TestOutcome::c1_out_of_range: return "c1";
        case zentrel::TestOutcome::mean1_out_of_range: return "mean1";
        case zentrel::TestOutcome::mean2_out_of_range: return "mean2";
        case zentrel::TestOutcome::sigma1_out_of_range: return "sigma1";
        case zentrel::TestOutcome::sigma2_out_of_range: return "sigma2";
        case zentrel::TestOutcome::chi_ratio_too_large: return "chi_ratio";
        case zentrel::TestOutcome::no_valley: return "valley";
    }
    return "unknown";
}

py::dict report_dict(const zentrel::DriverReport& report) {
    py::list regions;
    for (const auto& r : report.regions) {
        py::dict region;
        region["row"] = r.row;
        region["col"] = r.col;
        region["variance"] = r.variance;
        region["start"] = py::make_tuple(r.start[0], r.start[1], r.start[2], r.start[3], r.start[4]);
        region["fitted"] = py::make_tuple(r.fitted[0], r.fitted[1], r.fitted[2], r.fitted[3], r.fitted[4]);
        region["chi_ratio"] = r.chi_ratio;
        region["fitter_calls"] = r.fitter_calls;
        region["status"] = status_name(r.status);
        region["test"] = test_name(r.test);
        region["threshold"] = r.threshold;
        regions.append(std::move(region));
    }
    py::dict result;
    result["region_rows"] = report.region_rows;
    result["region_cols"] = report.region_cols;
    result["selected_count"] = report.selected_count;
    result["valid_count"] = report.valid_count;
    result["regions"] = std::move(regions);
    const auto& t = report.stage_seconds;
    result["stage_seconds"] = py::make_tuple(t[0], t[1], t[2], t[3], t[4]);
    return result;
}

// Runs the silent driver on a C-contiguous or strided array of T. Returns
// (passed, output int16 array, surface float32 array or None, report dict).
template <class T>
py::tuple run(py::array_t<T, 0> image, int percent, int region_size, bool smooth,
              const py::dict& limits_given, int threads, bool want_surface) {
    const zentrel::AnalysisLimits limits = limits_from(limits_given);
    std::vector<std::int64_t> shape(image.shape(), image.shape() + image.ndim());
    std::vector<std::int64_t> strides(image.strides(), image.strides() + image.ndim());
    zentrel::InputView<T> input{image.data(), static_cast<int>(image.ndim()), shape.data(),
                                strides.data()};

    // The output has the image's shape; the driver refuses other ranks first.
    const bool plane = shape.size() == 2;
    py::array_t<std::int16_t> output(plane ? std::vector<py::ssize_t>{shape[0], shape[1]}
                                           : std::vector<py::ssize_t>{0});
    zentrel::OutputView out{output.mutable_data(), static_cast<std::int64_t>(output.size()), true, true};
    py::object surface = py::none();
    float* surface_data = nullptr;
    if (want_surface && plane) {
        py::array_t<float> s({shape[0], shape[1]});
        surface_data = s.mutable_data();
        surface = std::move(s);
    }

    zentrel::SilentSink silent;
    zentrel::DriverReport report;
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
        passed = zentrel::adaptive_threshold<T>(&input, &out, percent, region_size, false, smooth,
                                                settings);
    }
    return py::make_tuple(passed, output, surface, report_dict(report));
}

}  // namespace

PYBIND11_MODULE(_engine, m) {
    m.doc() = "Private native engine of the zentrel package.";
    m.def("run_float32", &run<float>, py::arg("image"), py::arg("percent"), py::arg("region_size"),
          py::arg("smooth"), py::arg("limits"), py::arg("threads"), py::arg("want_surface"));
    m.def("run_int32", &run<std::int32_t>, py::arg("image"), py::arg("percent"),
          py::arg("region_size"), py::arg("smooth"), py::arg("limits"), py::arg("threads"),
          py::arg("want_surface"));
    m.def("run_uint8", &run<std::uint8_t>, py::arg("image"), py::arg("percent"),
          py::arg("region_size"), py::arg("smooth"), py::arg("limits"), py::arg("threads"),
          py::arg("want_surface"));
}
