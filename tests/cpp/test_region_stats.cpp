// The one-pass region statistics against the stages that count each region's
// own pixels: tile histograms summed four at a time must give the same
// variance and quantiles bit for bit, for any block, region size and thread
// count.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "bimodal/region_grid.h"
#include "numeric/arrays.h"
#include "pipeline/context.h"
#include "pipeline/region_median.h"
#include "pipeline/region_stats.h"
#include "pipeline/region_variance.h"

using namespace zentrel;

namespace {

// Grey levels with 8- and 16-bit row tables over the same pixels.
struct Levels {
    Levels(int rows, int cols) : rows(rows), cols(cols), bytes(static_cast<std::size_t>(rows) * cols), wide(bytes.size()) {}
    void tables() {
        for (std::size_t p = 0; p < bytes.size(); ++p) wide[p] = bytes[p];
        t8.clear();
        t16.clear();
        for (int r = 0; r < rows; ++r) {
            t8.push_back(bytes.data() + static_cast<std::size_t>(r) * cols);
            t16.push_back(wide.data() + static_cast<std::size_t>(r) * cols);
        }
    }
    int rows, cols;
    std::vector<std::uint8_t> bytes;
    std::vector<std::int16_t> wide;
    std::vector<const std::uint8_t*> t8;
    std::vector<const std::int16_t*> t16;
};

// Blobs of levels on a ramp, so that regions hold few and many levels alike.
Levels scene(int rows, int cols, unsigned seed) {
    Levels l(rows, cols);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> noise(-6, 6);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            const int ink = ((r / 5 + c / 7) % 4 == 0) ? 90 : 0;
            l.bytes[static_cast<std::size_t>(r) * cols + c] =
                static_cast<std::uint8_t>(std::clamp(60 + (r + 2 * c) % 150 - ink + noise(rng), 0, 255));
        }
    }
    l.tables();
    return l;
}

// In ascending order (found in one walk) and not (each searched alone).
constexpr int SHARE_COUNT = 7;
constexpr double SHARE_ORDERS[2][SHARE_COUNT] = {{0.0, 0.05, 0.25, 0.5, 0.75, 0.95, 1.0},
                                                {0.5, 0.05, 1.0, 0.95, 0.0, 0.25, 0.75}};

// The output of the variance and the quantiles at shares into the grids given.
RegionStatsOutput stats_into(FImage& variance, FImage& quantiles, const double* shares, int share_count) {
    RegionStatsOutput out;
    out.variance = variance.get();
    out.quantiles = quantiles.get();
    out.shares = shares;
    out.share_count = share_count;
    return out;
}

}  // namespace

TEST(RegionStats, HandWorkedRegion) {
    // One region of 4 x 4: eight pixels at 0 and eight at 2, so mean 1 and
    // variance 1; the lower median is 0 (8 of 16 pixels are <= 0).
    Levels l(4, 4);
    for (std::size_t p = 0; p < 16; ++p) l.bytes[p] = p % 2 ? 2 : 0;
    l.tables();
    FImage variance(1, 1), quantiles(1, 2);
    const double shares[] = {0.5, 0.51};
    RegionStatsOutput out = stats_into(variance, quantiles, shares, 2);
    std::int64_t histogram[256];
    out.level_histogram = histogram;
    out.image_rows = out.image_cols = 4;
    compute_region_stats(PipelineContext(), 1, 1, 4, ImageBlock8(l.t8.data()), out);
    EXPECT_EQ(variance[0][0], 1.0f);
    EXPECT_EQ(quantiles[0][0], 0.0f);
    EXPECT_EQ(quantiles[0][1], 2.0f);
    EXPECT_EQ(histogram[0], 8);
    EXPECT_EQ(histogram[2], 8);
}

