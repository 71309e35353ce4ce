#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "numeric/arrays.h"
#include "pipeline/context.h"
#include "bimodal/region_grid.h"
#include "pipeline/region_variance.h"

using namespace zentrel;

namespace {

struct Image {
    Image(int rows, int cols, std::int16_t fill = 0)
        : cols(cols), data(static_cast<std::size_t>(rows) * cols, fill), table(rows) {
        for (int r = 0; r < rows; ++r) table[r] = data.data() + static_cast<std::size_t>(r) * cols;
    }
    std::int16_t& at(int r, int c) { return table[r][c]; }
    int cols;
    std::vector<std::int16_t> data;
    std::vector<std::int16_t*> table;
};

// Variance of the single region covering a square image.
float single_region(const Image& image, int excluded = NO_EXCLUDED_VALUE) {
    PipelineContext context;
    context.excluded_value = excluded;
    FImage grid(1, 1);
    grid[0][0] = -1.0f;
    compute_region_variance(context, 1, 1, grid.get(), image.cols, image.table.data());
    return grid[0][0];
}

// Half the pixels (alternating) lo, the rest hi.
Image two_level(int side, std::int16_t lo, std::int16_t hi) {
    Image image(side, side, lo);
    for (std::size_t p = 1; p < image.data.size(); p += 2) image.data[p] = hi;
    return image;
}

}  // namespace

TEST(RegionVariance, PopulationVarianceOfSimpleRegions) {
    EXPECT_EQ(single_region(Image(16, 16, 200)), 0.0f);
    EXPECT_EQ(single_region(two_level(16, 0, 255)), 16256.25f);  // not the sample variance 16320
    // R = 256: S2 = 65025 * 65536 needs more than 32 bits.
    EXPECT_EQ(single_region(Image(256, 256, 255)), 0.0f);
    EXPECT_EQ(single_region(two_level(256, 0, 255)), 16256.25f);
    for (int outside : {-1, 256, NO_EXCLUDED_VALUE}) EXPECT_EQ(single_region(two_level(16, 0, 255), outside), 16256.25f);
}

TEST(RegionVariance, ExcludedPixelsChangeNothing) {
    Image image = two_level(8, 0, 100);
    ASSERT_EQ(single_region(image), 2500.0f);
    for (int p = 0; p < 32; ++p) image.data[p] = 77;  // 16 of each level replaced
    EXPECT_EQ(single_region(image, 77), 2500.0f);
    EXPECT_NE(single_region(image), 2500.0f);
    EXPECT_EQ(single_region(two_level(8, 0, 100), 0), 0.0f);  // only the 100s are left
    EXPECT_EQ(single_region(Image(8, 8, 77), 77), 0.0f);      // nothing counted
}

TEST(RegionVariance, SumsRunInSinglePrecisionLowestBinFirst) {
    // Two 1s, 583 of 254, the rest 255 in a 128 x 128 region: the float sums
    // taken from the lowest bin up give a variance that neither the reverse
    // order nor double-precision sums give.
    Image image(128, 128, 255);
    for (int p = 0; p < 585; ++p) image.data[p] = p < 2 ? 1 : 254;
    const float t1[3] = {2.0f, 254.0f * 583, 255.0f * 15799};
    const float t2[3] = {2.0f, static_cast<float>(64516 * 583), static_cast<float>(65025LL * 15799)};
    auto variance = [](auto s1, auto s2) {
        const float m = static_cast<float>(s1 / 16384), q = static_cast<float>(s2 / 16384);
        return q - m * m;
    };
    const float lowest_first = variance((t1[0] + t1[1]) + t1[2], (t2[0] + t2[1]) + t2[2]);
    ASSERT_NE(lowest_first, variance((t1[2] + t1[1]) + t1[0], (t2[2] + t2[1]) + t2[0]));
    ASSERT_NE(lowest_first, variance(0.0 + t1[0] + t1[1] + t1[2], 0.0 + t2[0] + t2[1] + t2[2]));
    EXPECT_EQ(single_region(image), lowest_first);
}

class RegionVarianceOrigins : public ::testing::TestWithParam<std::pair<int, std::vector<int>>> {};

