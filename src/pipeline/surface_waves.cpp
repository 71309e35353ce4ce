#include "pipeline/surface_waves.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <vector>

namespace zentrel {

namespace {

// Each region's state, in the grid padded by one never-settled region on
// every side (the planes the waves read, threshold, contrast and for steps
// the ground of regions whose ground is their own, are the caller's grid
// and two more like it). Queued: on a front, or padding. A front region's
// decision, made before any of the wave's writes, waits in its own planes
// (threshold and contrast; no sum reads an unsettled region) and in
// kBackground or kInside, neither while it waits.
enum : std::uint8_t { kSettled = 1, kOwn = 2, kQueued = 4, kBackground = 8, kInside = 16 };

// How far region (r, c) lies below both regions reach away on either side,
// in the deepest direction (see SurfaceGrids::band_reach). Minimum and
// maximum are exact in float; the centre is subtracted once, in double.
double band_depth(const SurfaceGrids& g, std::int64_t r, std::int64_t c) {
    const std::int64_t reach = g.band_reach;
    auto level = [&](std::int64_t y, std::int64_t x) {
        y = std::clamp<std::int64_t>(y, 0, g.rows - 1);
        x = std::clamp<std::int64_t>(x, 0, g.cols - 1);
        return g.medians[(y * g.cols + x) * g.median_step];
    };
    const std::int64_t dirs[4][2] = {{0, reach}, {reach, 0}, {reach, reach}, {reach, -reach}};
    float top = 0.0f;
    for (int i = 0; i < 4; ++i) {
        const float low = std::min(level(r + dirs[i][0], c + dirs[i][1]), level(r - dirs[i][0], c - dirs[i][1]));
        top = i == 0 ? low : std::max(top, low);
    }
    return static_cast<double>(top) - static_cast<double>(level(r, c));
}

// A front region: its index in the padded grid and in the caller's grids
// (both kept: dividing to get one from the other would cost more than the
// region's sums). 32-bit where the padded grid allows.
template <typename Index>
struct Place {
    Index at, k;
};

template <typename Index>
void settle_in_waves(const SurfaceGrids& g, const SurfaceRule& rule, const std::int32_t* row, const std::int32_t* col,
                     const double* threshold, const double* background, std::int64_t known_count, double* grid,
                     std::int8_t* kind) {
    // The grid padded by one never-settled cell on every side, so that every
    // inner cell has eight neighbours.
    const std::int64_t width = static_cast<std::int64_t>(g.cols) + 2;
    const std::size_t cells = static_cast<std::size_t>((static_cast<std::int64_t>(g.rows) + 2) * width);
    // The order the sums add their neighbours in (it fixes their rounding):
    // offsets (dy, dx) row by row, each naming the neighbour at -(dy, dx),
    // so the first added is the one below and to the right.
    std::int64_t order[8], step_k[8];  // in the padded grid, and in the caller's
    int n = 0;
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            if (dy || dx) {
                order[n] = dy * width + dx;
                step_k[n++] = static_cast<std::int64_t>(dy) * g.cols + dx;
            }
        }
    }
    const std::int64_t total = static_cast<std::int64_t>(g.rows) * g.cols;
    std::fill(kind, kind + total, std::int8_t{0});
    // Only the state is padded: the sums read settled regions alone, which
    // lie inside the grid. The thresholds are written where they end up.
    double* const plane_t = grid;
    std::fill(grid, grid + total, 0.0);
    std::vector<double> plane_c(static_cast<std::size_t>(total), 0.0);
    std::vector<double> plane_g(rule.steps ? static_cast<std::size_t>(total) : 0, 0.0);
    std::vector<std::uint8_t> state(cells, kQueued);
    const auto median = [&](std::int64_t k) { return static_cast<double>(g.medians[k * g.median_step]); };
    const auto ground = [&](std::int64_t k) { return static_cast<double>(g.grounds[k * g.ground_step]); };
    auto at = [&](std::int64_t r, std::int64_t c) { return (r + 1) * width + c + 1; };
    for (std::int64_t r = 0; r < g.rows; ++r) {
        for (std::int64_t c = 0; c < g.cols; ++c) state[at(r, c)] = 0;
    }
    for (std::int64_t i = 0; i < known_count; ++i) {
        const std::int64_t a = at(row[i], col[i]), k = static_cast<std::int64_t>(row[i]) * g.cols + col[i];
        plane_t[k] = threshold[i];
        plane_c[k] = std::max(background[i] - threshold[i], 0.0);
        if (rule.steps) plane_g[k] = background[i];
        state[a] = kSettled | kOwn;
        kind[k] = 1;
    }
    // The front grows as it needs to, as the widest front is mostly a small
    // share of the grid.
    std::vector<Place<Index>> front;
    auto join = [&](Place<Index> p) {  // its unsettled neighbours
        for (int j = 0; j < 8; ++j) {
            std::uint8_t& m = state[p.at - order[j]];
            if (!(m & (kSettled | kQueued))) {
                m |= kQueued;
                front.push_back(Place<Index>{static_cast<Index>(p.at - order[j]), static_cast<Index>(p.k - step_k[j])});
            }
        }
    };
    for (std::int64_t r = 0; r < g.rows; ++r) {
        for (std::int64_t c = 0; c < g.cols; ++c) {
            if (state[at(r, c)] & kSettled) join(Place<Index>{static_cast<Index>(at(r, c)), static_cast<Index>(r * g.cols + c)});
        }
    }

