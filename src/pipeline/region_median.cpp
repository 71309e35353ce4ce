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

void quantile_row(const PipelineContext& context, int i, int first_col, int region_cols, float* out,
                  int region_size, const ImageBlock& image16, const double* shares, int share_count) {
    const int top = region_origin(i, region_size);
    auto count = [&](Strip& strip, int c) {
        count_strip(strip, image16, top, region_size, region_origin(c, region_size),
                    region_origin(c + 1, region_size), context.excluded_value);
    };
    Strip slots[2];
    Strip* left = &slots[0];
    Strip* right = &slots[1];
    count(*left, first_col);
    for (int j = 0; j < region_cols; ++j) {
        count(*right, first_col + j + 1);
        region_quantiles(*left, *right, shares, share_count, out + static_cast<std::size_t>(j) * share_count);
        std::swap(left, right);
    }
}

}  // namespace

void compute_region_quantiles(const PipelineContext& context, int region_rows, int region_cols,
                              float** grid, int region_size, const ImageBlock& image16,
                              const double* shares, int share_count, int first_row, int first_col) {
    if (region_rows <= 0 || region_cols <= 0 || share_count <= 0) return;
    const int workers = std::min(std::max(context.threads, 1), region_rows);
    std::atomic<int> next_row{0};
    run_workers(workers, [&](int) {
        for (int i = next_row.fetch_add(1); i < region_rows; i = next_row.fetch_add(1)) {
            quantile_row(context, first_row + i, first_col, region_cols, grid[i], region_size, image16,
                         shares, share_count);
        }
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
