// The grid of half-overlapping square regions laid over an image.
//
// With R = region_size, region (i, j) is the R x R block whose top-left pixel
// is (i*R/2, j*R/2) (integer division of the product, so odd R alternates
// steps of (R-1)/2 and (R+1)/2). There are 2*rows/R - 1 region rows and
// 2*cols/R - 1 region columns; half_size = R/2 spaces the node lattice of the
// pixel decision.
#pragma once

#include <cstdint>

namespace zentrel {

inline int region_count(int extent, int region_size) {
    return static_cast<int>(2 * static_cast<std::int64_t>(extent) / region_size - 1);
}

// First pixel of region index along an axis, for any index (callers that
// check indices from outside before they use them).
inline std::int64_t region_origin_wide(std::int64_t index, int region_size) {
    return index * region_size / 2;
}

inline int region_origin(int index, int region_size) {
    return static_cast<int>(region_origin_wide(index, region_size));
}

// Number of regions to analyse: percent of all regions, truncated.
inline int selected_region_count(int region_rows, int region_cols, int percent) {
    return static_cast<int>(static_cast<std::int64_t>(region_cols) * region_rows * percent / 100);
}

}  // namespace zentrel
