// Grey-level quantiles of every region of the grid. The median is the level
// a region's background sits at when most of its pixels are background; the
// automatic threshold surface uses it where no fit passed, and the far tails
// and spreads around it to find faint objects of a region's own.
#pragma once

#include "bimodal/image_block.h"
#include "pipeline/context.h"

namespace zentrel {

// grid[i][j * share_count + n] = the lowest grey level v of region
// (first_row + i, first_col + j) at which at least shares[n] of its counted
// pixels are <= v (pixels equal to context.excluded_value skipped; -1 for a
// region with no counted pixel). image16 must hold the regions whole and its
// levels must lie in 0..255. Rows of regions are shared among
// context.threads workers; the grid does not depend on the thread count.
void compute_region_quantiles(const PipelineContext& context, int region_rows, int region_cols,
                              float** grid, int region_size, const ImageBlock& image16,
                              const double* shares, int share_count, int first_row = 0,
                              int first_col = 0);

// The lower median: compute_region_quantiles at the share 0.5.
void compute_region_median(const PipelineContext& context, int region_rows, int region_cols,
                           float** median_grid, int region_size, const ImageBlock& image16,
                           int first_row = 0, int first_col = 0);

}  // namespace zentrel
