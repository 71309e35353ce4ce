#include "pipeline/surface_waves.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <vector>

namespace zentrel {

namespace {

// A region of the padded grid as the waves read it: its planes (threshold,
// contrast and the ground of regions whose ground is their own, 0.0 where
// unsettled) and its state.
struct Cell {
    double t = 0.0, c = 0.0, g = 0.0;
    std::uint8_t settled = 0, own = 0;
    std::uint8_t queued = 1;  // on the front, or padding (which never joins it)
};

// A front region: its index in the padded grid and in the caller's grids.
struct Place {
    std::int64_t at, k;
};

// What one front region decided, before any of the wave's writes.
struct Decision {
    double near_t, near_c, own_ground;
    bool background, inside, step;
};

}  // namespace

void settle_surface(const SurfaceGrids& g, const SurfaceRule& rule, const std::int32_t* row, const std::int32_t* col,
                    const double* threshold, const double* background, std::int64_t known_count, double* grid,
                    std::int8_t* kind) {
    // The grid padded by one never-settled cell on every side, so that every
    // inner cell has eight neighbours.
    const std::int64_t width = static_cast<std::int64_t>(g.cols) + 2;
    const std::size_t cells = static_cast<std::size_t>((static_cast<std::int64_t>(g.rows) + 2) * width);
    // The order the sums add their neighbours in (it fixes their rounding):
    // offsets (dy, dx) row by row, each naming the neighbour at -(dy, dx),
    // so the first added is the one below and to the right.
    std::int64_t order[8], step_k[8];
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
    std::vector<Cell> cell(cells);
    auto place = [&](std::int64_t r, std::int64_t c) { return Place{(r + 1) * width + c + 1, r * g.cols + c}; };
    for (std::int64_t r = 0; r < g.rows; ++r) {
        for (std::int64_t c = 0; c < g.cols; ++c) cell[place(r, c).at].queued = 0;
    }
    for (std::int64_t i = 0; i < known_count; ++i) {
        const Place p = place(row[i], col[i]);
        Cell& x = cell[p.at];
        x.t = threshold[i];
        x.c = std::max(background[i] - threshold[i], 0.0);
        x.g = background[i];
        x.settled = x.own = 1;
        kind[p.k] = 1;
    }
    // The fronts and their decisions never hold more than every region: room
    // for that up front spares the copies of growing them.
    std::vector<Place> front, next;
    std::vector<Decision> wave;
    front.reserve(static_cast<std::size_t>(total));
    next.reserve(static_cast<std::size_t>(total));
    wave.reserve(static_cast<std::size_t>(total));
    auto join = [&](const Place& p, std::vector<Place>& to) {  // its unsettled neighbours
        for (int j = 0; j < 8; ++j) {
            Cell& m = cell[p.at - order[j]];
            if (!m.settled && !m.queued) {
                m.queued = 1;
                to.push_back(Place{p.at - order[j], p.k - step_k[j]});
            }
        }
    };
    for (std::int64_t r = 0; r < g.rows; ++r) {
        for (std::int64_t c = 0; c < g.cols; ++c) {
            const Place p = place(r, c);
            if (cell[p.at].settled) join(p, front);
        }
    }

    while (!front.empty()) {
        wave.resize(front.size());
        for (std::size_t i = 0; i < front.size(); ++i) {
            const Place p = front[i];
            int count = 0, own_count = 0;
            double sum_t = 0.0, sum_c = 0.0, sum_g = 0.0;
            for (std::int64_t o : order) {
                const Cell& m = cell[p.at - o];
                count += m.settled;
                own_count += m.own;
                sum_t += m.t;
                sum_c += m.c;
                sum_g += m.g;
            }
            Decision& d = wave[i];
            d.near_t = sum_t / count;
            d.near_c = sum_c / count;
            d.own_ground = own_count > 0 ? sum_g / own_count : std::numeric_limits<double>::quiet_NaN();
            const double median = g.medians[p.k];
            d.step = rule.steps && own_count > 0 && d.own_ground - median > rule.step_threshold;
            d.background = rule.thin || (median >= d.near_t && !d.step);
            // A region darker than the threshold by more than the
            // contrast lies at the objects' level, unless it is a band.
            const bool deep = median < d.near_t - d.near_c && !d.background && !(g.band[p.k] > d.near_c);
            d.inside = deep || d.step;
        }
        const bool moved =
            std::any_of(wave.begin(), wave.end(), [](const Decision& d) { return d.background || d.inside; });
        if (!moved) {  // only shade is left: it lies inside
            for (Decision& d : wave) d.inside = true;
        }
        next.clear();
        for (std::size_t i = 0; i < front.size(); ++i) {
            const Place p = front[i];
            const Decision& d = wave[i];
            Cell& x = cell[p.at];
            if (!d.background && !d.inside) {
                next.push_back(p);  // stays on the front
                continue;
            }
            const double median = g.medians[p.k];
            if (d.background) {
                x.t = g.grounds[p.k] - d.near_c;
                x.g = median;
                x.own = 1;
                kind[p.k] = 2;
            }
            if (d.inside) {
                x.t = d.step ? std::max((d.own_ground + median) / 2, d.near_t) : d.near_t;
                kind[p.k] = 3;
            }
            x.c = d.near_c;
            x.settled = 1;
        }
        for (const Place& p : front) {
            if (cell[p.at].settled) join(p, next);
        }
        front.swap(next);
    }
    for (std::int64_t r = 0; r < g.rows; ++r) {
        for (std::int64_t c = 0; c < g.cols; ++c) {
            const Place p = place(r, c);
            grid[p.k] = cell[p.at].t;
        }
    }
}

}  // namespace zentrel