    while (!front.empty()) {
        bool moved = false;
        for (const Place<Index> p : front) {
            const std::int64_t a = p.at, k = p.k;
            int count = 0, own_count = 0;
            double sum_t = 0.0, sum_c = 0.0, sum_g = 0.0;
            for (int j = 0; j < 8; ++j) {  // the unsettled would add 0.0: skipping them is exact
                const std::uint8_t s = state[a - order[j]];
                if (s & kSettled) {
                    const std::int64_t m = k - step_k[j];
                    ++count;
                    sum_t += plane_t[m];
                    sum_c += plane_c[m];
                    if (s & kOwn) {
                        ++own_count;
                        if (rule.steps) sum_g += plane_g[m];
                    }
                }
            }
            const double near_t = sum_t / count, near_c = sum_c / count;
            const double own_ground = own_count > 0 ? sum_g / own_count : std::numeric_limits<double>::quiet_NaN();
            const double level = median(k);
            const bool step = rule.steps && own_count > 0 && own_ground - level > rule.step_threshold;
            const bool back = rule.thin || (level >= near_t && !step);
            // A region darker than the threshold by more than the
            // contrast lies at the objects' level, unless it is a band.
            const bool deep = level < near_t - near_c && !back && !(band_depth(g, k / g.cols, k % g.cols) > near_c);
            plane_c[k] = near_c;
            if (back) {
                plane_t[k] = ground(k) - near_c;
                state[a] |= kBackground;
            } else if (deep || step) {
                plane_t[k] = step ? std::max((own_ground + level) / 2, near_t) : near_t;
                state[a] |= kInside;
            } else {
                plane_t[k] = near_t;  // while it waits
            }
            moved = moved || (state[a] & (kBackground | kInside));
        }
        // Settle the decided (where nothing else moves, only shade is left:
        // it lies inside) and keep the waiting at the front's start; the
        // newly reached follow them. Within a wave no decision reads
        // another's, so the front's order does not matter.
        const std::size_t wave = front.size();
        std::size_t waiting = 0;
        for (std::size_t i = 0; i < wave; ++i) {
            const Place<Index> p = front[i];
            std::uint8_t& s = state[p.at];
            if (!(s & (kBackground | kInside)) && moved) {
                front[waiting++] = p;  // stays on the front
                continue;
            }
            const std::int64_t k = p.k;
            if (s & kBackground) {
                if (rule.steps) plane_g[k] = median(k);
                s |= kOwn;
                kind[k] = 2;
            } else {
                kind[k] = 3;
            }
            s = static_cast<std::uint8_t>((s | kSettled) & ~(kBackground | kInside));
            join(p);  // after the wave's slots: the loop ends before them
        }
        front.erase(front.begin() + static_cast<std::ptrdiff_t>(waiting),
                    front.begin() + static_cast<std::ptrdiff_t>(wave));
    }
}

}  // namespace

void settle_surface(const SurfaceGrids& g, const SurfaceRule& rule, const std::int32_t* row, const std::int32_t* col,
                    const double* threshold, const double* background, std::int64_t known_count, double* grid,
                    std::int8_t* kind) {
    const std::int64_t padded = (static_cast<std::int64_t>(g.rows) + 2) * (static_cast<std::int64_t>(g.cols) + 2);
    if (padded <= std::numeric_limits<std::uint32_t>::max()) {
        settle_in_waves<std::uint32_t>(g, rule, row, col, threshold, background, known_count, grid, kind);
    } else {
        settle_in_waves<std::int64_t>(g, rule, row, col, threshold, background, known_count, grid, kind);
    }
}

}  // namespace zentrel
