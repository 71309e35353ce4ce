// The region fits read uint8 levels as the caller holds them: every record
// must be what the 16-bit working copy of the same levels gives.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "bimodal/region_grid.h"
#include "pipeline/region_loop.h"

namespace zentrel {
namespace {

TEST(RegionLoopBytes, RecordsEqualTheWideCopy) {
    const int rows = 96, cols = 128, R = 32;
    std::mt19937 rng(11);
    std::normal_distribution<float> noise(0.0f, 9.0f);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(rows) * cols);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            const float ink = ((r / 6 + c / 9) % 3 == 0) ? 95.0f : 150.0f;  // two classes in most regions
            bytes[static_cast<std::size_t>(r) * cols + c] =
                static_cast<std::uint8_t>(std::clamp(ink + noise(rng), 0.0f, 255.0f));
        }
    }
    std::vector<std::int16_t> wide(bytes.begin(), bytes.end());
    std::vector<const std::uint8_t*> t8;
    std::vector<const std::int16_t*> t16;
    for (int r = 0; r < rows; ++r) {
        t8.push_back(bytes.data() + static_cast<std::size_t>(r) * cols);
        t16.push_back(wide.data() + static_cast<std::size_t>(r) * cols);
    }
    std::vector<int> region_rows, region_cols;
    for (int i = 0; i < region_count(rows, R); ++i) {
        for (int j = 0; j < region_count(cols, R); ++j) {
            region_rows.push_back(i);
            region_cols.push_back(j);
        }
    }
    const int n = static_cast<int>(region_rows.size());
    for (int smooth : {0, 1}) {
        SilentSink silent;
        PipelineContext context;
        context.sink = &silent;
        context.smooth_his = smooth;
        context.threads = 2;
        const auto a = analyse_regions(context, ImageBlock(t16.data()), R, n, region_rows.data(), region_cols.data());
        const auto b = analyse_regions(context, ImageBlock8(t8.data()), R, n, region_rows.data(), region_cols.data());
        ASSERT_EQ(a.size(), b.size());
        int recorded = 0;
        for (std::size_t k = 0; k < a.size(); ++k) {
            recorded += a[k].recorded();
            EXPECT_EQ(a[k].status, b[k].status) << k;
            EXPECT_EQ(0, std::memcmp(a[k].fitted, b[k].fitted, sizeof a[k].fitted)) << k;
            EXPECT_EQ(0, std::memcmp(&a[k].threshold, &b[k].threshold, sizeof(float))) << k;
            EXPECT_EQ(a[k].fitter_calls, b[k].fitter_calls) << k;
        }
        EXPECT_GT(recorded, 0) << "the scene must give fits to compare";
    }
}

}  // namespace
}  // namespace zentrel
