#include "pipeline/region_median.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "bimodal/region_grid.h"
#include "pipeline/workers.h"

namespace zentrel {

namespace {

// As in the variance map, region (i, j) is the union of column strips j and
// j + 1 over its rows, and each strip is counted once per row of regions.
struct Strip {
    std::int64_t hist[256];
    std::int64_t k;
};

void count_strip(Strip& strip, const ImageBlock& image16, int top, int region_size, int left,
                 int right, int excluded_value) {
    std::memset(strip.hist, 0, sizeof strip.hist);
    std::int64_t k = 0;
    for (int y = top; y < top + region_size; ++y) {
        const std::int16_t* row = image16.at(y) + (left - image16.left);
        for (int x = 0; x < right - left; ++x) {
            const int v = row[x];
            if (v == excluded_value) continue;
            ++strip.hist[v];
            ++k;
        }
    }
    strip.k = k;
}

float region_median(const Strip& a, const Strip& b) {
    const std::int64_t k = a.k + b.k;
    if (k == 0) return -1.0f;
    std::int64_t seen = 0;
    for (int v = 0; v < 256; ++v) {
        seen += a.hist[v] + b.hist[v];
        if (2 * seen >= k) return static_cast<float>(v);
    }
    return 255.0f;
}

void median_row(const PipelineContext& context, int i, int first_col, int region_cols, float* out,
                int region_size, const ImageBlock& image16) {
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
        out[j] = region_median(*left, *right);
        std::swap(left, right);
    }
}

}  // namespace

void compute_region_median(const PipelineContext& context, int region_rows, int region_cols,
                           float** median_grid, int region_size, const ImageBlock& image16,
                           int first_row, int first_col) {
    if (region_rows <= 0 || region_cols <= 0) return;
    const int workers = std::min(std::max(context.threads, 1), region_rows);
    std::atomic<int> next_row{0};
    run_workers(workers, [&](int) {
        for (int i = next_row.fetch_add(1); i < region_rows; i = next_row.fetch_add(1)) {
            median_row(context, first_row + i, first_col, region_cols, median_grid[i], region_size,
                       image16);
        }
    });
}

}  // namespace zentrel
