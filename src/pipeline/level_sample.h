// The histogram of the grey levels on a lattice of pixels: the automatic
// default's level sample.
#pragma once

#include <cstdint>

#include "bimodal/image_block.h"

namespace zentrel {

// histogram[v] (256 bins, overwritten) = how many pixels of value v lie at
// rows first_row, first_row + step, ... below rows and columns first_col,
// first_col + step, ... below cols of image, counted from its first row and
// column (image.rows[k][c]; step >= 1).
// Rows of the lattice are shared among `threads` workers; the counts do not
// depend on it.
void lattice_histogram(const ImageBlock8& image, int rows, int cols, int step, int first_row, int first_col,
                       std::int64_t histogram[256], int threads);

}  // namespace zentrel
