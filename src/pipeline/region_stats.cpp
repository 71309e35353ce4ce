#include "pipeline/region_stats.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "bimodal/histogram.h"
#include "bimodal/region_grid.h"
#include "pipeline/workers.h"

namespace zentrel {

namespace {

constexpr int BINS = 256;
constexpr int MAX_WALKED_SHARES = 16;  // the default asks for 5

// Quantiles as compute_region_quantiles takes them: the lowest level whose
// cumulative count reaches share * k (compared in double), k > 0, with the
// occupied bins in lo..hi. Shares in ascending order (ascending: at most
// MAX_WALKED_SHARES of them) are found in one walk from lo; others each by a
// search.
// Written as float or as uint8 levels (Out), the same values. Inlined into
// the region loop: called apart, the pass took a twentieth longer (4096²
// scene, one thread).
template <class Out>
[[gnu::always_inline]] inline void histogram_quantiles(const std::int64_t* h, int lo, int hi, std::int64_t k,
                                                       const double* shares, int share_count, bool ascending,
                                                       Out* out) {
    if (ascending && k <= (std::int64_t{1} << 53)) {  // counts exact in double
        int n = 0;
        // Below lo the count is 0, which reaches only a need of 0 (or less), at level 0.
        for (; n < share_count && shares[n] * static_cast<double>(k) <= 0.0; ++n) out[n] = Out{0};
        // A count (exact in double) reaches a need exactly when it reaches the
        // need's ceiling, so the walk compares integers. Needs above k are
        // never reached.
        std::int64_t reach[MAX_WALKED_SHARES];
        for (int m = n; m < share_count; ++m) {
            const double need = shares[m] * static_cast<double>(k);
            reach[m] = need > static_cast<double>(k) ? k + 1 : static_cast<std::int64_t>(std::ceil(need));
        }
        std::int64_t seen = 0;
        for (int v = lo; v <= hi && n < share_count; ++v) {
            seen += h[v];
            while (n < share_count && seen >= reach[n]) out[n++] = static_cast<Out>(v);
        }
        // Shares above 1 are never reached: the search would stop at the last level.
        for (; n < share_count; ++n) out[n] = static_cast<Out>(BINS - 1);
        return;
    }
    std::int64_t cumulative[BINS];
    std::int64_t seen = 0;
    for (int v = 0; v < BINS; ++v) cumulative[v] = seen += (v >= lo && v <= hi) ? h[v] : 0;
    for (int n = 0; n < share_count; ++n) {
        const double need = shares[n] * static_cast<double>(k);
        const std::int64_t* at = std::lower_bound(cumulative, cumulative + BINS, need,
                                                  [](std::int64_t c, double x) { return static_cast<double>(c) < x; });
        out[n] = static_cast<Out>(std::min<std::ptrdiff_t>(at - cumulative, BINS - 1));
    }
}

struct Geometry {
    int region_size;
    int first_row;
    int first_col;
    int region_rows;
    int region_cols;
    std::vector<int> edges;  // image columns of the tile edges: origin(first_col + u), u = 0..region_cols + 1
};

// Tile row t over the block's tile columns: tiles[u * BINS + v] counts level v
// in tile (t, first_col + u).
template <class Count>
void count_tile_row(const Geometry& g, const ImageBlock8& image, int t, Count* tiles) {
    const int tile_count = g.region_cols + 1;
    std::fill(tiles, tiles + static_cast<std::size_t>(tile_count) * BINS, Count{0});
    const int top = region_origin(t, g.region_size);
    const int bottom = region_origin(t + 1, g.region_size);
    for (int y = top; y < bottom; ++y) {
        const std::uint8_t* row = image.at(y);
        for (int u = 0; u < tile_count; ++u) {
            Count* h = tiles + static_cast<std::size_t>(u) * BINS;
            const std::uint8_t* p = row + (g.edges[static_cast<std::size_t>(u)] - image.left);
            const int width = g.edges[static_cast<std::size_t>(u) + 1] - g.edges[static_cast<std::size_t>(u)];
            for (int x = 0; x < width; ++x) ++h[p[x]];
        }
    }
}

template <class Count>
struct alignas(64) WorkerBuffers {  // one cache line apart: workers write their own
    std::vector<Count> upper, lower, pairs;
    std::vector<int> low, high;  // occupied span of each pair of tiles (low > high: empty)
    bool carried = false;        // whether a tile row of the last region row is held
    std::int64_t histogram[BINS] = {};
};

template <class Count>
void add_tiles(const Count* tiles, int tile_count, std::int64_t* histogram) {
    for (int u = 0; u < tile_count; ++u) {
        const Count* h = tiles + static_cast<std::size_t>(u) * BINS;
        for (int v = 0; v < BINS; ++v) histogram[v] += static_cast<std::int64_t>(h[v]);
    }
}

// Region row i of the block (relative to first_row), from tile rows i
// (upper) and i + 1 (lower). A worker walks its region rows in a row,
// downwards or (backward) upwards, and carries the tile row two region
// rows share over to the next: each tile row is counted once, but for the
// one where two workers meet. With a histogram, tile row i is added with
// region row i, and the last tile row with the last region row: each once.
template <class Count>
void stats_row(const Geometry& g, const ImageBlock8& image, const RegionStatsOutput& out, int i, bool backward,
               bool ascending, WorkerBuffers<Count>& b) {
    const int tile_count = g.region_cols + 1;
    if (!b.carried) {
        count_tile_row(g, image, g.first_row + (backward ? i + 1 : i), backward ? b.lower.data() : b.upper.data());
        b.carried = true;
    }
    count_tile_row(g, image, g.first_row + (backward ? i : i + 1), backward ? b.upper.data() : b.lower.data());
    if (out.level_histogram) {
        add_tiles(b.upper.data(), tile_count, b.histogram);
        if (i + 1 == g.region_rows) add_tiles(b.lower.data(), tile_count, b.histogram);
    }
    // Each column of two tiles (upper over lower) and its occupied span.
    for (int u = 0; u < tile_count; ++u) {
        const std::size_t at = static_cast<std::size_t>(u) * BINS;
        Count* pair = b.pairs.data() + at;
        for (int v = 0; v < BINS; ++v) pair[v] = static_cast<Count>(b.upper[at + v] + b.lower[at + v]);
        // Four bins at a step through the empty ends (BINS is a multiple of 4).
        int lo = 0, hi = BINS - 1;
        while (lo < BINS && (pair[lo] | pair[lo + 1] | pair[lo + 2] | pair[lo + 3]) == 0) lo += 4;
        while (lo < BINS && pair[lo] == 0) ++lo;
        while (hi > lo + 3 && (pair[hi] | pair[hi - 1] | pair[hi - 2] | pair[hi - 3]) == 0) hi -= 4;
        while (hi >= lo && pair[hi] == 0) --hi;
        if (lo == BINS) hi = -1;  // empty (tiles of no width): min and max pass it over
        b.low[static_cast<std::size_t>(u)] = lo;
        b.high[static_cast<std::size_t>(u)] = hi;
    }
    std::int64_t region[BINS];
    for (int j = 0; j < g.region_cols; ++j) {
        const Count* left = b.pairs.data() + static_cast<std::size_t>(j) * BINS;
        const Count* right = left + BINS;
        const int lo = std::min(b.low[static_cast<std::size_t>(j)], b.low[static_cast<std::size_t>(j) + 1]);
        const int hi = std::max(b.high[static_cast<std::size_t>(j)], b.high[static_cast<std::size_t>(j) + 1]);
        std::int64_t k = 0;
        for (int v = lo; v <= hi; ++v) {
            region[v] = static_cast<std::int64_t>(left[v]) + static_cast<std::int64_t>(right[v]);
            k += region[v];
        }
        // k = R*R > 0: a region covers its two rows and columns of tiles whole.
        float* variance = out.variance ? out.variance[i] + j : nullptr;
        const std::size_t at = static_cast<std::size_t>(j) * out.share_count;
        if (variance) *variance = histogram_variance(region, lo, hi, k);
        auto quantiles_into = [&](auto* cells) {
            histogram_quantiles(region, lo, hi, k, out.shares, out.share_count, ascending, cells + at);
        };
        if (out.quantiles) {
            quantiles_into(out.quantiles[i]);
        } else if (out.quantile_levels) {
            quantiles_into(out.quantile_levels[i]);
        }
    }
    // The shared tile row becomes the next region row's upper (going down) or lower (going up).
    std::swap(b.upper, b.lower);
}

// Small regions (exact_integer_sums: R 16 and less) build no region
// histogram: the variance comes from the pixels' integer sums, and a
// quantile is found among 16 coarse bins (a level's upper four bits), then
// among the 16 levels of one, reading the four tiles' counts where the walk
// goes. A tile holds at most 8 x 8 pixels, so a byte counts a bin.
constexpr int COARSE = 16;
constexpr int FINE_PER_COARSE = BINS / COARSE;

struct alignas(64) SmallRow {  // the counts of one tile row
    std::vector<std::uint8_t> fine;    // [u * BINS + v]
    std::vector<std::uint8_t> coarse;  // [u * COARSE + v / 16]
    std::vector<std::int32_t> sum, squares, pixels;  // [u]
    void resize(int tile_count) {
        fine.resize(static_cast<std::size_t>(tile_count) * BINS);
        coarse.resize(static_cast<std::size_t>(tile_count) * COARSE);
        sum.resize(static_cast<std::size_t>(tile_count));
        squares.resize(static_cast<std::size_t>(tile_count));
        pixels.resize(static_cast<std::size_t>(tile_count));
    }
};

struct alignas(64) SmallBuffers {
    SmallRow upper, lower;
    bool carried = false;
    std::int64_t histogram[BINS] = {};
};

void count_small_row(const Geometry& g, const ImageBlock8& image, int t, SmallRow& r) {
    std::fill(r.fine.begin(), r.fine.end(), std::uint8_t{0});
    const int top = region_origin(t, g.region_size);
    const int bottom = region_origin(t + 1, g.region_size);
    for (int u = 0; u <= g.region_cols; ++u) {
        const std::size_t at = static_cast<std::size_t>(u);
        const int left = g.edges[at], width = g.edges[at + 1] - left;
        std::uint8_t* fine = r.fine.data() + at * BINS;
        std::uint8_t* coarse = r.coarse.data() + at * COARSE;
        std::int32_t sum = 0, squares = 0;
        for (int y = top; y < bottom; ++y) {
            const std::uint8_t* p = image.at(y) + (left - image.left);
            for (int x = 0; x < width; ++x) {
                const int v = p[x];
                ++fine[v];
                sum += v;
                squares += v * v;
            }
        }
        // Summed from the fine bins, not counted beside them: a tile's levels
        // mostly share a coarse bin, and each count would wait for the last.
        for (int c = 0; c < COARSE; ++c) {
            int count = 0;
            for (int v = 0; v < FINE_PER_COARSE; ++v) count += fine[c * FINE_PER_COARSE + v];
            coarse[c] = static_cast<std::uint8_t>(count);
        }
        r.sum[at] = sum;
        r.squares[at] = squares;
        r.pixels[at] = width * (bottom - top);
    }
}

// Region row i from tile rows i (upper) and i + 1 (lower), carried over as
// stats_row does.
void small_stats_row(const Geometry& g, const ImageBlock8& image, const RegionStatsOutput& out, int i,
                     bool backward, SmallBuffers& b) {
    if (!b.carried) {
        count_small_row(g, image, g.first_row + (backward ? i + 1 : i), backward ? b.lower : b.upper);
        b.carried = true;
    }
    count_small_row(g, image, g.first_row + (backward ? i : i + 1), backward ? b.upper : b.lower);
    const int tile_count = g.region_cols + 1;
    if (out.level_histogram) {
        add_tiles(b.upper.fine.data(), tile_count, b.histogram);
        if (i + 1 == g.region_rows) add_tiles(b.lower.fine.data(), tile_count, b.histogram);
    }
    for (int j = 0; j < g.region_cols; ++j) {
        const std::size_t left = static_cast<std::size_t>(j), right = left + 1;
        const SmallRow& up = b.upper;
        const SmallRow& low = b.lower;
        const std::int64_t k = std::int64_t{up.pixels[left]} + up.pixels[right] + low.pixels[left] + low.pixels[right];
        if (out.variance) {
            const std::int64_t sum = std::int64_t{up.sum[left]} + up.sum[right] + low.sum[left] + low.sum[right];
            const std::int64_t squares =
                std::int64_t{up.squares[left]} + up.squares[right] + low.squares[left] + low.squares[right];
            out.variance[i][j] = sums_variance(sum, squares, k);
        }
        const std::uint8_t* fine[4] = {up.fine.data() + left * BINS, up.fine.data() + right * BINS,
                                       low.fine.data() + left * BINS, low.fine.data() + right * BINS};
        const std::uint8_t* coarse[4] = {up.coarse.data() + left * COARSE, up.coarse.data() + right * COARSE,
                                         low.coarse.data() + left * COARSE, low.coarse.data() + right * COARSE};
        std::int32_t bins[COARSE];
        for (int c = 0; c < COARSE; ++c) bins[c] = coarse[0][c] + coarse[1][c] + coarse[2][c] + coarse[3][c];
        // As histogram_quantiles' walk: the lowest level whose cumulative
        // count reaches each need's ceiling (k is exact in double).
        std::uint8_t levels[MAX_WALKED_SHARES];
        std::int64_t seen = 0;  // the pixels below coarse bin c
        int c = 0;
        for (int n = 0; n < out.share_count; ++n) {
            const double need = out.shares[n] * static_cast<double>(k);
            if (need <= 0.0) {
                levels[n] = 0;
                continue;
            }
            if (!(need <= static_cast<double>(k))) {
                levels[n] = BINS - 1;
                continue;
            }
            const auto reach = static_cast<std::int64_t>(std::ceil(need));
            while (seen + bins[c] < reach) seen += bins[c++];
            std::int64_t count = seen;
            int v = c * FINE_PER_COARSE;
            for (;; ++v) {
                count += fine[0][v] + fine[1][v] + fine[2][v] + fine[3][v];
                if (count >= reach) break;
            }
            levels[n] = static_cast<std::uint8_t>(v);
        }
        const std::size_t at = static_cast<std::size_t>(j) * out.share_count;
        for (int n = 0; n < out.share_count; ++n) {
            if (out.quantiles) {
                out.quantiles[i][at + n] = levels[n];
            } else if (out.quantile_levels) {
                out.quantile_levels[i][at + n] = levels[n];
            }
        }
    }
    std::swap(b.upper, b.lower);
}

void run_small_stats(const PipelineContext& context, const Geometry& g, const ImageBlock8& image,
                     const RegionStatsOutput& out) {
    const int workers = worker_count(context.threads, g.region_rows);
    std::vector<SmallBuffers> buffers(static_cast<std::size_t>(workers));
    for (auto& b : buffers) {
        b.upper.resize(g.region_cols + 1);
        b.lower.resize(g.region_cols + 1);
    }
    run_from_both_ends(workers, g.region_rows, [&](int i, int w, bool backward) {
        small_stats_row(g, image, out, i, backward, buffers[static_cast<std::size_t>(w)]);
    });
    if (out.level_histogram) {
        for (const auto& b : buffers) {
            for (int v = 0; v < BINS; ++v) out.level_histogram[v] += b.histogram[v];
        }
    }
}

// Pixels of rows [top, bottom) and columns [left, right) into histogram.
void count_rest(const ImageBlock8& image, int top, int bottom, int left, int right, std::int64_t* histogram) {
    for (int y = top; y < bottom; ++y) {
        const std::uint8_t* row = image.at(y);
        for (int x = left; x < right; ++x) ++histogram[row[x - image.left]];
    }
}

// ascending: the shares are found in one walk (histogram_quantiles).
template <class Count>
void run_stats(const PipelineContext& context, const Geometry& g, const ImageBlock8& image,
               const RegionStatsOutput& out, bool ascending) {
    const int workers = worker_count(context.threads, g.region_rows);
    const std::size_t n = static_cast<std::size_t>(g.region_cols + 1) * BINS;
    // Allocated here, so that a failure throws in the caller's thread.
    std::vector<WorkerBuffers<Count>> buffers(static_cast<std::size_t>(workers));
    for (auto& b : buffers) {
        b.upper.resize(n);
        b.lower.resize(n);
        b.pairs.resize(n);
        b.low.resize(static_cast<std::size_t>(g.region_cols) + 1);
        b.high.resize(static_cast<std::size_t>(g.region_cols) + 1);
    }
    run_from_both_ends(workers, g.region_rows, [&](int i, int w, bool backward) {
        stats_row(g, image, out, i, backward, ascending, buffers[static_cast<std::size_t>(w)]);
    });
    if (out.level_histogram) {
        for (const auto& b : buffers) {
            for (int v = 0; v < BINS; ++v) out.level_histogram[v] += b.histogram[v];
        }
    }
}

}  // namespace

void compute_region_stats(const PipelineContext& context, int region_rows, int region_cols, int region_size,
                          const ImageBlock8& image, const RegionStatsOutput& out, int first_row, int first_col) {
    const bool has_regions = region_rows > 0 && region_cols > 0;
    if (out.level_histogram) {
        std::fill(out.level_histogram, out.level_histogram + BINS, std::int64_t{0});
        if (image.top != 0 || image.left != 0 || (has_regions && (first_row != 0 || first_col != 0))) {
            throw std::invalid_argument("compute_region_stats: the level histogram needs the whole image");
        }
    }
    int covered_rows = 0, covered_cols = 0;  // the tiles' extent, from (0, 0)
    if (has_regions) {
        Geometry g{region_size, first_row, first_col, region_rows, region_cols, {}};
        g.edges.resize(static_cast<std::size_t>(region_cols) + 2);
        for (int u = 0; u <= region_cols + 1; ++u) g.edges[static_cast<std::size_t>(u)] = region_origin(first_col + u, region_size);
        // The tile counters hold sums of two tiles, one over the other: at
        // most R x ceil(R / 2) pixels. 16 bits, where they hold them, halve
        // a worker's tile rows (at R 32 the pass takes a tenth less time;
        // bytes, at R 16 and less, made it a fifth slower).
        const std::int64_t pair_max = static_cast<std::int64_t>(region_size) * ((region_size + 1) / 2);
        const bool ascending = out.share_count <= MAX_WALKED_SHARES &&
                               std::is_sorted(out.shares, out.shares + out.share_count);
        if (ascending && exact_integer_sums(static_cast<std::int64_t>(region_size) * region_size)) {
            run_small_stats(context, g, image, out);
        } else if (pair_max <= std::numeric_limits<std::uint16_t>::max()) {
            run_stats<std::uint16_t>(context, g, image, out, ascending);
        } else if (pair_max <= std::numeric_limits<std::uint32_t>::max()) {
            run_stats<std::uint32_t>(context, g, image, out, ascending);
        } else {
            run_stats<std::uint64_t>(context, g, image, out, ascending);
        }
        covered_rows = region_origin(region_rows + 1, region_size);
        covered_cols = region_origin(region_cols + 1, region_size);
    }
    if (out.level_histogram) {
        count_rest(image, 0, covered_rows, covered_cols, out.image_cols, out.level_histogram);
        count_rest(image, covered_rows, out.image_rows, 0, out.image_cols, out.level_histogram);
    }
}

}  // namespace zentrel
