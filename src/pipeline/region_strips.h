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

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "bimodal/image_block.h"
#include "bimodal/region_grid.h"
#include "pipeline/context.h"
#include "pipeline/workers.h"

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

// Calls each(j, a, b) for regions (row, first_col + j), j < region_cols,
// with the two strips a and b that make each region; each strip is counted
// once.
template <class Each>
void for_each_region_in_row(const PipelineContext& context, int row, int first_col, int region_cols,
                            int region_size, const ImageBlock& image16, Each&& each) {
    const int top = region_origin(row, region_size);
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
        each(j, *left, *right);
        std::swap(left, right);  // strip j + 1 is the left half of region j + 1
    }
}

// Calls row_job(i) for i < region_rows on context.threads workers, rows
// handed out one at a time. Every region is computed alone, so the result
// does not depend on who computes which row.
template <class RowJob>
void for_each_region_row(const PipelineContext& context, int region_rows, RowJob&& row_job) {
    run_chunks(worker_count(context.threads, region_rows), region_rows, 1, [&](int begin, int end, int) {
        for (int i = begin; i < end; ++i) row_job(i);
    });
}

}  // namespace zentrel
