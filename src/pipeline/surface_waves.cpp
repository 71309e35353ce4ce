#include "pipeline/surface_waves.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>
#include <vector>

#include "pipeline/workers.h"

namespace zentrel {

namespace {

// Each region's state, in the grid padded by one never-settled region on
// every side (the planes the waves read, threshold, contrast and for steps
// the ground of regions whose ground is their own, are the caller's grid
// and two more like it). Queued: on a front, or padding. A front region's
// decision, made before any of the wave's writes, waits in its own planes
// (threshold and contrast; no sum reads an unsettled region) and in its
// byte of the decisions, which no other region's decision reads.
enum : std::uint8_t { kSettled = 1, kOwn = 2, kQueued = 4 };
enum : std::uint8_t { kWaits = 0, kBackground = 1, kInside = 2 };

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

// A list of regions with room for all it can hold, made before the workers
// start (none of them allocates); room never touched costs no memory.
template <typename Index>
struct List {
    std::unique_ptr<Place<Index>[]> at;
    std::size_t size = 0;
    void make(std::size_t room) { at.reset(new Place<Index>[room]); }
};

// A worker's share of the grid: whole rows, with its own front.
template <typename Index>
struct Share {
    std::int64_t lo = 0, hi = 0;  // its regions
    List<Index> front, up, down;  // up, down: reached in the shares above and below
    bool moved = false;
    std::size_t size = 0;         // its front's size, for all to read between waves
};

// What the waves read and write, handed to each worker by value: read
// through a reference, every byte written would make them be read again.
struct Planes {
    std::uint8_t* state;     // padded, see above
    std::uint8_t* decision;  // a front region's, while the wave decides
    double* threshold;       // the caller's grid
    double* contrast;
    double* ground;          // with rule.steps only
    std::int8_t* kind;
    std::int64_t width;      // of the padded grid
    // The order the sums add their neighbours in (it fixes their rounding):
    // offsets (dy, dx) row by row, each naming the neighbour at -(dy, dx),
    // so the first added is the one below and to the right; in the padded
    // grid, and in the caller's.
    std::int64_t order[8], step_k[8];
    std::int64_t at(std::int64_t r, std::int64_t c) const { return (r + 1) * width + c + 1; }
};

// One worker's part of the waves: its share's decisions, settling and
// border lists, meeting the other shares at the barrier after the
// decisions, after the settling, and after taking in the regions the
// neighbouring shares reached across the border. Within a wave no decision
// reads another's, so how the front is cut or ordered does not change the
// result.
template <typename Index>
void settle_share(const SurfaceGrids& g, const SurfaceRule& rule, const Planes pl, std::vector<Share<Index>>& shares,
                  int w, Barrier& barrier) {
    Share<Index>& mine = shares[static_cast<std::size_t>(w)];
    const std::int64_t lo = mine.lo, hi = mine.hi;
    const bool above = w > 0, below = w + 1 < static_cast<int>(shares.size());
    Place<Index>* const front = mine.front.at.get();
    std::size_t size = 0;
    auto reach = [&](std::int64_t at_q, std::int64_t k_q) {
        std::uint8_t& m = pl.state[at_q];
        if (!(m & (kSettled | kQueued))) {
            m |= kQueued;
            front[size++] = Place<Index>{static_cast<Index>(at_q), static_cast<Index>(k_q)};
        }
    };
    // A neighbour in another share's rows goes on that share's list
    // unread: its state is that share's to read and write. (So does
    // the padding beside the next row, whose k lies there; the
    // padding above the first row and below the last is dropped.)
    auto join = [&](Place<Index> p) {  // its unsettled neighbours
        for (int j = 0; j < 8; ++j) {
            const std::int64_t k = static_cast<std::int64_t>(p.k) - pl.step_k[j];
            const std::int64_t a = static_cast<std::int64_t>(p.at) - pl.order[j];
            if (k >= lo && k < hi) {
                reach(a, k);
            } else if (k < lo) {
                if (above) mine.up.at[mine.up.size++] = Place<Index>{static_cast<Index>(a), static_cast<Index>(k)};
            } else if (below) {
                mine.down.at[mine.down.size++] = Place<Index>{static_cast<Index>(a), static_cast<Index>(k)};
            }
        }
    };
    auto gather = [&]() {  // what the neighbouring shares reached in these rows
        barrier.arrive();
        if (above) {
            const List<Index>& from = shares[static_cast<std::size_t>(w - 1)].down;
            for (std::size_t i = 0; i < from.size; ++i) reach(from.at[i].at, from.at[i].k);
        }
        if (below) {
            const List<Index>& from = shares[static_cast<std::size_t>(w + 1)].up;
            for (std::size_t i = 0; i < from.size; ++i) reach(from.at[i].at, from.at[i].k);
        }
        mine.size = size;
        barrier.arrive();
        mine.up.size = mine.down.size = 0;
    };
    const std::int64_t rlo = lo / g.cols, rhi = hi / g.cols;
    for (std::int64_t r = rlo; r < rhi; ++r) {
        for (std::int64_t c = 0; c < g.cols; ++c) {
            if (pl.state[pl.at(r, c)] & kSettled) join(Place<Index>{static_cast<Index>(pl.at(r, c)), static_cast<Index>(r * g.cols + c)});
        }
    }
    gather();
    const auto median = [m = g.medians, step = g.median_step](std::int64_t k) { return static_cast<double>(m[k * step]); };
    const auto ground = [m = g.grounds, step = g.ground_step](std::int64_t k) { return static_cast<double>(m[k * step]); };
    const bool steps = rule.steps, thin = rule.thin;
    const double step_threshold = rule.step_threshold;
    for (;;) {  // until no share has a front (sizes written before the last barrier)
        std::size_t left = 0;
        for (const Share<Index>& s : shares) left += s.size;
        if (left == 0) break;
        bool moved = false;
        const std::size_t wave = size;
        for (std::size_t i = 0; i < wave; ++i) {
            const Place<Index> p = front[i];
            const std::int64_t a = p.at, k = p.k;
            int count = 0, own_count = 0;
            double sum_t = 0.0, sum_c = 0.0, sum_g = 0.0;
            for (int j = 0; j < 8; ++j) {  // the unsettled would add 0.0: skipping them is exact
                const std::uint8_t s = pl.state[a - pl.order[j]];
                if (s & kSettled) {
                    const std::int64_t m = k - pl.step_k[j];
                    ++count;
                    sum_t += pl.threshold[m];
                    sum_c += pl.contrast[m];
                    if (s & kOwn) {
                        ++own_count;
                        if (steps) sum_g += pl.ground[m];
                    }
                }
            }
            const double near_t = sum_t / count, near_c = sum_c / count;
            const double own_ground = own_count > 0 ? sum_g / own_count : std::numeric_limits<double>::quiet_NaN();
            const double level = median(k);
            const bool step = steps && own_count > 0 && own_ground - level > step_threshold;
            const bool back = thin || (level >= near_t && !step);
            // A region darker than the threshold by more than the
            // contrast lies at the objects' level, unless it is a band.
            const bool deep = level < near_t - near_c && !back && !(band_depth(g, k / g.cols, k % g.cols) > near_c);
            pl.contrast[k] = near_c;
            std::uint8_t d = kWaits;
            if (back) {
                pl.threshold[k] = ground(k) - near_c;
                d = kBackground;
            } else if (deep || step) {
                pl.threshold[k] = step ? std::max((own_ground + level) / 2, near_t) : near_t;
                d = kInside;
            } else {
                pl.threshold[k] = near_t;  // while it waits
            }
            pl.decision[k] = d;
            moved = moved || d != kWaits;
        }
        mine.moved = moved;
        barrier.arrive();
        for (const Share<Index>& s : shares) moved = moved || s.moved;
        // Settle the decided (where nothing else moves anywhere, only
        // shade is left: it lies inside) and keep the waiting at the
        // front's start; the newly reached follow them.
        std::size_t waiting = 0;
        for (std::size_t i = 0; i < wave; ++i) {
            const Place<Index> p = front[i];
            const std::int64_t k = p.k;
            const std::uint8_t d = pl.decision[k];
            if (d == kWaits && moved) {
                front[waiting++] = p;  // stays on the front
                continue;
            }
            if (d == kBackground) {
                if (steps) pl.ground[k] = median(k);
                pl.state[p.at] |= kOwn;
                pl.kind[k] = 2;
            } else {
                pl.kind[k] = 3;
            }
            pl.state[p.at] |= kSettled;
            join(p);
        }
        std::copy(front + wave, front + size, front + waiting);
        size = waiting + (size - wave);
        gather();
    }
}

// The waves on `workers` shares; false, with nothing done, when their
// threads cannot all start.
template <typename Index>
bool settle_in_shares(const SurfaceGrids& g, const SurfaceRule& rule, const Planes& pl, int workers) {
    std::vector<Share<Index>> shares(static_cast<std::size_t>(workers));
    for (int w = 0; w < workers; ++w) {
        Share<Index>& s = shares[static_cast<std::size_t>(w)];
        s.lo = run_start(g.rows, workers, w) * static_cast<std::int64_t>(g.cols);
        s.hi = run_start(g.rows, workers, w + 1) * static_cast<std::int64_t>(g.cols);
        s.front.make(static_cast<std::size_t>(s.hi - s.lo));  // a front holds a region once
        // A border row's regions reach three each across, and its ends
        // also the padding beside the next row.
        const auto across = static_cast<std::size_t>(3 * (static_cast<std::int64_t>(g.cols) + 2));
        if (w > 0) s.up.make(across);
        if (w + 1 < workers) s.down.make(across);
    }
    Barrier barrier(workers);
    return run_together(workers, [&](int w) { settle_share(g, rule, pl, shares, w, barrier); });
}

template <typename Index>
void settle_in_waves(const SurfaceGrids& g, const SurfaceRule& rule, const std::int32_t* row, const std::int32_t* col,
                     const double* threshold, const double* background, std::int64_t known_count, double* grid,
                     std::int8_t* kind, int threads) {
    // The grid padded by one never-settled cell on every side, so that every
    // inner cell has eight neighbours. Only the state is padded: the sums
    // read settled regions alone, which lie inside the grid. The thresholds
    // are written where they end up.
    const std::int64_t total = static_cast<std::int64_t>(g.rows) * g.cols;
    std::vector<double> contrast(static_cast<std::size_t>(total), 0.0);
    std::vector<double> ground(rule.steps ? static_cast<std::size_t>(total) : 0, 0.0);
    std::vector<std::uint8_t> decision(static_cast<std::size_t>(total), kWaits);
    const std::int64_t width = static_cast<std::int64_t>(g.cols) + 2;
    std::vector<std::uint8_t> state(static_cast<std::size_t>((static_cast<std::int64_t>(g.rows) + 2) * width), kQueued);
    Planes pl{state.data(), decision.data(), grid, contrast.data(), ground.data(), kind, width, {}, {}};
    int n = 0;
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            if (dy || dx) {
                pl.order[n] = dy * pl.width + dx;
                pl.step_k[n++] = static_cast<std::int64_t>(dy) * g.cols + dx;
            }
        }
    }
    std::fill(kind, kind + total, std::int8_t{0});
    std::fill(grid, grid + total, 0.0);
    for (std::int64_t r = 0; r < g.rows; ++r) std::fill_n(state.begin() + pl.at(r, 0), g.cols, std::uint8_t{0});
    for (std::int64_t i = 0; i < known_count; ++i) {
        const std::int64_t k = static_cast<std::int64_t>(row[i]) * g.cols + col[i];
        grid[k] = threshold[i];
        contrast[static_cast<std::size_t>(k)] = std::max(background[i] - threshold[i], 0.0);
        if (rule.steps) ground[static_cast<std::size_t>(k)] = background[i];
        state[static_cast<std::size_t>(pl.at(row[i], col[i]))] = kSettled | kOwn;
        kind[k] = 1;
    }
    // Below this many regions a thread and its barriers cost more than its
    // share saves. Generated scenes, 2 threads against 1 (median of 300):
    // 127 x 127 regions 1.24 against 0.82 ms, 191 x 191 1.10 against 1.74,
    // 255 x 255 1.9 against 3.1.
    constexpr std::int64_t kShareMin = 1 << 15;
    const int workers = total >= kShareMin ? worker_count(threads, g.rows / 16) : 1;
    if (!settle_in_shares<Index>(g, rule, pl, workers)) settle_in_shares<Index>(g, rule, pl, 1);
}

}  // namespace

void settle_surface(const SurfaceGrids& g, const SurfaceRule& rule, const std::int32_t* row, const std::int32_t* col,
                    const double* threshold, const double* background, std::int64_t known_count, double* grid,
                    std::int8_t* kind, int threads) {
    const std::int64_t padded = (static_cast<std::int64_t>(g.rows) + 2) * (static_cast<std::int64_t>(g.cols) + 2);
    if (padded <= std::numeric_limits<std::uint32_t>::max()) {
        settle_in_waves<std::uint32_t>(g, rule, row, col, threshold, background, known_count, grid, kind, threads);
    } else {
        settle_in_waves<std::int64_t>(g, rule, row, col, threshold, background, known_count, grid, kind, threads);
    }
}

}  // namespace zentrel
