// The Python module zentrel_py: AdaptiveThreshold in three overloads (float32,
// int32 and uint8 input) over the pipeline driver.
#include <cstdint>
#include <vector>

#include <pybind11/pybind11.h>

#include "binding/arrays.h"
#include "pipeline/driver.h"

namespace py = pybind11;
using zentrel_binding::InputArray;
using zentrel_binding::OutputArray;

namespace {

// Turns the Python arguments into plain views and runs the driver. The
// interpreter lock stays held: this module's calls run one after another.
template <class T>
bool adaptive_threshold(const InputArray<T>& input_image, const OutputArray& output_image,
                        int percent, int region_size, bool debug, bool smooth_his) {
    zentrel::InputView<T> input_view;
    std::vector<std::int64_t> shape;
    std::vector<std::int64_t> strides;
    py::array_t<T> input;
    if (!input_image.array.is_none()) {
        input = py::reinterpret_borrow<py::array_t<T>>(input_image.array);
        shape.assign(input.shape(), input.shape() + input.ndim());
        strides.assign(input.strides(), input.strides() + input.ndim());
        input_view.data = input.data();
        input_view.ndim = static_cast<int>(input.ndim());
        input_view.shape = shape.data();
        input_view.strides = strides.data();
    }

    zentrel::OutputView output_view;
    py::array output;
    if (!output_image.array.is_none()) {
        output = py::reinterpret_borrow<py::array>(output_image.array);
        output_view.data = static_cast<std::int16_t*>(const_cast<void*>(output.data()));
        output_view.size = static_cast<std::int64_t>(output.size());
        output_view.writeable = output.writeable();
        output_view.c_contiguous = (output.flags() & py::array::c_style) != 0;
    }
    return zentrel::adaptive_threshold<T>(input_image.array.is_none() ? nullptr : &input_view,
                                          output_image.array.is_none() ? nullptr : &output_view,
                                          percent, region_size, debug, smooth_his);
}

template <class T>
void register_overload(py::module_& m) {
    m.def("AdaptiveThreshold", &adaptive_threshold<T>, "Adaptive threshold of an image",
          py::arg("input_image"), py::arg("output_image"), py::arg("percent"),
          py::arg("region_size"), py::arg("debug") = false, py::arg("smooth_his") = false);
}

}  // namespace

PYBIND11_MODULE(zentrel_py, m) {
    register_overload<float>(m);
    register_overload<std::int32_t>(m);
    register_overload<std::uint8_t>(m);
    m.attr("__version__") = "dev";
}
