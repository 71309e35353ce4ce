// The per-pixel decision: thresholds spread from the region grid to every
// pixel (bilinear inside the lattice of region nodes, steps in the border
// bands), output 255 where the pixel reaches its threshold and 0 elsewhere.
#pragma once

#include <cstdint>

namespace zentrel {

// Nodes sit at pixel ((a+1)*h, (b+1)*h), h = region_size/2.
void threshold_pixels(int region_rows, int region_cols, float** threshold_grid, int rows, int cols,
                      int region_size, const std::int16_t* const* image16,
                      std::int16_t** output_rows);

}  // namespace zentrel
