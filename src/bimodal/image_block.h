// A block of rows and columns of the 16-bit working image, addressed in the
// coordinates of the whole image. A stage that holds only part of the image
// (a chunk of a larger one) passes the block's pixel offset; a whole image
// has offset (0, 0).
#pragma once

#include <cstdint>

namespace zentrel {

struct ImageBlock {
    ImageBlock() = default;
    // Not explicit: a plain row table is the whole image.
    ImageBlock(const std::int16_t* const* rows_, int top_ = 0, int left_ = 0)
        : rows(rows_), top(top_), left(left_) {}

    // Image pixel (r, c) is at(r)[c - left].
    const std::int16_t* at(int r) const { return rows[r - top]; }

    const std::int16_t* const* rows = nullptr;  // rows[k] holds image row top + k
    int top = 0;                                // image row of rows[0]
    int left = 0;                               // image column of rows[k][0]
};

}  // namespace zentrel
