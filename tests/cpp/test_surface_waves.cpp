// The default's threshold surface settled in waves, on grids worked by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "pipeline/surface_waves.h"

namespace zentrel {
namespace {

struct Settled {
    std::vector<double> grid;
    std::vector<int> kind;
};

// One row of regions; region 0 passed with threshold 100 and background 140
// (contrast 40). medians double as grounds.
Settled settle_row(const std::vector<float>& medians, SurfaceRule rule) {
    const int cols = static_cast<int>(medians.size());
    SurfaceGrids grids;
    grids.rows = 1;
    grids.cols = cols;
    grids.medians = grids.grounds = medians.data();
    const std::int32_t row = 0, col = 0;
    const double threshold = 100.0, background = 140.0;
    Settled out{std::vector<double>(cols, -1.0), {}};
    std::vector<std::int8_t> kind(cols, -1);
    settle_surface(grids, rule, &row, &col, &threshold, &background, 1, out.grid.data(), kind.data());
    out.kind.assign(kind.begin(), kind.end());
    return out;
}

TEST(SurfaceWaves, BackgroundFollowsTheLightAndAnObjectTakesTheThreshold) {
    // Region 1 (median 150) reaches the threshold: background at 150 - 40.
    // Region 2 (median 50) lies below 110 - 40 from region 1: inside, 110.
    const Settled s = settle_row({0.0, 150.0, 50.0}, SurfaceRule{});
    EXPECT_EQ(s.grid, (std::vector<double>{100.0, 110.0, 110.0}));
    EXPECT_EQ(s.kind, (std::vector<int>{1, 2, 3}));
}

TEST(SurfaceWaves, ThinStrokesSettleEveryRegionAsBackground) {
    SurfaceRule thin;
    thin.thin = true;
    const Settled s = settle_row({0.0, 150.0, 50.0}, thin);
    EXPECT_EQ(s.grid, (std::vector<double>{100.0, 110.0, 10.0}));
    EXPECT_EQ(s.kind, (std::vector<int>{1, 2, 2}));
}

TEST(SurfaceWaves, AStepBelowTheGroundSplitsHalfway) {
    // Bright objects: region 1's median 120 lies 20 below the passed
    // region's ground 140, past the step threshold 10: halfway, 130.
    SurfaceRule steps;
    steps.steps = true;
    steps.step_threshold = 10.0;
    const Settled s = settle_row({0.0, 120.0}, steps);
    EXPECT_EQ(s.grid, (std::vector<double>{100.0, 130.0}));
    EXPECT_EQ(s.kind, (std::vector<int>{1, 3}));
    steps.step_threshold = 25.0;  // not far enough: background at 120 - 40
    EXPECT_EQ(settle_row({0.0, 120.0}, steps).grid, (std::vector<double>{100.0, 80.0}));
}

TEST(SurfaceWaves, ShadeWaitsUntilNoBackgroundCanReachIt) {
    // Region 2 (median 90) lies just below region 1's threshold 100, within
    // the contrast: it waits while region 3 is settled as background from
    // region 4 (passed, also 100 / 140); settled in the first wave it would
    // have taken 100.
    const std::vector<float> medians{0.0f, 0.0f, 90.0f, 150.0f, 0.0f};
    SurfaceGrids grids;
    grids.rows = 1;
    grids.cols = 5;
    grids.medians = grids.grounds = medians.data();
    const std::int32_t rows[] = {0, 0}, cols[] = {1, 4};
    const double thresholds[] = {100.0, 100.0}, backgrounds[] = {140.0, 140.0};
    std::vector<double> grid(5);
    std::vector<std::int8_t> kind(5);
    settle_surface(grids, SurfaceRule{}, rows, cols, thresholds, backgrounds, 2, grid.data(), kind.data());
    // Region 0 (median 0) is inside at once; region 3 background at 110;
    // region 2 then sees 100 and 110: mean 105 > 90, deep only below 65:
    // nothing else moves, so it falls inside at the mean threshold.
    EXPECT_EQ(grid, (std::vector<double>{100.0, 100.0, 105.0, 110.0, 100.0}));
    EXPECT_EQ(std::vector<int>(kind.begin(), kind.end()), (std::vector<int>{3, 1, 3, 2, 1}));
}

TEST(SurfaceWaves, ABandWaitsForItsSidesAndLevelsReadThroughAStep) {
    // 2 x 3 regions, (0, 0) passed at 100 / 140. (0, 1), median 20, lies
    // 130 below its sides one region across (150 and 150): a band, so it
    // waits while the others settle as background at 150 - 40 = 110, then
    // falls inside at its five neighbours' mean (100 + 4 * 110) / 5 = 108.
    // Read as the inside of an object it would have taken 100 at once.
    // The levels sit every third float, as one quantile of a grid of three.
    const std::vector<float> medians{150, 0, 0, 20, 0, 0, 150, 0, 0, 150, 0, 0, 150, 0, 0, 150, 0, 0};
    SurfaceGrids grids;
    grids.rows = 2;
    grids.cols = 3;
    grids.medians = grids.grounds = medians.data();
    grids.median_step = grids.ground_step = 3;
    grids.band_reach = 1;
    const std::int32_t row = 0, col = 0;
    const double threshold = 100.0, background = 140.0;
    std::vector<double> grid(6);
    std::vector<std::int8_t> kind(6);
    settle_surface(grids, SurfaceRule{}, &row, &col, &threshold, &background, 1, grid.data(), kind.data());
    EXPECT_EQ(grid, (std::vector<double>{100.0, 108.0, 110.0, 110.0, 110.0, 110.0}));
    EXPECT_EQ(std::vector<int>(kind.begin(), kind.end()), (std::vector<int>{1, 3, 2, 2, 2, 2}));
}

TEST(SurfaceWaves, WithoutKnownRegionsNothingIsReached) {
    const std::vector<double> zeros(6, 0.0);
    const std::vector<float> levels(6, 0.0f);
    SurfaceGrids grids;
    grids.rows = 2;
    grids.cols = 3;
    grids.medians = grids.grounds = levels.data();
    std::vector<double> grid(6, -1.0);
    std::vector<std::int8_t> kind(6, -1);
    settle_surface(grids, SurfaceRule{}, nullptr, nullptr, nullptr, nullptr, 0, grid.data(), kind.data());
    EXPECT_EQ(grid, zeros);
    EXPECT_EQ(std::vector<int>(kind.begin(), kind.end()), std::vector<int>(6, 0));
}

TEST(SurfaceWaves, AnyNumberOfThreadsSettlesAlike) {
    // 200 x 170 regions (enough to be cut into shares): light falling off
    // to the right, a dark disc, a dark band across the middle rows and
    // noise; known regions in the top row and a sparse lattice, so that the
    // waves cross every border between shares, waiting regions included.
    const int rows = 200, cols = 170;
    std::mt19937 random(7);
    std::uniform_real_distribution<float> noise(-3.0f, 3.0f);
    std::vector<float> medians(static_cast<std::size_t>(rows) * cols);
    std::vector<std::int32_t> known_rows, known_cols;
    std::vector<double> thresholds, backgrounds;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            float level = 200.0f - 0.4f * static_cast<float>(c) + noise(random);
            if (std::hypot(r - 100.0, c - 60.0) < 25.0) level = 40.0f + noise(random);
            if (r >= 70 && r < 73) level -= 60.0f;
            medians[static_cast<std::size_t>(r) * cols + c] = std::round(level);
            if (r == 0 || (r % 37 == 5 && c % 23 == 3)) {
                known_rows.push_back(r);
                known_cols.push_back(c);
                thresholds.push_back(level - 40.0);
                backgrounds.push_back(level);
            }
        }
    }
    SurfaceGrids grids;
    grids.rows = rows;
    grids.cols = cols;
    grids.medians = grids.grounds = medians.data();
    SurfaceRule plain, steps, thin;
    steps.steps = true;
    steps.step_threshold = 30.0;
    thin.thin = true;
    for (const SurfaceRule& rule : {plain, steps, thin}) {
        std::vector<double> one(medians.size());
        std::vector<std::int8_t> one_kind(medians.size());
        settle_surface(grids, rule, known_rows.data(), known_cols.data(), thresholds.data(), backgrounds.data(),
                       static_cast<std::int64_t>(known_rows.size()), one.data(), one_kind.data(), 1);
        if (!rule.thin) {  // the picture has all three kinds
            for (int k : {1, 2, 3}) EXPECT_NE(std::count(one_kind.begin(), one_kind.end(), k), 0) << k;
        }
        for (int threads : {2, 3, 7}) {
            std::vector<double> many(medians.size());
            std::vector<std::int8_t> many_kind(medians.size());
            settle_surface(grids, rule, known_rows.data(), known_cols.data(), thresholds.data(), backgrounds.data(),
                           static_cast<std::int64_t>(known_rows.size()), many.data(), many_kind.data(), threads);
            EXPECT_EQ(many, one) << threads;
            EXPECT_EQ(many_kind, one_kind) << threads;
        }
    }
}

}  // namespace
}  // namespace zentrel
