// The per-pixel decision: thresholds spread from the region grid to every
// pixel (bilinear inside the lattice of region nodes, steps in the border
// bands), output 255 where the pixel reaches its threshold and 0 elsewhere.
#pragma once

#include <cstdint>

namespace zentrel {

// Nodes sit at pixel ((a+1)*h, (b+1)*h), h = region_size/2. With
// Rr = region_rows and Rc = region_cols the image falls into nine parts:
//   interior    rows h..h*Rr-1, columns h..h*Rc-1: T bilinear between the
//               four surrounding nodes, in single precision;
//   bands       the strips outside the interior along each border: T of the
//               node at or before the pixel along the strip (a step);
//   corners     T of the nearest corner node.
// A pixel p becomes 255 when p >= trunc(T) (T truncated toward zero), else 0;
// in the right band (rows h..h*Rr-1, columns h*Rc..cols-1) the test is
// strict instead: float(p) > T. A NaN T, or one outside the int32 range,
// truncates to INT32_MIN (as the x86 conversion does), so such a pixel is 255
// everywhere except in the right band, where NaN gives 0.
//
// threads: rows are split into that many contiguous blocks, one worker
// thread each; 1 (or less) runs inline. The result does not depend on it.
// surface: when not null, a dense rows x cols float array that receives for
// every pixel the T its decision used (the node value in bands and corners;
// the right band stores T itself although it compares strictly).
void threshold_pixels(int region_rows, int region_cols, float** threshold_grid, int rows, int cols,
                      int region_size, const std::int16_t* const* image16,
                      std::int16_t** output_rows, int threads = 1, float* surface = nullptr);

}  // namespace zentrel
