// Completion of the region threshold grid by inverse-distance weighting.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "numeric/arrays.h"
#include "pipeline/threshold_grid.h"

namespace zentrel {
namespace {

struct Known {
    int row;
    int col;
    float thresh;
};

// Runs the fill on a fresh grid preset to a value no cell should keep.
FImage fill(int rows, int cols, const std::vector<Known>& known, int threads = 1) {
    std::vector<int> r, c;
    std::vector<float> t;
    for (const Known& k : known) {
        r.push_back(k.row);
        c.push_back(k.col);
        t.push_back(k.thresh);
    }
    FImage grid(rows, cols);
    for (int i = 0; i < rows; ++i) {
        for (int j = 0; j < cols; ++j) grid[i][j] = -12345.0f;
    }
    fill_threshold_grid(static_cast<int>(known.size()), rows, cols, r.data(), c.data(), t.data(),
                        grid.get(), threads);
    return grid;
}

// Inverse-distance mean over the given cells, in double.
double idw(int row, int col, const std::vector<Known>& cells) {
    double v = 0.0, w = 0.0;
    for (const Known& k : cells) {
        const double d = std::hypot(k.row - row, k.col - col);
        v += k.thresh / d;
        w += 1.0 / d;
    }
    return v / w;
}

TEST(ThresholdGrid, CornersOf3x3) {
    const FImage g = fill(3, 3, {{0, 0, 100.0f}, {0, 2, 120.0f}, {2, 0, 140.0f}, {2, 2, 160.0f}});
    EXPECT_EQ(g[1][1], 130.0f);
    EXPECT_EQ(g[0][1], 122.36067f);
    EXPECT_EQ(g[1][0], 126.18033f);
    EXPECT_EQ(g[1][2], 133.81966f);
    EXPECT_EQ(g[2][1], 137.63931f);
    // The placed corners are kept.
    EXPECT_EQ(g[0][0], 100.0f);
    EXPECT_EQ(g[0][2], 120.0f);
    EXPECT_EQ(g[2][0], 140.0f);
    EXPECT_EQ(g[2][2], 160.0f);
}

TEST(ThresholdGrid, FullGridCopiedExactly) {
    const int rows = 4, cols = 5;
    std::vector<Known> known;
    for (int i = 0; i < rows; ++i) {
        for (int j = 0; j < cols; ++j) known.push_back({i, j, 17.3f * i - 3.1f * j + 0.001f});
    }
    const FImage g = fill(rows, cols, known);
    for (const Known& k : known) EXPECT_EQ(g[k.row][k.col], k.thresh) << k.row << "," << k.col;
}

TEST(ThresholdGrid, AllEightNeighboursOfTheFirstRingCount) {
    std::vector<Known> ring;
    float t = 10.0f;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            if (i == 1 && j == 1) continue;
            ring.push_back({i, j, t});
            t += 10.0f;
        }
    }
    const FImage g = fill(3, 3, ring);
    EXPECT_NEAR(g[1][1], idw(1, 1, ring), 1e-4);
}

// The sums run in single precision in the ring's visiting order; these
// values round differently under any other order of the eight cells.
TEST(ThresholdGrid, SumsFollowTheRingOrder) {
    const std::vector<Known> ring = {{0, 0, 178.0f}, {2, 0, 3.6f},   {0, 1, 48.9f},
                                     {2, 1, 136.8f}, {0, 2, 247.3f}, {2, 2, 55.3f},
                                     {1, 0, 149.6f}, {1, 2, 32.7f}};
    // Listed in visiting order around (1, 1): for dx = -1..1 top then bottom,
    // then left then right.
    auto accumulate = [](const std::vector<Known>& cells) {
        float v = 0.0f, w = 0.0f;
        for (const Known& k : cells) {
            const int d2 = (k.row - 1) * (k.row - 1) + (k.col - 1) * (k.col - 1);
            const float wk = static_cast<float>(1.0 / std::sqrt(static_cast<double>(d2)));
            v += k.thresh * wk;
            w += wk;
        }
        return v / w;
    };
    std::vector<Known> row_major = ring;
    std::sort(row_major.begin(), row_major.end(),
              [](const Known& a, const Known& b) { return a.row * 3 + a.col < b.row * 3 + b.col; });
    ASSERT_NE(accumulate(ring), accumulate(row_major));

    const FImage g = fill(3, 3, ring);
    EXPECT_EQ(g[1][1], accumulate(ring));
}

// Three known cells in ring 1 and three in ring 2: the search goes on to
// ring 2 and keeps all of it, not just the fourth cell found.
TEST(ThresholdGrid, LastRingIsTakenWhole) {
    const std::vector<Known> known = {{1, 1, 50.0f},  {1, 3, 60.0f}, {3, 2, 70.0f},
                                      {0, 0, 200.0f}, {4, 4, 10.0f}, {2, 0, 120.0f}};
    const FImage g = fill(5, 5, known);
    EXPECT_NEAR(g[2][2], idw(2, 2, known), 1e-4);
    // Cell (4, 0): ring 1 has none, ring 2 has (2, 0) and (3, 2), ring 3
    // has (1, 1) and (1, 3) and ends the search before (0, 0) and (4, 4).
    const std::vector<Known> first_three_rings = {known[0], known[1], known[2], known[5]};
    EXPECT_NEAR(g[4][0], idw(4, 0, first_three_rings), 1e-4);
    EXPECT_GT(std::fabs(idw(4, 0, known) - idw(4, 0, first_three_rings)), 1.0);
}

