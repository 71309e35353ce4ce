#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <numeric>
#include <vector>

#include "bimodal/histogram.h"

namespace zentrel {
namespace {

// A rows x cols 16-bit image with its row-pointer table.
struct Image {
    Image(int rows, int cols, const std::function<int(int, int)>& value)
        : data(static_cast<std::size_t>(rows) * cols), table(static_cast<std::size_t>(rows)) {
        for (int r = 0; r < rows; ++r) {
            table[r] = data.data() + static_cast<std::size_t>(r) * cols;
            for (int c = 0; c < cols; ++c) table[r][c] = static_cast<std::int16_t>(value(r, c));
        }
    }
    const std::int16_t* const* rows() const { return table.data(); }
    std::vector<std::int16_t> data;
    std::vector<std::int16_t*> table;
};

// 256 bins plus the spare slot, which must never be touched.
constexpr int SENTINEL = 0x5a5a5a5a;
struct Hist {
    Hist() { bins.fill(-1); bins[256] = SENTINEL; }
    std::array<int, 257> bins;
    int total() const { return std::accumulate(bins.begin(), bins.begin() + 256, 0); }
};

TEST(RegionHistogram, TwoLevelRegionTruncatesTheMean) {
    // Eight 10s and eight 21s: S / N = 15.5 -> 15.
    Image image(4, 4, [](int r, int) { return r < 2 ? 10 : 21; });
    Hist h;
    float count = -1.0f;
    int mean = -1;
    build_region_histogram(PipelineContext{}, image.rows(), 4, 0, 0, h.bins.data(), count, mean);
    EXPECT_EQ(count, 16.0f);
    EXPECT_EQ(mean, 15);
    EXPECT_EQ(h.bins[10], 8);
    EXPECT_EQ(h.bins[21], 8);
    EXPECT_EQ(h.total(), 16);
    EXPECT_EQ(h.bins[256], SENTINEL);
}

TEST(RegionHistogram, MeanIsTruncatedNotRounded) {
    struct Case {
        std::vector<int> values;
        int mean;
    };
    const std::vector<Case> cases = {
        {{0, 0, 1}, 0},           // 1/3
        {{0, 1, 1}, 0},           // 2/3
        {{254, 255}, 254},        // 254.5
        {{255, 255, 255}, 255},
        {{1, 2, 2, 2}, 1},        // 1.75
    };
    for (const Case& c : cases) {
        const int n = static_cast<int>(c.values.size());
        // An n x n region where only row 0 holds values; the rest is excluded.
        Image square(n, n, [&](int r, int col) { return r == 0 ? c.values[col] : 999; });
        PipelineContext context;
        context.excluded_value = 999;
        Hist h;
        float count = 0.0f;
        int mean = -1;
        build_region_histogram(context, square.rows(), n, 0, 0, h.bins.data(), count, mean);
        EXPECT_EQ(count, static_cast<float>(n));
        EXPECT_EQ(mean, c.mean) << "first value " << c.values[0];
    }
}

TEST(RegionHistogram, AllExcludedGivesEmptyHistogram) {
    Image image(6, 6, [](int, int) { return 37; });
    PipelineContext context;
    context.excluded_value = 37;
    Hist h;
    float count = -1.0f;
    int mean = -1;
    build_region_histogram(context, image.rows(), 6, 0, 0, h.bins.data(), count, mean);
    EXPECT_EQ(count, 0.0f);
    EXPECT_EQ(mean, 0);
    for (int v = 0; v < 256; ++v) ASSERT_EQ(h.bins[v], 0) << v;  // stale -1 cleared
    EXPECT_EQ(h.bins[256], SENTINEL);
}

TEST(RegionHistogram, RegionOriginFollowsTheHalfOverlapGrid) {
    // Pixel value = its row (or column); the region's bins show which rows
    // (columns) it covers.
    struct Case {
        int size, grid, first;
    };
    const std::vector<Case> cases = {
        {5, 1, 2}, {5, 3, 7}, {4, 2, 4}, {25, 1, 12}, {25, 3, 37}, {25, 6, 75}, {20, 0, 0},
    };
    for (const Case& c : cases) {
        const int extent = c.first + c.size + 1;
        for (bool by_row : {true, false}) {
            Image image(extent, extent, [&](int r, int col) { return by_row ? r : col; });
            Hist h;
            float count = 0.0f;
            int mean = 0;
            const int grid_row = by_row ? c.grid : 0;
            const int grid_col = by_row ? 0 : c.grid;
            build_region_histogram(PipelineContext{}, image.rows(), c.size, grid_row, grid_col,
                                   h.bins.data(), count, mean);
            for (int v = 0; v < 256; ++v) {
                const bool inside = v >= c.first && v < c.first + c.size;
                ASSERT_EQ(h.bins[v], inside ? c.size : 0)
                    << "R=" << c.size << " grid=" << c.grid << " row=" << by_row << " bin " << v;
            }
            EXPECT_EQ(count, static_cast<float>(c.size * c.size));
        }
    }
}

TEST(RegionHistogram, OutOfRangeValuesHaveNoBin) {
    const int values[] = {-1, -300, 256, 1000, 32767, -32768, 0, 255, 128};
    Image image(3, 3, [&](int r, int c) { return values[r * 3 + c]; });
    Hist h;
    float count = 0.0f;
    int mean = 0;
    build_region_histogram(PipelineContext{}, image.rows(), 3, 0, 0, h.bins.data(), count, mean);
    EXPECT_EQ(count, 3.0f);
    EXPECT_EQ(h.bins[0], 1);
    EXPECT_EQ(h.bins[128], 1);
    EXPECT_EQ(h.bins[255], 1);
    EXPECT_EQ(h.total(), 3);
    EXPECT_EQ(h.bins[256], SENTINEL);
    EXPECT_EQ(mean, 127);  // 383 / 3
}

// --- smoothing ---------------------------------------------------------------

struct SmoothCase {
    const char* name;
    std::vector<std::pair<int, int>> input;     // bin, count
    std::vector<std::pair<int, int>> expected;  // non-zero bins after one pass
};

TEST(SmoothHistogram, KernelExamples) {
    const std::vector<SmoothCase> cases = {
        {"single bin of 9", {{100, 9}}, {{98, 1}, {99, 2}, {100, 3}, {101, 2}, {102, 1}}},
        {"single bin of 1 vanishes", {{100, 1}}, {}},
        {"truncation", {{100, 4}}, {{100, 1}}},
        {"edge bin 1 feeds inward and stays", {{1, 9}}, {{1, 9}, {2, 2}, {3, 1}}},
        {"edge bin 254 feeds inward and stays", {{254, 9}}, {{254, 9}, {253, 2}, {252, 1}}},
        {"edge bins 0 and 255", {{0, 9}, {255, 18}}, {{0, 9}, {2, 1}, {255, 18}, {253, 2}}},
        // Read from the unsmoothed copy: an in-place pass would give bin 101
        // from already smoothed neighbours.
        {"neighbouring bins", {{100, 9}, {101, 9}},
         {{98, 1}, {99, 3}, {100, 5}, {101, 5}, {102, 3}, {103, 1}}},
    };
    for (const SmoothCase& c : cases) {
        Hist h;
        h.bins.fill(0);
        h.bins[256] = SENTINEL;
        for (auto [bin, count] : c.input) h.bins[bin] = count;
        smooth_histogram(h.bins.data());
        std::array<int, 257> want{};
        want[256] = SENTINEL;
        for (auto [bin, count] : c.expected) want[bin] = count;
        EXPECT_EQ(h.bins, want) << c.name;
    }
}

TEST(SmoothHistogram, ConstantAndEdgesOnBusyHistogram) {
    Hist h;
    for (int v = 0; v < 256; ++v) h.bins[v] = 7;
    smooth_histogram(h.bins.data());
    for (int v = 0; v < 256; ++v) ASSERT_EQ(h.bins[v], 7) << v;  // weights add up to 9

    // Irregular counts: the four edge bins are copied unchanged.
    for (int v = 0; v < 256; ++v) h.bins[v] = (v * 7919) % 1013;
    const std::array<int, 257> before = h.bins;
    smooth_histogram(h.bins.data());
    for (int v : {0, 1, 254, 255}) EXPECT_EQ(h.bins[v], before[v]) << v;
    EXPECT_EQ(h.bins[256], SENTINEL);
    const int v = 128;
    EXPECT_EQ(h.bins[v], (before[v - 2] + 2 * before[v - 1] + 3 * before[v] + 2 * before[v + 1] +
                          before[v + 2]) / 9);
}

}  // namespace
}  // namespace zentrel
