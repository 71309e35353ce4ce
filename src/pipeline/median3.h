// Each pixel's 3x3 median along a row of grey levels: what the pixel
// decision reads for objects wider than strokes, where a lone pixel of noise
// is no object.
#pragma once

#include <cstdint>

namespace zentrel {

// out[j] = the median of the nine levels around column first + j of row
// `middle`, between rows `above` and `below`, for j = 0 .. last - first - 1.
// Each row pointer holds image column c at [c - origin]; columns outside
// [lo, hi] take the level of the nearer of the two (lo <= first and
// last - 1 <= hi), as does a missing row the caller's nearest one. scratch
// holds 3 * (last - first + 2) bytes. Integer work only: exact.
void median3_row(const std::uint8_t* above, const std::uint8_t* middle, const std::uint8_t* below, int origin,
                 int lo, int hi, int first, int last, std::uint8_t* scratch, std::uint8_t* out);

}  // namespace zentrel
