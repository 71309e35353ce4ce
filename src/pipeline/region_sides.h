// Which side a region's own two classes put the objects on, read against
// the region medians around it: the background is what surrounds the
// objects, and the medians follow the local light.
#pragma once

#include <cstdint>

namespace zentrel {

struct SideRule {
    int reach = 3;       // medians up to reach regions each way (a (2 reach + 1)² window)
    double share = 0.75; // of the window that must lie nearer one class for the region to have a side
};

// For region i at (row[i], col[i]) with class means means[2 i] (dark) and
// means[2 i + 1] (bright), as the fits give them: sides[i] = 1 where at
// least rule.share of the window's medians lie nearer the bright class
// (the ground is bright: dark objects), -1 where as many lie nearer the
// dark one, else 0. A median lies nearer the class on whose side of the
// means' midpoint ((dark + bright) / 2 in double) it lies; one at the
// midpoint is nearer neither. Windows past
// the grid's edge repeat its edge regions. medians: rows x cols levels,
// region k at [k * step].
void region_sides(const float* medians, int rows, int cols, std::int64_t step, const SideRule& rule,
                  const std::int32_t* row, const std::int32_t* col, const double* means, std::int64_t count,
                  std::int8_t* sides);

}  // namespace zentrel
