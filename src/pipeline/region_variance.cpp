#include "pipeline/region_variance.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "bimodal/histogram.h"
#include "bimodal/region_grid.h"
#include "pipeline/region_strips.h"
#include "pipeline/workers.h"

namespace zentrel {

namespace {

// Variance of the region made of strips a and b (histogram_variance).
float region_variance(const Strip& a, const Strip& b) {
    const std::int64_t k = a.k + b.k;
    if (k == 0) return 0.0f;
    // Only the occupied span of bins is summed: an empty bin adds +0.0f,
    // which leaves a non-negative float sum as it is, and a smooth region
    // holds few grey levels. k > 0, so some bin is occupied.
    std::int64_t lo = 0;
    while (a.hist[lo] + b.hist[lo] == 0) ++lo;
    std::int64_t hi = 255;
    while (a.hist[hi] + b.hist[hi] == 0) --hi;
    std::int64_t region[256];
    for (std::int64_t v = lo; v <= hi; ++v) region[v] = a.hist[v] + b.hist[v];
    return histogram_variance(region, static_cast<int>(lo), static_cast<int>(hi), k);
}

}  // namespace

void compute_region_variance(const PipelineContext& context, int region_rows, int region_cols,
                             float** variance_grid, int region_size, const ImageBlock& image16,
                             int first_row, int first_col) {
    if (region_rows <= 0 || region_cols <= 0) return;

    for_each_region_row(context, region_rows, [&](int i) {
        float* out = variance_grid[i];
        for_each_region_in_row(context, first_row + i, first_col, region_cols, region_size, image16,
                               [&](int j, const Strip& a, const Strip& b) { out[j] = region_variance(a, b); });
    });
}

}  // namespace zentrel
