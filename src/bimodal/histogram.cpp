#include "bimodal/histogram.h"

#include <algorithm>
#include <cstdint>

#include "bimodal/region_grid.h"

namespace zentrel {

namespace {
constexpr int BINS = 256;
}

namespace {

template <class Pixel>
void build_histogram(const AnalysisSettings& settings, const BasicImageBlock<Pixel>& image16, int region_size,
                     int grid_row, int grid_col, int hist[], float& pixel_count, int& mean_level) {
    std::fill(hist, hist + BINS, 0);

    const int top = region_origin(grid_row, region_size);
    const int left = region_origin(grid_col, region_size);
    const int excluded = settings.excluded_value;
    std::int64_t count = 0, sum = 0;
    for (int r = top; r < top + region_size; ++r) {
        const Pixel* row = image16.at(r) + (left - image16.left);
        for (int c = 0; c < region_size; ++c) {
            const int v = row[c];
            if (v == excluded) continue;
            // Grey levels outside 0..255 have no bin; they are not counted.
            if (v < 0 || v >= BINS) continue;
            ++hist[v];
            ++count;
            sum += v;
        }
    }

    // Counts and first moment summed in float, in bin order, over the
    // occupied span. While the sums stay within 2^24 every partial sum is
    // an integer float holds exactly, and the pixels' integer sums are the
    // same floats.
    float n = 0.0f;
    float s = 0.0f;
    if (count <= FLOAT_EXACT && sum <= FLOAT_EXACT) {
        n = static_cast<float>(count);
        s = static_cast<float>(sum);
    } else {
        int lo = 0, hi = BINS - 1;
        occupied_span(hist, lo, hi);
        for (int v = lo; v <= hi; ++v) {
            n += static_cast<float>(hist[v]);
            s += static_cast<float>(static_cast<long long>(v) * hist[v]);
        }
    }
    pixel_count = n;
    mean_level = n < 1.0f ? 0 : static_cast<int>(s / n);
}

}  // namespace

void build_region_histogram(const AnalysisSettings& settings, const ImageBlock& image16, int region_size,
                            int grid_row, int grid_col, int hist[], float& pixel_count, int& mean_level) {
    build_histogram(settings, image16, region_size, grid_row, grid_col, hist, pixel_count, mean_level);
}

void build_region_histogram(const AnalysisSettings& settings, const ImageBlock8& image, int region_size,
                            int grid_row, int grid_col, int hist[], float& pixel_count, int& mean_level) {
    build_histogram(settings, image, region_size, grid_row, grid_col, hist, pixel_count, mean_level);
}

void smooth_histogram(int hist[]) {
    int t[BINS];
    std::copy(hist, hist + BINS, t);
    for (int v = 2; v <= BINS - 3; ++v) {
        // 64-bit sum so that very large counts cannot overflow; the result
        // equals the 32-bit formula wherever that one is defined.
        const long long sum = static_cast<long long>(t[v - 2]) + 2LL * t[v - 1] + 3LL * t[v] +
                              2LL * t[v + 1] + t[v + 2];
        hist[v] = static_cast<int>(sum / 9);
    }
}

namespace {

float moments_variance(float s1, float s2, std::int64_t k) {
    const float count = static_cast<float>(k);
    const float m = s1 / count;
    const float q = s2 / count;
    return q - m * m;
}

}  // namespace

float histogram_variance(const std::int64_t hist[], int lo, int hi, std::int64_t k) {
    float s1 = 0.0f;
    float s2 = 0.0f;
    for (std::int64_t v = lo; v <= hi; ++v) {
        s1 += static_cast<float>(v * hist[v]);
        s2 += static_cast<float>(v * v * hist[v]);
    }
    return moments_variance(s1, s2, k);
}

float sums_variance(std::int64_t sum, std::int64_t squares, std::int64_t k) {
    return moments_variance(static_cast<float>(sum), static_cast<float>(squares), k);
}

}  // namespace zentrel