TEST_P(RegionVarianceOrigins, RegionsCoverTheirBlocks) {
    const auto& [R, origins] = GetParam();
    const int side = origins.back() + R;
    const int n = region_count(side, R);
    ASSERT_EQ(n, static_cast<int>(origins.size()));
    PipelineContext context;
    FImage grid(n, n);
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            Image image(side, side, 0);
            image.at(y, x) = 255;  // a lone bright pixel
            compute_region_variance(context, n, n, grid.get(), R, image.table.data());
            for (int i = 0; i < n; ++i) {
                for (int j = 0; j < n; ++j) {
                    const bool inside = origins[i] <= y && y < origins[i] + R && origins[j] <= x &&
                                        x < origins[j] + R;
                    ASSERT_EQ(grid[i][j] > 0.0f, inside) << R << " " << y << "," << x << " " << i << "," << j;
                }
            }
        }
    }
}
INSTANTIATE_TEST_SUITE_P(Sizes, RegionVarianceOrigins,
                         ::testing::Values(std::pair{5, std::vector<int>{0, 2, 5, 7, 10}},
                                           std::pair{4, std::vector<int>{0, 2, 4, 6, 8}},
                                           std::pair{7, std::vector<int>{0, 3, 7, 10, 14}}));

TEST(RegionVariance, EmptyGridIsLeftUntouched) {
    Image image(16, 16, 9);
    FImage grid(2, 2);
    for (int c = 0; c < 4; ++c) grid[0][c] = -3.0f;
    for (auto [rows, cols] : {std::pair{0, 2}, {2, 0}, {-1, 2}}) {
        compute_region_variance(PipelineContext{}, rows, cols, grid.get(), 8, image.table.data());
    }
    for (int c = 0; c < 4; ++c) EXPECT_EQ(grid[0][c], -3.0f);
}

TEST(RegionVariance, ThreadCountDoesNotChangeTheGrid) {
    const int rows = 203, cols = 163, R = 10;
    Image image(rows, cols);
    std::mt19937 rng(3);
    for (auto& v : image.data) v = static_cast<std::int16_t>(rng() % 256);
    const int rr = region_count(rows, R), rc = region_count(cols, R);
    PipelineContext context;
    context.excluded_value = 13;
    FImage reference(rr, rc);
    compute_region_variance(context, rr, rc, reference.get(), R, image.table.data());

    // Against a two-pass double computation straight from the pixels.
    for (int i = 0; i < rr; ++i) {
        for (int j = 0; j < rc; ++j) {
            double sum = 0, sq = 0;
            int k = 0;
            for (int y = i * R / 2; y < i * R / 2 + R; ++y) {
                for (int x = j * R / 2; x < j * R / 2 + R; ++x) {
                    if (image.at(y, x) != 13) { sum += image.at(y, x); ++k; }
                }
            }
            for (int y = i * R / 2; y < i * R / 2 + R; ++y) {
                for (int x = j * R / 2; x < j * R / 2 + R; ++x) {
                    if (image.at(y, x) != 13) sq += std::pow(image.at(y, x) - sum / k, 2);
                }
            }
            ASSERT_NEAR(reference[i][j], sq / k, 1e-3 * sq / k) << i << "," << j;
        }
    }
    for (int threads : {3, 2, 64}) {
        context.threads = threads;
        FImage grid(rr, rc);
        compute_region_variance(context, rr, rc, grid.get(), R, image.table.data());
        EXPECT_EQ(0, std::memcmp(grid[0], reference[0], sizeof(float) * rr * rc)) << threads;
    }
}

namespace zentrel {
namespace {

// A block that holds some regions (odd R: uneven origins) gives their
// variances bit for bit as the whole image does.
TEST(RegionVariance, BlockWithOffsetMatchesTheWholeImage) {
    const int rows = 97, cols = 121, R = 11;
    Image image(rows, cols);
    std::mt19937 rng(5);
    for (auto& v : image.data) v = static_cast<std::int16_t>(rng() % 256);
    const int rr = region_count(rows, R), rc = region_count(cols, R);
    PipelineContext context;
    FImage whole(rr, rc);
    compute_region_variance(context, rr, rc, whole.get(), R, image.table.data());

    const int r0 = 3, c0 = 5, n_rows = 6, n_cols = 7;
    const int top = region_origin(r0, R) - 2, left = region_origin(c0, R) - 1;
    std::vector<const std::int16_t*> block_rows;
    for (int y = top; y < rows; ++y) block_rows.push_back(image.table[static_cast<std::size_t>(y)] + left);
    FImage part(n_rows, n_cols);
    compute_region_variance(context, n_rows, n_cols, part.get(), R, ImageBlock(block_rows.data(), top, left), r0, c0);
    for (int i = 0; i < n_rows; ++i) {
        for (int j = 0; j < n_cols; ++j) EXPECT_EQ(part[i][j], whole[r0 + i][c0 + j]) << i << "," << j;
    }
}

}  // namespace
}  // namespace zentrel
