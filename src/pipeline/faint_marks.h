// Faint marks: ink that never comes near the ink's own level is kept only
// where it joins ink that does (hysteresis). Paper texture, specks and
// stains that just cross the threshold stand alone; the blurred edge of a
// stroke joins its core.
#pragma once

#include <cstdint>
#include <vector>

namespace zentrel {

// The pixel decision marks the ink that does not reach the core level with 1
// (threshold_pixels with a core grid).

// Every 1 that is 8-connected through 1s to a 0 becomes 0; the others 255.
// The result does not depend on threads, nor on the order marks are met.
void keep_reached(std::uint8_t* const* output_rows, int rows, int cols, int threads = 1);

// A block's pieces for reaching across blocks: labels (rows x cols, row by
// row) gets 1, 2, ... for the 8-connected pieces of ink and marks (anything
// but 255), numbered in the row-by-row order of their first pixel, and 0 on
// 255. Returns for each label whether its piece holds ink (0); element 0
// (no piece) is false. sizes, when not null, receives each label's count of
// pixels (element 0: 0).
std::vector<bool> label_pieces(const std::uint8_t* const* rows, int n_rows, int n_cols, std::int32_t* labels,
                               std::vector<std::int64_t>* sizes = nullptr);

// The same pieces counted without labels, for a whole block: for each piece
// in that order whether it holds ink, and (sizes) its count of pixels. The
// block is the scratch: every counted pixel becomes 255. A flood fill over
// the pieces alone, no label per pixel: a few candidate marks on a large
// image cost about one pass over its bytes.
std::vector<bool> count_pieces(std::uint8_t* const* rows, int n_rows, int n_cols, std::vector<std::int64_t>& sizes);

}  // namespace zentrel
