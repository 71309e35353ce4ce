#include "pipeline/region_sides.h"

#include <algorithm>

namespace zentrel {

void region_sides(const float* medians, int rows, int cols, std::int64_t step, const SideRule& rule,
                  const std::int32_t* row, const std::int32_t* col, const double* means, std::int64_t count,
                  std::int8_t* sides) {
    const int r = rule.reach;
    const double need = rule.share * static_cast<double>((2 * r + 1) * (2 * r + 1));
    for (std::int64_t i = 0; i < count; ++i) {
        const double a = means[2 * i], b = means[2 * i + 1];
        const double middle = (a + b) / 2;
        int above = 0, below = 0;
        for (int dy = -r; dy <= r; ++dy) {
            const std::int64_t y = std::clamp(row[i] + dy, 0, rows - 1);
            const float* line = medians + y * cols * step;
            for (int dx = -r; dx <= r; ++dx) {
                const double m = line[std::clamp(col[i] + dx, 0, cols - 1) * step];
                above += m > middle;
                below += m < middle;
            }
        }
        // Ground nearer the bright class: the objects are dark.
        const int nearer_bright = a <= b ? above : below, nearer_dark = a <= b ? below : above;
        sides[i] = static_cast<std::int8_t>((nearer_bright >= need) - (nearer_dark >= need));
    }
}

}  // namespace zentrel
