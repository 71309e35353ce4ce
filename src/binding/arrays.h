// Argument types of AdaptiveThreshold that keep Python's None as None.
//
// pybind11's own array arguments cannot: in the conversion pass a None input
// becomes a 0-d NaN array, and an output array that must never be converted
// refuses None. These casters accept None as None, otherwise behave like
// numpy array arguments of a fixed element type (the input converted in the
// second dispatch pass, the output never), and show the usual signature text
// "numpy.ndarray[numpy.float32]" and friends.
#pragma once

#include <cstdint>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace zentrel_binding {

namespace py = pybind11;

template <class T>
struct InputArray {
    py::object array;  // None, or a numpy array of element type T
};

struct OutputArray {
    py::object array;  // None, or the caller's own int16 numpy array
};

template <class T>
struct dtype_name;
template <>
struct dtype_name<float> {
    static constexpr auto name = py::detail::const_name("numpy.float32");
};
template <>
struct dtype_name<std::int32_t> {
    static constexpr auto name = py::detail::const_name("numpy.int32");
};
template <>
struct dtype_name<std::uint8_t> {
    static constexpr auto name = py::detail::const_name("numpy.uint8");
};
template <>
struct dtype_name<std::int16_t> {
    static constexpr auto name = py::detail::const_name("numpy.int16");
};

}  // namespace zentrel_binding

namespace pybind11 {
namespace detail {

template <class T>
struct type_caster<zentrel_binding::InputArray<T>> {
    PYBIND11_TYPE_CASTER(zentrel_binding::InputArray<T>,
                         const_name("numpy.ndarray[") + zentrel_binding::dtype_name<T>::name +
                             const_name("]"));

    bool load(handle src, bool convert) {
        if (src.is_none()) {
            value.array = none();
            return true;
        }
        if (!convert && !array_t<T>::check_(src)) return false;
        auto converted = array_t<T, array::forcecast>::ensure(src);
        if (!converted) return false;
        value.array = std::move(converted);
        return true;
    }

    static handle cast(const zentrel_binding::InputArray<T>& src, return_value_policy, handle) {
        return src.array.inc_ref();
    }
};

template <>
struct type_caster<zentrel_binding::OutputArray> {
    PYBIND11_TYPE_CASTER(zentrel_binding::OutputArray,
                         const_name("numpy.ndarray[") +
                             zentrel_binding::dtype_name<std::int16_t>::name + const_name("]"));

    bool load(handle src, bool /*convert*/) {
        // The result is written into the caller's own buffer: never a copy.
        if (!src.is_none() && !array_t<std::int16_t>::check_(src)) return false;
        value.array = reinterpret_borrow<object>(src);
        return true;
    }

    static handle cast(const zentrel_binding::OutputArray& src, return_value_policy, handle) {
        return src.array.inc_ref();
    }
};

}  // namespace detail
}  // namespace pybind11
