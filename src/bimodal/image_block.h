// A block of rows and columns of an image, addressed in the coordinates of
// the whole image. A stage that holds only part of the image (a chunk of a
// larger one) passes the block's pixel offset; a whole image has offset
// (0, 0). ImageBlock views the 16-bit working image of the classic driver;
// ImageBlock8 views grey levels as the caller holds them, so the stages of
// the automatic default, and the classic driver's on uint8 input, need no
// working copy.
#pragma once

#include <cstdint>

namespace zentrel {

template <class Pixel>
struct BasicImageBlock {
    BasicImageBlock() = default;
    // Not explicit: a plain row table is the whole image.
    BasicImageBlock(const Pixel* const* rows_, int top_ = 0, int left_ = 0)
        : rows(rows_), top(top_), left(left_) {}

    // Image pixel (r, c) is at(r)[c - left].
    const Pixel* at(int r) const { return rows[r - top]; }

    const Pixel* const* rows = nullptr;  // rows[k] holds image row top + k
    int top = 0;                         // image row of rows[0]
    int left = 0;                        // image column of rows[k][0]
};

using ImageBlock = BasicImageBlock<std::int16_t>;
using ImageBlock8 = BasicImageBlock<std::uint8_t>;

}  // namespace zentrel
