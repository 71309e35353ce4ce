// Grey-level median of every region of the grid: the level a region's
// background sits at when most of its pixels are background, used by the
// automatic threshold surface where no fit passed.
#pragma once

#include "bimodal/image_block.h"
#include "pipeline/context.h"

namespace zentrel {

// median_grid[i][j] = the lowest grey level v of region (first_row + i,
// first_col + j) at which at least half of its counted pixels are <= v
// (pixels equal to context.excluded_value skipped; -1 for a region with no
// counted pixel). image16 must hold the regions whole and its levels must
// lie in 0..255. Rows of regions are shared among context.threads workers;
// the grid does not depend on the thread count.
void compute_region_median(const PipelineContext& context, int region_rows, int region_cols,
                           float** median_grid, int region_size, const ImageBlock& image16,
                           int first_row = 0, int first_col = 0);

}  // namespace zentrel
