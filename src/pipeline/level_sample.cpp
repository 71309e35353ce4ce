#include "pipeline/level_sample.h"

#include <algorithm>
#include <vector>

#include "pipeline/workers.h"

namespace zentrel {

void lattice_histogram(const ImageBlock8& image, int rows, int cols, int step, int first_row, int first_col,
                       std::int64_t histogram[256], int threads) {
    std::fill(histogram, histogram + 256, std::int64_t{0});
    if (step < 1 || first_row >= rows || first_col >= cols) return;
    const int lattice_rows = (rows - first_row + step - 1) / step;
    const int workers = worker_count(threads, lattice_rows);
    // Each worker counts into its own bins; the bins are added at the end.
    std::vector<std::int64_t> counts(static_cast<std::size_t>(workers) * 256, 0);
    // Lattice rows in runs of about a 16th of a worker's share, each to the first worker free.
    run_chunks(workers, lattice_rows, run_size(lattice_rows, workers, 16), [&](int begin, int end, int w) {
        std::int64_t* bins = counts.data() + static_cast<std::size_t>(w) * 256;
        for (int k = begin; k < end; ++k) {
            const std::uint8_t* row = image.rows[first_row + k * step];
            for (int c = first_col; c < cols; c += step) ++bins[row[c]];
        }
    });
    for (int w = 0; w < workers; ++w) {
        for (int v = 0; v < 256; ++v) histogram[v] += counts[static_cast<std::size_t>(w) * 256 + v];
    }
}

}  // namespace zentrel
