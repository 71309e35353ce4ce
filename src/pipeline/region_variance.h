// Grey-level variance of every region of the grid.
#pragma once

#include <cstdint>

#include "bimodal/image_block.h"
#include "pipeline/context.h"

namespace zentrel {

// variance_grid[i][j] = population variance of region (first_row + i,
// first_col + j) of the image, which image16 must hold whole, from its
// 256-bin histogram, pixels equal to context.excluded_value skipped (0 for a
// region with no counted pixel). Allocates nothing but worker threads: with
// context.threads > 1 rows of regions are shared among that many threads,
// and the grid is the same for any thread count.
void compute_region_variance(const PipelineContext& context, int region_rows, int region_cols,
                             float** variance_grid, int region_size, const ImageBlock& image16,
                             int first_row = 0, int first_col = 0);

}  // namespace zentrel