TEST(RegionStats, TileColumnsFullToTheirCountersLimit) {
    // One region of R x R: its left half level 10, its right half 100 above
    // and 200 below. The left column of two tiles puts all its
    // R * ceil(R / 2) pixels in one bin: 65522 at R 362 (16-bit counters, 13
    // short of their limit) and 65884 at R 363 (32-bit), where 16 bits would
    // wrap to 348 and leave level 10 under 2 % of the region.
    for (const int r : {362, 363}) {
        const int half = region_origin(1, r);
        Levels l(r, r);
        for (int y = 0; y < r; ++y) {
            for (int x = 0; x < r; ++x) {
                l.bytes[static_cast<std::size_t>(y) * r + x] = x < half ? 10 : (y < half ? 100 : 200);
            }
        }
        l.tables();
        FImage variance(1, 1), quantiles(1, 3);
        const double shares[] = {0.02, 0.4, 0.98};
        RegionStatsOutput out = stats_into(variance, quantiles, shares, 3);
        compute_region_stats(PipelineContext(), 1, 1, r, ImageBlock8(l.t8.data()), out);
        const double n10 = static_cast<double>(r) * half, n100 = static_cast<double>(half) * (r - half),
                     n200 = static_cast<double>(r - half) * (r - half), n = n10 + n100 + n200;
        const double mean = (10 * n10 + 100 * n100 + 200 * n200) / n;
        const double want = (n10 * (10 - mean) * (10 - mean) + n100 * (100 - mean) * (100 - mean) +
                             n200 * (200 - mean) * (200 - mean)) / n;
        EXPECT_NEAR(variance[0][0], want, want * 1e-5) << "R " << r;
        EXPECT_EQ(quantiles[0][0], 10.0f) << "R " << r;
        EXPECT_EQ(quantiles[0][1], 10.0f) << "R " << r;
        EXPECT_EQ(quantiles[0][2], 200.0f) << "R " << r;
    }
}

struct Case {
    int rows, cols, region_size, threads;
};

class RegionStatsEqual : public ::testing::TestWithParam<Case> {};

TEST_P(RegionStatsEqual, SameAsEachRegionCountedAlone) {
    const Case k = GetParam();
    const Levels l = scene(k.rows, k.cols, static_cast<unsigned>(k.rows * 31 + k.region_size));
    const int rr = region_count(k.rows, k.region_size), rc = region_count(k.cols, k.region_size);
    PipelineContext context;
    context.threads = k.threads;
    for (const double* shares : SHARE_ORDERS) {
        FImage v_direct(rr, rc), v_tiles(rr, rc), q_direct(rr, rc * SHARE_COUNT), q_tiles(rr, rc * SHARE_COUNT);
        compute_region_variance(context, rr, rc, v_direct.get(), k.region_size, ImageBlock(l.t16.data()));
        compute_region_quantiles(context, rr, rc, q_direct.get(), k.region_size, ImageBlock(l.t16.data()), shares,
                                 SHARE_COUNT);
        RegionStatsOutput out = stats_into(v_tiles, q_tiles, shares, SHARE_COUNT);
        std::int64_t histogram[256];
        out.level_histogram = histogram;
        out.image_rows = k.rows;
        out.image_cols = k.cols;
        compute_region_stats(context, rr, rc, k.region_size, ImageBlock8(l.t8.data()), out);
        for (int i = 0; i < rr; ++i) {
            ASSERT_EQ(0, std::memcmp(v_direct[i], v_tiles[i], sizeof(float) * rc)) << "variance row " << i;
            ASSERT_EQ(0, std::memcmp(q_direct[i], q_tiles[i], sizeof(float) * rc * SHARE_COUNT)) << "quantile row " << i;
        }
        std::int64_t direct[256] = {};
        for (std::uint8_t p : l.bytes) ++direct[p];
        for (int v = 0; v < 256; ++v) ASSERT_EQ(direct[v], histogram[v]) << "level " << v;
        // The same quantiles written as uint8 levels.
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(rr) * rc * SHARE_COUNT);
        std::vector<std::uint8_t*> byte_rows(static_cast<std::size_t>(rr));
        for (int i = 0; i < rr; ++i) {
            byte_rows[static_cast<std::size_t>(i)] = bytes.data() + static_cast<std::size_t>(i) * rc * SHARE_COUNT;
        }
        out.quantiles = nullptr;
        out.quantile_levels = byte_rows.data();
        compute_region_stats(context, rr, rc, k.region_size, ImageBlock8(l.t8.data()), out);
        for (int i = 0; i < rr; ++i) {
            for (int j = 0; j < rc * SHARE_COUNT; ++j) {
                ASSERT_EQ(static_cast<float>(byte_rows[static_cast<std::size_t>(i)][j]), q_direct[i][j])
                    << i << ", " << j;
            }
        }
    }
}

