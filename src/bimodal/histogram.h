// The grey-level histogram of one region and its optional smoothing.
#pragma once

#include <cstdint>

#include "bimodal/analysis_settings.h"
#include "bimodal/image_block.h"

namespace zentrel {

// Counts the pixels of region (grid_row, grid_col) into hist[0..255],
// skipping pixels equal to settings.excluded_value. pixel_count is the float
// sum of the bins; mean_level the mean grey level truncated toward zero (0
// for an empty histogram).
void build_region_histogram(const AnalysisSettings& settings, const ImageBlock& image16,
                            int region_size, int grid_row, int grid_col, int hist[],
                            float& pixel_count, int& mean_level);
void build_region_histogram(const AnalysisSettings& settings, const ImageBlock8& image,
                            int region_size, int grid_row, int grid_col, int hist[],
                            float& pixel_count, int& mean_level);

// Variance of a histogram of k > 0 pixels whose occupied bins lie in lo..hi:
// single-precision sums over those bins, lowest first, each product exact in
// 64 bits (at most 65025 * k) and rounded once to float before it joins its
// sum. The variance grids of both analyses are made of it.
float histogram_variance(const std::int64_t hist[], int lo, int hi, std::int64_t k);

// The same from the pixels' integer sums, where every partial sum above is
// an integer float holds exactly: k * 255^2 <= 2^24 (regions of up to 258
// pixels). Then the order of the sums does not matter, and this equals
// histogram_variance bit for bit.
// Every integer up to FLOAT_EXACT is a float, exactly.
constexpr std::int64_t FLOAT_EXACT = std::int64_t{1} << 24;
constexpr bool exact_integer_sums(std::int64_t k) { return k * 255 * 255 <= FLOAT_EXACT; }
float sums_variance(std::int64_t sum, std::int64_t squares, std::int64_t k);

// Narrows lo..hi to the occupied bins of hist (lo > hi when none is). The
// float sums over a histogram run over this span only: an empty bin adds
// +0, which leaves a non-negative float sum as it is.
inline void occupied_span(const int hist[], int& lo, int& hi) {
    while (lo <= hi && hist[lo] == 0) ++lo;
    while (hi >= lo && hist[hi] == 0) --hi;
}

// One pass of the 1-2-3-2-1 kernel with integer division by 9 over bins
// 2..253, each computed from the unsmoothed counts; bins 0, 1, 254, 255 keep
// their values.
void smooth_histogram(int hist[]);

}  // namespace zentrel
