// Completion of the region threshold grid by inverse-distance weighting.
#pragma once

namespace zentrel {

constexpr float MISSING_THRESHOLD = -1.0f;

// Places the valid_count thresholds at (region_row[k], region_col[k]); every
// other cell gets sum(t/d) / sum(1/d) over the known cells of the square
// rings around it, ring by ring until a complete ring leaves at least four
// found (or the rings have covered the grid).
//
// Cells equal to MISSING_THRESHOLD (-1.0, compared exactly) are the gaps; any
// other value, NaN included, is known. Only placed thresholds feed the
// weights. With fewer than four known cells in all, a gap gets the weighted
// mean of every known cell. If every placed threshold is -1.0, every cell
// becomes -1.0. Rows of cells are shared among `threads` threads; the grid
// is the same for any count.
void fill_threshold_grid(int valid_count, int region_rows, int region_cols, const int region_row[],
                         const int region_col[], const float region_thresh[],
                         float** threshold_grid, int threads = 1);

}  // namespace zentrel
