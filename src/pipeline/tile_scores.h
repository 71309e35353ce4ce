// The automatic default's region scores from the variance grid: each region
// against the busiest of its tile, so that every tile with content gets its
// busiest regions analysed.
#pragma once

namespace zentrel {

// For the rows x cols grid variance (row by row, in double), cut into tiles of side x
// side regions from the top-left: score[k] = float(part) with, in double,
//   part = best > floor ? v / best : 0.0, then part + 1e-6 * v / top when
//   top > 0,
// v the region's variance and best the highest in its tile (NaN when any of
// the tile's is). side >= 1.
void tile_scores(const double* variance, int rows, int cols, int side, double floor, double top, float* score);

}  // namespace zentrel
