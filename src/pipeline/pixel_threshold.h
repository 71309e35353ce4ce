// The per-pixel decision: thresholds spread from the region grid to every
// pixel (bilinear inside the lattice of region nodes, steps in the border
// bands), output 255 where the pixel reaches its threshold and 0 elsewhere.
#pragma once

#include <cstdint>

#include "bimodal/image_block.h"

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
// rows x cols is the whole image. The pixels decided are the block of
// block_rows x block_cols starting at image16's offset (-1: to the image's
// last row or column); output_rows[k] receives image row image16.top + k from
// column image16.left on (Out is std::int16_t or std::uint8_t). Each pixel's
// T depends on its image position alone, so blocks give what the whole
// image gives.
// threads: the block's rows are split into that many contiguous runs, one
// worker thread each; 1 (or less) runs inline. The result does not depend
// on it.
// surface: when not null, a dense block_rows x block_cols float array that
// receives for every pixel the T its decision used (the node value in bands
// and corners; the right band stores T itself although it compares
// strictly).
template <class Out>
void threshold_pixels(int region_rows, int region_cols, float** threshold_grid, int rows, int cols,
                      int region_size, const ImageBlock& image16, Out* const* output_rows,
                      int threads = 1, float* surface = nullptr, int block_rows = -1,
                      int block_cols = -1);

// The same on grey levels as the caller holds them (uint8), into uint8 rows.
// core: when not null, a second grid of the same shape; a pixel that is 0
// against the threshold grid but not against it becomes 1 (a mark, see
// faint_marks.h), and marks (when not null) receives how many did.
void threshold_pixels(int region_rows, int region_cols, float** threshold_grid, int rows, int cols,
                      int region_size, const ImageBlock8& image, std::uint8_t* const* output_rows,
                      int threads = 1, float* surface = nullptr, int block_rows = -1, int block_cols = -1,
                      float** core = nullptr, std::int64_t* marks = nullptr);

// Grey levels whose 3x3 medians are decided instead of the levels
// themselves (median3.h): image rows levels.top .. levels.top + rows - 1 and
// columns levels.left .. levels.left + cols - 1, around the block decided.
// Beyond them the nearest of their pixels stands in: on a whole image its
// edge pixels repeat; a chunk's caller gives the pixels one row and column
// around it wherever the image goes on.
struct MedianLevels {
    ImageBlock8 levels;
    int rows = 0, cols = 0;
};

// The decision on medians: the block of block_rows x block_cols starting at
// image pixel (top, left), which lies within the levels' extent; the rest as
// above.
void threshold_pixels(int region_rows, int region_cols, float** threshold_grid, int rows, int cols,
                      int region_size, const MedianLevels& median, int top, int left,
                      std::uint8_t* const* output_rows, int threads, float* surface, int block_rows, int block_cols,
                      float** core = nullptr, std::int64_t* marks = nullptr);

}  // namespace zentrel
