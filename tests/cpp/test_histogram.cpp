#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "bimodal/histogram.h"

namespace zentrel {
namespace {

constexpr int SPARE = 0x5a5a5a5a;  // bin 256 must never be touched
using Bins = std::array<int, 257>;

struct Image {
    Image(int n, const std::function<int(int, int)>& value) : data(n * n), table(n) {
        for (int r = 0; r < n; ++r) {
            table[r] = &data[r * n];
            for (int c = 0; c < n; ++c) table[r][c] = static_cast<std::int16_t>(value(r, c));
        }
    }
    std::vector<std::int16_t> data;
    std::vector<std::int16_t*> table;
};

Bins histogram(const Image& image, int size, int grid_row, int grid_col, float& count, int& mean,
               int excluded = NO_EXCLUDED_VALUE) {
    Bins h;
    h.fill(-1);  // stale counts must be cleared
    h[256] = SPARE;
    AnalysisSettings settings;
    settings.excluded_value = excluded;
    build_region_histogram(settings, image.table.data(), size, grid_row, grid_col, h.data(), count, mean);
    return h;
}

TEST(RegionHistogram, CountAndTruncatedMean) {
    // Row 0 of an n x n region holds the values, the other rows are excluded;
    // out-of-range levels have no bin and are not counted either.
    const std::vector<std::pair<std::vector<int>, int>> cases = {
        {{10, 10, 10, 10, 21, 21, 21, 21}, 15},  // 15.5
        {{0, 0, 1}, 0}, {{0, 1, 1}, 0}, {{254, 255}, 254}, {{255, 255}, 255},
        {{-1, 300, 255, 32767, -32768, 128, 256, 0}, 127},  // 0, 128, 255 counted
        {{999, 999}, 0},                                     // all excluded
    };
    for (const auto& [values, mean_want] : cases) {
        const int n = static_cast<int>(values.size());
        Image image(n, [&](int r, int c) { return r == 0 ? values[c] : 999; });
        float count = -1;
        int mean = -1;
        const Bins h = histogram(image, n, 0, 0, count, mean, 999);
        int counted = 0;
        for (int v : values) counted += v >= 0 && v <= 255;
        int total = 0;
        for (int v = 0; v < 256; ++v) total += h[v];
        EXPECT_EQ(count, static_cast<float>(counted)) << values[0];
        EXPECT_EQ(total, counted) << values[0];
        EXPECT_EQ(mean, mean_want) << values[0];
        EXPECT_EQ(h[256], SPARE);
    }
}

TEST(RegionHistogram, RegionOriginOnTheHalfOverlapGrid) {
    // Pixel value = row (or column): the bins show which rows (columns) the
    // region covers. Odd sizes use floor(i * R / 2), not i * floor(R / 2).
    const std::vector<std::array<int, 3>> cases = {{5, 1, 2}, {5, 3, 7}, {25, 1, 12}, {25, 3, 37}, {25, 6, 75}};
    for (const auto& [size, grid, first] : cases) {
        for (bool by_row : {true, false}) {
            Image image(first + size + 1, [&](int r, int c) { return by_row ? r : c; });
            float count;
            int mean;
            const Bins h = histogram(image, size, by_row ? grid : 0, by_row ? 0 : grid, count, mean);
            for (int v = 0; v < 256; ++v) {
                ASSERT_EQ(h[v], v >= first && v < first + size ? size : 0) << size << "/" << grid << "/" << v;
            }
        }
    }
}

TEST(SmoothHistogram, OnePassFromTheUnsmoothedCounts) {
    const std::vector<std::pair<std::vector<std::pair<int, int>>, std::vector<std::pair<int, int>>>> cases = {
        {{{100, 9}}, {{98, 1}, {99, 2}, {100, 3}, {101, 2}, {102, 1}}},
        {{{100, 1}}, {}},  // isolated small counts vanish
        {{{100, 4}}, {{100, 1}}},
        {{{1, 9}}, {{1, 9}, {2, 2}, {3, 1}}},  // edge bins stay, feed inward
        {{{254, 9}}, {{254, 9}, {253, 2}, {252, 1}}},
        {{{0, 9}, {255, 18}}, {{0, 9}, {2, 1}, {255, 18}, {253, 2}}},
        // An in-place pass would read smoothed neighbours here.
        {{{100, 9}, {101, 9}}, {{98, 1}, {99, 3}, {100, 5}, {101, 5}, {102, 3}, {103, 1}}},
    };
    for (const auto& [input, expected] : cases) {
        Bins h{}, want{};
        h[256] = want[256] = SPARE;
        for (auto [bin, count] : input) h[bin] = count;
        for (auto [bin, count] : expected) want[bin] = count;
        smooth_histogram(h.data());
        EXPECT_EQ(h, want) << input[0].first;
    }
    Bins constant;
    constant.fill(7);
    smooth_histogram(constant.data());
    for (int v = 0; v < 257; ++v) ASSERT_EQ(constant[v], 7) << v;
}

}  // namespace
}  // namespace zentrel
