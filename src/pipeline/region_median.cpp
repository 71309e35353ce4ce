#include "pipeline/region_median.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "bimodal/region_grid.h"
#include "pipeline/region_strips.h"
#include "pipeline/workers.h"

namespace zentrel {

namespace {

void region_quantiles(const Strip& a, const Strip& b, const double* shares, int share_count,
                      float* out) {
    const std::int64_t k = a.k + b.k;
    std::int64_t cumulative[256];
    std::int64_t seen = 0;
    for (int v = 0; v < 256; ++v) cumulative[v] = seen += a.hist[v] + b.hist[v];
    for (int n = 0; n < share_count; ++n) {
        if (k == 0) {
            out[n] = -1.0f;
            continue;
        }
        const double need = shares[n] * static_cast<double>(k);
        const std::int64_t* at = std::lower_bound(cumulative, cumulative + 256, need,
                                                  [](std::int64_t c, double x) { return static_cast<double>(c) < x; });
        out[n] = static_cast<float>(std::min<std::ptrdiff_t>(at - cumulative, 255));
    }
}

}  // namespace

void compute_region_quantiles(const PipelineContext& context, int region_rows, int region_cols,
                              float** grid, int region_size, const ImageBlock& image16,
                              const double* shares, int share_count, int first_row, int first_col) {
    if (region_rows <= 0 || region_cols <= 0 || share_count <= 0) return;
    for_each_region_row(context, region_rows, [&](int i) {
        float* out = grid[i];
        for_each_region_in_row(context, first_row + i, first_col, region_cols, region_size, image16,
                               [&](int j, const Strip& a, const Strip& b) {
                                   region_quantiles(a, b, shares, share_count,
                                                    out + static_cast<std::size_t>(j) * share_count);
                               });
    });
}

void compute_region_median(const PipelineContext& context, int region_rows, int region_cols,
                           float** median_grid, int region_size, const ImageBlock& image16,
                           int first_row, int first_col) {
    const double half = 0.5;
    compute_region_quantiles(context, region_rows, region_cols, median_grid, region_size, image16,
                             &half, 1, first_row, first_col);
}

}  // namespace zentrel
