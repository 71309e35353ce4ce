#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "bimodal/region_grid.h"
#include "numeric/arrays.h"
#include "pipeline/context.h"
#include "pipeline/region_median.h"

using namespace zentrel;

namespace {

struct Image {
    Image(int rows, int cols) : data(static_cast<std::size_t>(rows) * cols), table(rows) {
        for (int r = 0; r < rows; ++r) table[r] = data.data() + static_cast<std::size_t>(r) * cols;
    }
    std::vector<std::int16_t> data;
    std::vector<const std::int16_t*> table;
};

// The lower median of a region by sorting its pixels.
float sorted_median(const Image& image, int top, int left, int size) {
    std::vector<int> values;
    for (int r = top; r < top + size; ++r)
        for (int c = left; c < left + size; ++c) values.push_back(image.table[r][c]);
    std::sort(values.begin(), values.end());
    return static_cast<float>(values[(values.size() - 1) / 2]);
}

}  // namespace

TEST(RegionMedian, MatchesSortingForEvenAndOddSizesAndAnyThreadCount) {
    std::mt19937 random(7);
    for (int size : {8, 9}) {
        Image image(45, 53);
        for (auto& v : image.data) v = static_cast<std::int16_t>(random() % 256);
        const int rows = region_count(45, size), cols = region_count(53, size);
        for (int threads : {1, 3}) {
            PipelineContext context;
            context.threads = threads;
            FImage grid(rows, cols);
            compute_region_median(context, rows, cols, grid.get(), size, image.table.data());
            for (int i = 0; i < rows; ++i)
                for (int j = 0; j < cols; ++j)
                    ASSERT_EQ(grid[i][j], sorted_median(image, region_origin(i, size),
                                                        region_origin(j, size), size))
                        << size << " " << i << " " << j;
        }
    }
}

TEST(RegionMedian, BlockWithOffsetGivesTheSameCellsAndEmptyRegionsGiveMinusOne) {
    Image image(32, 32);
    for (std::size_t p = 0; p < image.data.size(); ++p) image.data[p] = static_cast<std::int16_t>(p % 200);
    PipelineContext context;
    FImage whole(3, 3);
    compute_region_median(context, 3, 3, whole.get(), 16, image.table.data());
    // Regions (1..2, 1..2) need rows and columns 8..31 only.
    FImage part(2, 2);
    compute_region_median(context, 2, 2, part.get(), 16, ImageBlock(image.table.data() + 8, 8, 0), 1, 1);
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) EXPECT_EQ(part[i][j], whole[i + 1][j + 1]);

    std::fill(image.data.begin(), image.data.end(), 5);
    context.excluded_value = 5;
    compute_region_median(context, 3, 3, whole.get(), 16, image.table.data());
    EXPECT_EQ(whole[1][1], -1.0f);
}

TEST(RegionQuantiles, MatchSortingInAnyOrderAndTheMedianAgrees) {
    std::mt19937 random(11);
    Image image(40, 48);
    for (auto& v : image.data) v = static_cast<std::int16_t>(random() % 256);
    const int size = 10, rows = region_count(40, size), cols = region_count(48, size);
    const double shares[] = {0.98, 0.0, 0.5, 0.16, 1.0};
    PipelineContext context;
    context.threads = 2;
    FImage grid(rows, cols * 5), median(rows, cols);
    compute_region_quantiles(context, rows, cols, grid.get(), size, image.table.data(), shares, 5);
    compute_region_median(context, rows, cols, median.get(), size, image.table.data());
    for (int i = 0; i < rows; ++i) {
        for (int j = 0; j < cols; ++j) {
            std::vector<int> values;
            for (int r = region_origin(i, size); r < region_origin(i, size) + size; ++r)
                for (int c = region_origin(j, size); c < region_origin(j, size) + size; ++c)
                    values.push_back(image.table[r][c]);
            std::sort(values.begin(), values.end());
            for (int n = 0; n < 5; ++n) {
                // The lowest level with at least share * count pixels at or below it.
                const auto need = static_cast<std::size_t>(std::ceil(shares[n] * values.size()));
                const int expected = values[need == 0 ? 0 : need - 1];
                ASSERT_EQ(grid[i][j * 5 + n], need == 0 ? 0.0f : static_cast<float>(expected)) << i << " " << j << " " << n;
            }
            ASSERT_EQ(median[i][j], grid[i][j * 5 + 2]);
        }
    }
}
