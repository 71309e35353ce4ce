// Every region's variance and grey-level quantiles in one pass over the
// pixels, for the automatic default (and the chunked path, region by region
// the same values).
//
//   compute_region_stats(context, region_rows, region_cols, region_size, image,
//                        out, first_row, first_col)
//
// The image is cut into half-region tiles: tile (t, u) spans rows
// origin(t) .. origin(t + 1) - 1 and columns origin(u) .. origin(u + 1) - 1,
// so region (i, j) is exactly tiles (i, j), (i, j + 1), (i + 1, j) and
// (i + 1, j + 1), also for odd region sizes (origin(i) + R = origin(i + 2)).
// Each pixel is counted once into its tile's 256-bin histogram, and each
// region's histogram is the sum of its four tiles': the same integer counts
// the region's own pixels give, hence the same variance (compute_region_variance)
// and quantiles (compute_region_quantiles) bit for bit. Only two rows of tiles
// per worker are held at a time.
#pragma once

#include <cstdint>

#include "bimodal/image_block.h"
#include "pipeline/context.h"

namespace zentrel {

struct RegionStatsOutput {
    float** variance = nullptr;   // [i][j]: population variance, as compute_region_variance; or null
    float** quantiles = nullptr;  // [i][j * share_count + n], as compute_region_quantiles; or null
    // Where quantiles is null: the same values as uint8 levels (a region is
    // never empty here, so none is -1); or null.
    std::uint8_t** quantile_levels = nullptr;
    const double* shares = nullptr;
    int share_count = 0;
    // When not null: the 256-bin histogram of every pixel of an image of
    // image_rows x image_cols, which the block must hold whole at offset
    // (0, 0) with the regions starting at (0, 0) (pixels outside every region
    // are counted too).
    std::int64_t* level_histogram = nullptr;
    int image_rows = 0;
    int image_cols = 0;
};

// Regions (first_row + i, first_col + j) for i < region_rows, j < region_cols
// of image, which must hold them whole; every pixel is counted (the context's
// excluded_value does not apply). Region rows are shared by context.threads
// workers, two to a run from its two ends (run_from_both_ends); the results
// do not depend on how.
void compute_region_stats(const PipelineContext& context, int region_rows, int region_cols, int region_size,
                          const ImageBlock8& image, const RegionStatsOutput& out, int first_row = 0,
                          int first_col = 0);

}  // namespace zentrel
