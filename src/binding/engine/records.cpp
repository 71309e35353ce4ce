#include <cstddef>
#include <stdexcept>
#include <string>
#include <tuple>

#include "binding/engine/common.h"
#include "pipeline/driver.h"

namespace zentrel_engine {

namespace {

// The numpy view of RegionRecord, field by field at the struct's own
// offsets, so the records' storage is handed over as it is.
py::dtype record_dtype() {
    using zentrel::RegionRecord;
    py::list names, formats, offsets;
    auto field = [&](const char* name, const char* format, std::size_t offset) {
        names.append(name);
        formats.append(format);
        offsets.append(offset);
    };
    field("row", "<i4", offsetof(RegionRecord, row));
    field("col", "<i4", offsetof(RegionRecord, col));
    field("start", "(5,)<f4", offsetof(RegionRecord, start));
    field("fitted", "(5,)<f4", offsetof(RegionRecord, fitted));
    field("chi_ratio", "<f4", offsetof(RegionRecord, chi_ratio));
    field("threshold", "<f4", offsetof(RegionRecord, threshold));
    field("fitter_calls", "<i4", offsetof(RegionRecord, fitter_calls));
    field("status", "u1", offsetof(RegionRecord, status));
    field("test", "u1", offsetof(RegionRecord, test));
    py::dict layout;
    layout["names"] = names;
    layout["formats"] = formats;
    layout["offsets"] = offsets;
    layout["itemsize"] = sizeof(RegionRecord);
    return py::dtype::from_args(layout);
}

}  // namespace

py::array records_array(std::vector<zentrel::RegionRecord>&& records) {
    static_assert(std::is_standard_layout_v<zentrel::RegionRecord>);
    auto* owned = new std::vector<zentrel::RegionRecord>(std::move(records));
    py::capsule owner(owned, [](void* p) { delete static_cast<std::vector<zentrel::RegionRecord>*>(p); });
    const py::ssize_t n = static_cast<py::ssize_t>(owned->size());
    return py::array(record_dtype(), {n}, {static_cast<py::ssize_t>(sizeof(zentrel::RegionRecord))},
                     owned->data(), owner);
}

py::array_t<float> floats_array(std::vector<float>&& values) {
    auto* owned = new std::vector<float>(std::move(values));
    py::capsule owner(owned, [](void* p) { delete static_cast<std::vector<float>*>(p); });
    return py::array_t<float>({static_cast<py::ssize_t>(owned->size())}, {static_cast<py::ssize_t>(sizeof(float))},
                              owned->data(), owner);
}

namespace {

// Checks a levels block and its offset; returns (rows, cols).
std::pair<int, int> block_extent(const py::array& levels, int top, int left) {
    if (levels.ndim() != 2) {
        throw py::value_error("levels: got an array with " + std::to_string(levels.ndim()) +
                              " dimensions; a two-dimensional block is required");
    }
    if (top < 0 || left < 0) throw py::value_error("offset: the block's offset must not be negative");
    const auto r = levels.shape(0);
    const auto c = levels.shape(1);
    if (r > INT32_MAX - top || c > INT32_MAX - left) throw py::value_error("levels: the block is too large");
    return {static_cast<int>(r), static_cast<int>(c)};
}

}  // namespace

Block8::Block8(const Levels& levels, int top_, int left_)
    : top(top_), left(left_) {
    std::tie(rows, cols) = block_extent(levels, top, left);
    table.resize(static_cast<std::size_t>(rows));
    for (int i = 0; i < rows; ++i) table[static_cast<std::size_t>(i)] = cols > 0 ? levels.data(i, 0) : nullptr;
}

int thread_count(int threads) {
    if (threads < 0) throw py::value_error("threads: got " + std::to_string(threads) + "; it must be at least 1 (or 0 for all)");
    return threads == 0 ? zentrel::default_thread_count() : threads;
}

void check_region_size(int region_size) {
    if (region_size < 1) throw py::value_error("region_size: got " + std::to_string(region_size) + "; it must be at least 1");
}

}  // namespace zentrel_engine
