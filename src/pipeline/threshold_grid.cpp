#include "pipeline/threshold_grid.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "numeric/arrays.h"
#include "pipeline/workers.h"

namespace zentrel {

namespace {

// Inverse distance 1/sqrt(d^2 + k^2): formed in double from the exact
// integer sum, then rounded to single.
inline float ring_weight(int d, int k) {
    const std::int64_t dd = static_cast<std::int64_t>(d) * d + static_cast<std::int64_t>(k) * k;
    return static_cast<float>(1.0 / std::sqrt(static_cast<double>(dd)));
}

struct RingSum {
    int found = 0;
    float v = 0.0f;  // sum of t * w, single precision, in visiting order
    float w = 0.0f;  // sum of w, single precision, in visiting order
};

// Adds the cells of ring k around (r, c) in their fixed order: for each
// column offset the top cell, then the bottom cell; then for each row offset
// strictly inside the ring the left cell, then the right cell. Cells outside
// the grid are skipped by clamping the offset ranges, which keeps the order
// of the cells that remain.
void add_ring(float** known, int rows, int cols, int r, int c, int k, RingSum& sum) {
    auto take = [&](float t, int d) {
        if (t == MISSING_THRESHOLD) return;
        const float w = ring_weight(d, k);
        sum.found += 1;
        sum.v += t * w;
        sum.w += w;
    };

    const bool top_in = r - k >= 0;
    const bool bottom_in = r + k < rows;
    if (top_in || bottom_in) {
        const int dx_first = std::max(-k, -c);
        const int dx_last = std::min(k, cols - 1 - c);
        const float* top = top_in ? known[r - k] : nullptr;
        const float* bottom = bottom_in ? known[r + k] : nullptr;
        for (int dx = dx_first; dx <= dx_last; ++dx) {
            if (top) take(top[c + dx], dx);
            if (bottom) take(bottom[c + dx], dx);
        }
    }

    const bool left_in = c - k >= 0;
    const bool right_in = c + k < cols;
    if (left_in || right_in) {
        const int dy_first = std::max(-(k - 1), -r);
        const int dy_last = std::min(k - 1, rows - 1 - r);
        for (int dy = dy_first; dy <= dy_last; ++dy) {
            const float* row = known[r + dy];
            if (left_in) take(row[c - k], dy);
            if (right_in) take(row[c + k], dy);
        }
    }
}

}  // namespace

void fill_threshold_grid(int valid_count, int region_rows, int region_cols, const int region_row[],
                         const int region_col[], const float region_thresh[],
                         float** threshold_grid, int threads) {
    FImage known(region_rows, region_cols);
    std::fill(known[0], known[0] + static_cast<std::int64_t>(region_rows) * region_cols,
              MISSING_THRESHOLD);
    for (int k = 0; k < valid_count; ++k) known[region_row[k]][region_col[k]] = region_thresh[k];

    // A placed threshold of exactly -1.0 is indistinguishable from a gap, so
    // count what is actually known.
    std::int64_t known_total = 0;
    for (int r = 0; r < region_rows; ++r) {
        for (int c = 0; c < region_cols; ++c) known_total += known[r][c] != MISSING_THRESHOLD;
    }

    // Ring max(rows - 1, cols - 1) reaches every cell of the grid; no ring
    // beyond it can add anything.
    const int last_ring = std::max(region_rows - 1, region_cols - 1);

    // Every cell depends on the known cells alone: rows of cells go in runs
    // to the first worker free (a row far from known cells searches more
    // rings than one beside them).
    const int workers = worker_count(threads, region_rows);
    run_chunks(workers, region_rows, run_size(region_rows, workers, 16), [&](int begin, int end, int) {
        for (int r = begin; r < end; ++r) {
            for (int c = 0; c < region_cols; ++c) {
                const float t = known[r][c];
                if (t != MISSING_THRESHOLD) {
                    threshold_grid[r][c] = t;
                    continue;
                }
                if (known_total == 0) {
                    // Every placed threshold was -1.0: that is the only value
                    // there is to spread.
                    threshold_grid[r][c] = MISSING_THRESHOLD;
                    continue;
                }
                RingSum sum;
                for (int k = 1;; ++k) {
                    add_ring(known.get(), region_rows, region_cols, r, c, k, sum);
                    // Decided only after a whole ring, so all of its cells
                    // count. With fewer than four known cells overall the
                    // search ends once every known cell has been found
                    // (later rings are empty of known cells) or the grid is
                    // exhausted.
                    if (sum.found >= 4 || sum.found == known_total || k >= last_ring) break;
                }
                threshold_grid[r][c] = sum.v / sum.w;
            }
        }
    });
}

}  // namespace zentrel
