// Grey-level counts of the column strips that regions are made of, shared by
// the stages that need each region's histogram (variance, quantiles).
//
// Region (i, j) spans columns origin(j) .. origin(j + 2) - 1, since
// origin(j) + R = origin(j + 2) for odd R too. So along a row of regions it
// is the union of two column strips, strip c spanning origin(c) ..
// origin(c + 1) - 1 over the region's R rows, and neighbouring regions share
// a strip. Counting each strip once halves the pixel work; the histogram of
// a region is still exactly the count of its own pixels.
#pragma once

#include <cstdint>
#include <cstring>

#include "bimodal/image_block.h"

namespace zentrel {

struct Strip {
    // 64-bit counters: a region's bin can hold all of its R*R pixels.
    std::int64_t hist[256];
    std::int64_t k;
};

// Counts columns left .. right - 1 of rows top .. top + region_size - 1,
// skipping excluded_value.
inline void count_strip(Strip& strip, const ImageBlock& image16, int top, int region_size, int left,
                        int right, int excluded_value) {
    std::memset(strip.hist, 0, sizeof strip.hist);
    std::int64_t k = 0;
    const int width = right - left;
    for (int y = top; y < top + region_size; ++y) {
        const std::int16_t* row = image16.at(y) + (left - image16.left);
        for (int x = 0; x < width; ++x) {
            const int v = row[x];
            if (v == excluded_value) continue;
            ++strip.hist[v];
            ++k;
        }
    }
    strip.k = k;
}

}  // namespace zentrel
