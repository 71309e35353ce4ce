// Sums over the small squares that tile a region: what the automatic
// default reads thin strokes from (a stroke shows its contrast inside a
// square; an area wider than one mostly does not).
#pragma once

#include <cstdint>

#include "bimodal/image_block.h"

namespace zentrel {

// For each listed region (rows[i], cols[i]) and each of the k x k squares of
// side `side` (k = region_size / side) that tile it from its top-left
// corner: the sum of its grey levels and of their squares, exact, at
// sums[(i * k + a) * k + b] and powers[...] for the square in row a, column
// b. image must hold the regions whole. Regions are shared among `threads`
// workers; the sums do not depend on the count.
void region_square_sums(const ImageBlock8& image, int region_size, int side, int count, const int rows[],
                        const int cols[], std::int64_t sums[], std::int64_t powers[], int threads);

}  // namespace zentrel
