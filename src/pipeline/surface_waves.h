// The automatic default's threshold surface between its passing regions:
// the other regions are settled in waves outward from them, each wave from
// what the waves before it settled.
#pragma once

#include <cstdint>

namespace zentrel {

struct SurfaceGrids {
    int rows = 0, cols = 0;
    // rows x cols levels, region k at [k * step] (a view into a wider grid
    // needs no copy): each region's median, and the level a background
    // region's threshold lies below.
    const float* medians = nullptr;
    const float* grounds = nullptr;
    std::int64_t median_step = 1, ground_step = 1;
    // How many regions on either side tell a band: a region's band depth is
    // how far it lies below both regions band_reach away on either side, in
    // the direction (across, down or a diagonal) where that is deepest, the
    // grid's edge rows and columns standing for those beyond it.
    int band_reach = 2;
};

struct SurfaceRule {
    bool steps = false;           // objects brighter than their ground: a step up is an object
    double step_threshold = 0.0;  // how far below its own ground a region's median must lie then
    bool thin = false;            // strokes: every region is settled as background
};

// Settles every region of the grid reachable from the known ones (row[k],
// col[k] with threshold[k] and background[k]; a later duplicate wins) and
// writes grid (threshold) and kind (1 known, 2 background, 3 inside an
// object, 0 unreached), rows x cols each. Each wave takes the unsettled
// regions with a settled neighbour; a region's neighbour means are sums in
// double over its eight neighbours in a fixed order (the unsettled ones
// adding 0.0) divided by how many are settled, all read before the wave
// writes. The rules: see surface.py's threshold_grid, which calls this.
// Large grids are cut into shares of rows, one per thread (up to threads);
// the result is the same on any number. Beyond its output it holds 10
// bytes per region (18 with rule.steps) and 8 per region of the widest
// front.
void settle_surface(const SurfaceGrids& grids, const SurfaceRule& rule, const std::int32_t* row,
                    const std::int32_t* col, const double* threshold, const double* background, std::int64_t known,
                    double* grid, std::int8_t* kind, int threads = 1);

}  // namespace zentrel
