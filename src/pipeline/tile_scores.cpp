#include "pipeline/tile_scores.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

namespace zentrel {

void tile_scores(const double* variance, int rows, int cols, int side, double floor, double top, float* score) {
    if (rows <= 0 || cols <= 0 || side < 1) return;
    const int tile_cols = static_cast<int>((static_cast<std::int64_t>(cols) + side - 1) / side);
    std::vector<double> best(static_cast<std::size_t>(tile_cols));
    for (int r0 = 0; r0 < rows; r0 += side) {
        const int r1 = static_cast<int>(std::min<std::int64_t>(rows, static_cast<std::int64_t>(r0) + side));
        std::fill(best.begin(), best.end(), -std::numeric_limits<double>::infinity());
        for (int r = r0; r < r1; ++r) {
            const double* row = variance + static_cast<std::int64_t>(r) * cols;
            for (int c = 0; c < cols; ++c) {
                const double v = row[c];
                double& b = best[static_cast<std::size_t>(c / side)];
                // A NaN spreads over its tile, as a maximum over the tile does.
                b = (b != b || v != v) ? v + b : std::max(b, v);
            }
        }
        for (int r = r0; r < r1; ++r) {
            const double* row = variance + static_cast<std::int64_t>(r) * cols;
            float* out = score + static_cast<std::int64_t>(r) * cols;
            for (int c = 0; c < cols; ++c) {
                const double v = row[c];
                const double b = best[static_cast<std::size_t>(c / side)];
                double part = b > floor ? v / b : 0.0;
                if (top > 0.0) part = part + 1e-6 * v / top;
                out[c] = static_cast<float>(part);
            }
        }
    }
}

}  // namespace zentrel
