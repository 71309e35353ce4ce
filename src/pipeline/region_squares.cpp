#include "pipeline/region_squares.h"

#include <algorithm>
#include <vector>

#include "bimodal/region_grid.h"
#include "pipeline/workers.h"

namespace zentrel {

void region_square_sums(const ImageBlock8& image, int region_size, int side, int count, const int rows[],
                        const int cols[], std::int64_t sums[], std::int64_t powers[], int threads) {
    if (count <= 0 || side <= 0) return;
    const int k = region_size / side;
    const int workers = worker_count(threads, count);
    // One row of squares at a time, 64-bit over the square; one pixel row of
    // a square fits 32 bits up to side 66051. Each worker's row, allocated
    // here so that a failure throws in the caller's thread.
    std::vector<std::vector<std::int64_t>> rows_of(static_cast<std::size_t>(2 * workers),
                                                   std::vector<std::int64_t>(static_cast<std::size_t>(k)));
    // Regions in runs of 16, each to the first worker free.
    run_chunks(workers, count, 16, [&](int begin, int end, int w) {
        std::vector<std::int64_t>& row_sums = rows_of[static_cast<std::size_t>(2 * w)];
        std::vector<std::int64_t>& row_powers = rows_of[static_cast<std::size_t>(2 * w + 1)];
        for (int i = begin; i < end; ++i) {
            const int top = region_origin(rows[i], region_size);
            const int left = region_origin(cols[i], region_size) - image.left;
            for (int a = 0; a < k; ++a) {
                std::fill(row_sums.begin(), row_sums.end(), 0);
                std::fill(row_powers.begin(), row_powers.end(), 0);
                for (int r = top + a * side; r < top + (a + 1) * side; ++r) {
                    const std::uint8_t* pixels = image.at(r) + left;
                    for (int b = 0; b < k; ++b) {
                        std::uint32_t s = 0, p = 0;
                        if (side < 65536) {
                            for (int c = b * side; c < (b + 1) * side; ++c) {
                                const std::uint32_t v = pixels[c];
                                s += v;
                                p += v * v;
                            }
                            row_sums[static_cast<std::size_t>(b)] += s;
                            row_powers[static_cast<std::size_t>(b)] += p;
                        } else {
                            for (int c = b * side; c < (b + 1) * side; ++c) {
                                const std::int64_t v = pixels[c];
                                row_sums[static_cast<std::size_t>(b)] += v;
                                row_powers[static_cast<std::size_t>(b)] += v * v;
                            }
                        }
                    }
                }
                const std::int64_t at = (static_cast<std::int64_t>(i) * k + a) * k;
                for (int b = 0; b < k; ++b) {
                    sums[at + b] = row_sums[static_cast<std::size_t>(b)];
                    powers[at + b] = row_powers[static_cast<std::size_t>(b)];
                }
            }
        }
    });
}

}  // namespace zentrel