// Even and odd region sizes, images whose side leaves pixels outside every
// region, one to more threads than region rows.
INSTANTIATE_TEST_SUITE_P(Shapes, RegionStatsEqual,
                         ::testing::Values(Case{64, 64, 16, 1}, Case{70, 45, 16, 2}, Case{61, 83, 9, 3},
                                           Case{50, 50, 7, 64}, Case{33, 100, 32, 2}, Case{128, 96, 33, 2}));

TEST(RegionStats, BlockWithOffsetGivesTheWholeImagesRegions) {
    // A block of the image at an offset, asked for the regions it holds whole,
    // gives their values from the whole image (R 16: the small regions' way).
    const Levels l = scene(90, 110, 5);
    for (const int R : {20, 16}) {
        const int rr = region_count(90, R), rc = region_count(110, R);
        PipelineContext context;
        FImage whole(rr, rc), whole_q(rr, rc * SHARE_COUNT);
        RegionStatsOutput out = stats_into(whole, whole_q, SHARE_ORDERS[0], SHARE_COUNT);
        compute_region_stats(context, rr, rc, R, ImageBlock8(l.t8.data()), out);
        const int top = region_origin(3, R), left = region_origin(2, R);  // regions from (3, 2)
        std::vector<const std::uint8_t*> rows;
        std::vector<std::vector<std::uint8_t>> copies;
        for (int r = top; r < 90; ++r) copies.emplace_back(l.t8[r] + left, l.t8[r] + 110);
        for (auto& c : copies) rows.push_back(c.data());
        FImage part(rr - 3, rc - 2), part_q(rr - 3, (rc - 2) * SHARE_COUNT);
        out.variance = part.get();
        out.quantiles = part_q.get();
        compute_region_stats(context, rr - 3, rc - 2, R, ImageBlock8(rows.data(), top, left), out, 3, 2);
        for (int i = 0; i < rr - 3; ++i) {
            for (int j = 0; j < rc - 2; ++j) ASSERT_EQ(part[i][j], whole[i + 3][j + 2]) << R << ": " << i << ", " << j;
            for (int j = 0; j < (rc - 2) * SHARE_COUNT; ++j) {
                ASSERT_EQ(part_q[i][j], whole_q[i + 3][j + 2 * SHARE_COUNT]) << R << ": " << i << ", " << j;
            }
        }
    }
}

TEST(RegionStats, SmallRegionsOverEveryLevel) {
    // Up to R 16 the variance comes from integer sums and the quantiles from
    // coarse bins: levels 0..255 at random, and a corner of 255 alone (the
    // largest sums, and the top coarse bin), against each region counted alone.
    for (int R : {16, 15, 12}) {
        Levels l(80, 72);
        std::mt19937 rng(static_cast<unsigned>(R));
        std::uniform_int_distribution<int> level(0, 255);
        for (int r = 0; r < 80; ++r) {
            for (int c = 0; c < 72; ++c) {
                l.bytes[static_cast<std::size_t>(r) * 72 + c] = static_cast<std::uint8_t>(r < 32 && c < 32 ? 255 : level(rng));
            }
        }
        l.tables();
        const int rr = region_count(80, R), rc = region_count(72, R);
        PipelineContext context;
        FImage v_direct(rr, rc), v_tiles(rr, rc), q_direct(rr, rc * SHARE_COUNT), q_tiles(rr, rc * SHARE_COUNT);
        compute_region_variance(context, rr, rc, v_direct.get(), R, ImageBlock(l.t16.data()));
        compute_region_quantiles(context, rr, rc, q_direct.get(), R, ImageBlock(l.t16.data()), SHARE_ORDERS[0],
                                 SHARE_COUNT);
        RegionStatsOutput out = stats_into(v_tiles, q_tiles, SHARE_ORDERS[0], SHARE_COUNT);
        compute_region_stats(context, rr, rc, R, ImageBlock8(l.t8.data()), out);
        EXPECT_EQ(v_tiles[0][0], 0.0f) << "R " << R;
        EXPECT_EQ(q_tiles[0][0], 0.0f) << "R " << R;  // share 0: level 0 by definition
        EXPECT_EQ(q_tiles[0][1], 255.0f) << "R " << R;
        for (int i = 0; i < rr; ++i) {
            ASSERT_EQ(0, std::memcmp(v_direct[i], v_tiles[i], sizeof(float) * rc)) << "R " << R << " row " << i;
            ASSERT_EQ(0, std::memcmp(q_direct[i], q_tiles[i], sizeof(float) * rc * SHARE_COUNT)) << "R " << R << " row " << i;
        }
    }
}
