// Grey-level variance of every region of the grid.
#pragma once

#include <cstdint>

#include "pipeline/context.h"

namespace zentrel {

// variance_grid[i][j] = population variance of region (i, j), from its
// 256-bin histogram, pixels equal to context.excluded_value skipped (0 for a
// region with no counted pixel). Allocates nothing but worker threads: with
// context.threads > 1 rows of regions are shared among that many threads,
// and the grid is the same for any thread count.
void compute_region_variance(const PipelineContext& context, int region_rows, int region_cols,
                             float** variance_grid, int region_size,
                             const std::int16_t* const* image16);

}  // namespace zentrel