TEST(ThresholdGrid, PlacedMinusOneIsInterpolated) {
    std::vector<Known> known;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) known.push_back({i, j, 20.0f * i + 5.0f * j});
    }
    known[4].thresh = -1.0f;  // the centre
    const FImage g = fill(3, 3, known);
    std::vector<Known> others(known);
    others.erase(others.begin() + 4);
    EXPECT_NEAR(g[1][1], idw(1, 1, others), 1e-4);
    for (const Known& k : others) EXPECT_EQ(g[k.row][k.col], k.thresh);
}

TEST(ThresholdGrid, EveryPlacedThresholdMinusOne) {
    const FImage g = fill(2, 3, {{0, 1, -1.0f}, {1, 2, -1.0f}});
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 3; ++j) EXPECT_EQ(g[i][j], -1.0f);
    }
}

// Interpolated cells never feed later cells: with two known cells at the ends
// of a row, each gap weights exactly those two.
TEST(ThresholdGrid, OnlyPlacedThresholdsFeedTheWeights) {
    const std::vector<Known> known = {{0, 0, 10.0f}, {0, 6, 70.0f}};
    const FImage g = fill(1, 7, known);
    for (int j = 1; j < 6; ++j) EXPECT_NEAR(g[0][j], idw(0, j, known), 1e-4) << j;
    EXPECT_NEAR(g[0][1], 20.0, 1e-4);  // (10 + 70/5) / (1 + 1/5)
}

struct SparseCase {
    const char* name;
    int rows;
    int cols;
    std::vector<Known> known;
};

// Fewer than four known cells in all: the search still ends, and every gap
// gets the weighted mean of all of them.
TEST(ThresholdGrid, FewerThanFourKnownCells) {
    const std::vector<SparseCase> cases = {
        {"1x1 one", 1, 1, {{0, 0, 42.5f}}},
        {"1x5 one", 1, 5, {{0, 3, 123.4f}}},
        {"1x5 two", 1, 5, {{0, 0, 90.0f}, {0, 4, 150.0f}}},
        {"4x4 one", 4, 4, {{3, 0, 77.7f}}},
        {"4x4 two", 4, 4, {{0, 0, 100.0f}, {3, 3, 200.0f}}},
        {"4x4 three", 4, 4, {{0, 3, 80.0f}, {2, 1, 140.0f}, {3, 3, 111.0f}}},
        {"7x3 one", 7, 3, {{6, 2, 99.0f}}},
        {"7x3 three", 7, 3, {{0, 0, 60.0f}, {6, 0, 180.0f}, {3, 2, 130.0f}}},
        {"5x1 two", 5, 1, {{0, 0, 1.0f}, {1, 0, 255.0f}}},
    };
    for (const SparseCase& sc : cases) {
        SCOPED_TRACE(sc.name);
        const FImage g = fill(sc.rows, sc.cols, sc.known);
        for (int i = 0; i < sc.rows; ++i) {
            for (int j = 0; j < sc.cols; ++j) {
                bool placed = false;
                for (const Known& k : sc.known) {
                    if (k.row == i && k.col == j) {
                        EXPECT_EQ(g[i][j], k.thresh);
                        placed = true;
                    }
                }
                if (!placed) {
                    const double want = idw(i, j, sc.known);
                    EXPECT_NEAR(g[i][j], want, 1e-5 * std::fabs(want)) << i << "," << j;
                }
            }
        }
    }
}

TEST(ThresholdGrid, NaNCountsAsKnown) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const FImage g = fill(2, 2, {{0, 0, nan}, {0, 1, 10.0f}, {1, 0, 20.0f}});
    EXPECT_TRUE(std::isnan(g[0][0]));
    EXPECT_EQ(g[0][1], 10.0f);
    EXPECT_EQ(g[1][0], 20.0f);
    EXPECT_TRUE(std::isnan(g[1][1]));  // fed by the NaN cell

    // Four finite cells in ring 1 end the search before the NaN in ring 2.
    const FImage h = fill(5, 5, {{1, 2, 10.0f}, {3, 2, 20.0f}, {2, 1, 30.0f}, {2, 3, 40.0f},
                                 {0, 0, nan}});
    EXPECT_EQ(h[2][2], 25.0f);
}

// Rows shared among threads give the same bits as one thread, also with
// more threads than rows.
TEST(ThresholdGrid, SameForAnyThreadCount) {
    std::vector<Known> known;
    for (int k = 0; k < 40; ++k) known.push_back({(k * 7) % 23, (k * 13) % 31, 50.0f + 3.7f * static_cast<float>(k)});
    const FImage one = fill(23, 31, known);
    for (int threads : {2, 3, 64}) {
        const FImage many = fill(23, 31, known, threads);
        EXPECT_EQ(0, std::memcmp(one[0], many[0], sizeof(float) * 23 * 31)) << threads;
    }
}

}  // namespace
}  // namespace zentrel
