#include "pipeline/region_variance.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "pipeline/region_grid.h"

namespace zentrel {

namespace {

// Variance of the R x R block at (top, left). The pixel loop only counts;
// the float work is a fixed pass over the 256 bins, lowest first.
float region_variance(const std::int16_t* const* image16, int top, int left, int region_size,
                      int excluded_value) {
    // 64-bit counters: a bin can hold every pixel of the region, R*R of them.
    std::int64_t hist[256];
    std::memset(hist, 0, sizeof hist);
    std::int64_t k = 0;

    for (int y = top; y < top + region_size; ++y) {
        const std::int16_t* row = image16[y] + left;
        for (int x = 0; x < region_size; ++x) {
            const int v = row[x];
            if (v == excluded_value) continue;
            ++hist[v];
            ++k;
        }
    }
    if (k == 0) return 0.0f;

    // Each product is exact in 64 bits (at most 65025 * R*R) and is rounded
    // once, to float, before it joins the single-precision sum.
    float s1 = 0.0f;
    float s2 = 0.0f;
    for (std::int64_t v = 0; v < 256; ++v) {
        s1 += static_cast<float>(v * hist[v]);
        s2 += static_cast<float>(v * v * hist[v]);
    }
    const float count = static_cast<float>(k);
    const float m = s1 / count;
    const float q = s2 / count;
    return q - m * m;
}

void variance_rows(const PipelineContext& context, int first_row, int end_row, int region_cols,
                   float** variance_grid, int region_size, const std::int16_t* const* image16) {
    for (int i = first_row; i < end_row; ++i) {
        const int top = region_origin(i, region_size);
        for (int j = 0; j < region_cols; ++j) {
            variance_grid[i][j] = region_variance(image16, top, region_origin(j, region_size),
                                                  region_size, context.excluded_value);
        }
    }
}

}  // namespace

void compute_region_variance(const PipelineContext& context, int region_rows, int region_cols,
                             float** variance_grid, int region_size,
                             const std::int16_t* const* image16) {
    if (region_rows <= 0 || region_cols <= 0) return;

    const int workers = std::min(std::max(context.threads, 1), region_rows);
    if (workers == 1) {
        variance_rows(context, 0, region_rows, region_cols, variance_grid, region_size, image16);
        return;
    }

    // Rows of regions are handed out one at a time; every region is computed
    // alone, so the grid does not depend on who computes which row. The
    // calling thread takes part, and takes over whatever is left if a worker
    // cannot be started.
    std::atomic<int> next_row{0};
    auto work = [&]() {
        for (int i = next_row.fetch_add(1); i < region_rows; i = next_row.fetch_add(1)) {
            variance_rows(context, i, i + 1, region_cols, variance_grid, region_size, image16);
        }
    };
    std::vector<std::thread> pool;
    try {
        pool.reserve(static_cast<std::size_t>(workers - 1));
        for (int t = 1; t < workers; ++t) pool.emplace_back(work);
    } catch (const std::system_error&) {
        // Too few threads available: fewer hands, same result.
    } catch (const std::bad_alloc&) {
    }
    work();
    for (auto& thread : pool) thread.join();
}

}  // namespace zentrel
