#include "pipeline/pixel_threshold.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "numeric/isa.h"
#include "pipeline/median3.h"
#include "pipeline/workers.h"

namespace zentrel {

namespace {

constexpr std::uint8_t ON = 255;
constexpr std::uint8_t OFF = 0;

// Truncation toward zero of a threshold. A NaN or a value outside the int32
// range has no defined conversion in C++; such values give INT32_MIN, which is
// what the x86-64 conversion instruction yields for them.
inline std::int32_t truncate_threshold(float t) {
    if (t >= -2147483648.0f && t < 2147483648.0f) return static_cast<std::int32_t>(t);
    return std::numeric_limits<std::int32_t>::min();
}

// When every grid value is finite and within this magnitude, every bilinear
// threshold (a convex combination of four of them, rounded a few times) is
// well inside the int32 range and the plain conversion is safe.
constexpr float PLAIN_CAST_LIMIT = 16777216.0f;

template <class Pixel>
struct Layout {
    int rows;
    int cols;
    int h;
    float hf;
    int region_rows;
    int region_cols;
    int top_end;       // first row below the top band: h
    int bottom_start;  // first row of the bottom band: h * region_rows
    int left_end;      // first column right of the left band: h
    int right_start;   // first column of the right band: h * region_cols
    int first_col;     // the block's columns: first_col .. last_col - 1
    int last_col;
    int first_row;     // the block's rows: first_row .. last_row - 1
    int last_row;
    float** grid;
    float** core;  // when set, ink not below this grid's threshold becomes a mark
    BasicImageBlock<Pixel> image;
    std::int16_t* const* output16;  // one of the two is set
    std::uint8_t* const* output8;
    float* surface;
    const MedianLevels* median;  // when set, the block's pixels are its levels' 3x3 medians
    bool plain_cast;  // interior thresholds convert without a range check
    bool avx2;        // the interior runs in 8-wide vectors (same bits)
};

// For the node row a in use, a grid's horizontal interpolations along the
// upper and lower node rows.
struct NodeRows {
    std::vector<float> upper;
    std::vector<float> lower;
    int node_row = -1;
};

// Per-worker storage: the byte row, the node rows of the grid (and of the
// core grid), and the core decision's row.
struct alignas(64) Scratch {  // one cache line apart: each worker writes node_row
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint8_t> medians, sorted;  // a row's 3x3 medians, and their working columns
    NodeRows nodes, core_nodes;
    std::vector<std::uint8_t> core_bytes;
    std::int64_t marks = 0;
};

// Pointers of a block row hold columns first_col .. last_col - 1: image
// column j is element j - first_col. The runs below take image columns and
// keep to the block's.

// Columns [first, last) compared with one node value t: p >= trunc(t).
template <class Pixel>
inline void step_run(const Layout<Pixel>& L, const Pixel* p, std::uint8_t* out, float* surface_row,
                     int first, int last, float t) {
    first = std::max(first, L.first_col) - L.first_col;
    last = std::min(last, L.last_col) - L.first_col;
    if (first >= last) return;
    const std::int32_t ti = truncate_threshold(t);
    for (int j = first; j < last; ++j) out[j] = p[j] >= ti ? ON : OFF;
    if (surface_row) std::fill(surface_row + first, surface_row + last, t);
}

// The right band: float(p) > t, strictly and without truncation.
template <class Pixel>
inline void strict_run(const Layout<Pixel>& L, const Pixel* p, std::uint8_t* out, float* surface_row,
                       int first, int last, float t) {
    first = std::max(first, L.first_col) - L.first_col;
    last = std::min(last, L.last_col) - L.first_col;
    for (int j = first; j < last; ++j) out[j] = static_cast<float>(p[j]) > t ? ON : OFF;
    if (first < last && surface_row) std::fill(surface_row + first, surface_row + last, t);
}

// The interior columns of the block: [interior_first, interior_last).
template <class Pixel>
inline int interior_first(const Layout<Pixel>& L) { return std::max(L.left_end, L.first_col); }
template <class Pixel>
inline int interior_last(const Layout<Pixel>& L) { return std::min(L.right_start, L.last_col); }

// upper and lower along node rows a and a + 1 for every interior column of
// the block: (fc * G[.][b+1] + (hf - fc) * G[.][b]) / hf. Each value depends
// on its column alone, so a block computes what the whole image would.
template <class Pixel>
void interpolate_node_rows(const Layout<Pixel>& L, float** grid, int a, NodeRows& s) {
    const float* g0 = grid[a];
    const float* g1 = grid[a + 1];
    const float hf = L.hf;
    const int first = interior_first(L);
    for (int j = first; j < interior_last(L); ++j) {
        const int b = (j - L.h) / L.h;
        const float fc = static_cast<float>(j % L.h);
        const std::size_t k = static_cast<std::size_t>(j - first);
        s.upper[k] = (fc * g0[b + 1] + (hf - fc) * g0[b]) / hf;
        s.lower[k] = (fc * g1[b + 1] + (hf - fc) * g1[b]) / hf;
    }
    s.node_row = a;
}

// T = (lower * fr + upper * (hf - fr)) / hf, then p >= trunc(T), for n
// columns. Element by element IEEE operations: every build of it gives the
// same bits.
template <bool PlainCast, class Pixel>
ZENTREL_FORCE_INLINE void interior_body(const float* ZENTREL_RESTRICT upper, const float* ZENTREL_RESTRICT lower,
                                        float fr, float rest, float hf, const Pixel* ZENTREL_RESTRICT pi,
                                        std::uint8_t* ZENTREL_RESTRICT oi, float* ZENTREL_RESTRICT si, int n) {
    if (si) {
        for (int k = 0; k < n; ++k) {
            const float t = (lower[k] * fr + upper[k] * rest) / hf;
            const std::int32_t ti = PlainCast ? static_cast<std::int32_t>(t) : truncate_threshold(t);
            oi[k] = static_cast<std::int32_t>(pi[k]) >= ti ? ON : OFF;
            si[k] = t;
        }
    } else {
        for (int k = 0; k < n; ++k) {
            const float t = (lower[k] * fr + upper[k] * rest) / hf;
            const std::int32_t ti = PlainCast ? static_cast<std::int32_t>(t) : truncate_threshold(t);
            oi[k] = static_cast<std::int32_t>(pi[k]) >= ti ? ON : OFF;
        }
    }
}

template <bool PlainCast, class Pixel>
void interior_portable(const float* upper, const float* lower, float fr, float rest, float hf, const Pixel* pi,
                       std::uint8_t* oi, float* si, int n) {
    interior_body<PlainCast>(upper, lower, fr, rest, hf, pi, oi, si, n);
}

#if ZENTREL_HAVE_AVX2
template <bool PlainCast, class Pixel>
ZENTREL_TARGET_AVX2 void interior_avx2(const float* upper, const float* lower, float fr, float rest, float hf,
                                       const Pixel* pi, std::uint8_t* oi, float* si, int n) {
    interior_body<PlainCast>(upper, lower, fr, rest, hf, pi, oi, si, n);
}
#endif

template <bool PlainCast, class Pixel>
void interior_run(const Layout<Pixel>& L, const NodeRows& s, float fr, const Pixel* p, std::uint8_t* out,
                  float* surface_row) {
    const float rest = L.hf - fr;
    const int first = interior_first(L) - L.first_col;
    const int n = interior_last(L) - interior_first(L);
    float* si = surface_row ? surface_row + first : nullptr;
#if ZENTREL_HAVE_AVX2
    if (L.avx2) {
        interior_avx2<PlainCast>(s.upper.data(), s.lower.data(), fr, rest, L.hf, p + first, out + first, si, n);
        return;
    }
#endif
    interior_portable<PlainCast>(s.upper.data(), s.lower.data(), fr, rest, L.hf, p + first, out + first, si, n);
}

// Row i's pixels from the block's first column on: the levels as they are,
// or their 3x3 medians.
template <class Pixel>
const Pixel* block_row(const Layout<Pixel>& L, int i, Scratch& s) {
    if constexpr (std::is_same_v<Pixel, std::uint8_t>) {
        if (L.median) {
            const MedianLevels& m = *L.median;
            const int top = m.levels.top, bottom = m.levels.top + m.rows - 1;
            median3_row(m.levels.at(std::max(i - 1, top)), m.levels.at(i), m.levels.at(std::min(i + 1, bottom)),
                        m.levels.left, m.levels.left, m.levels.left + m.cols - 1, L.first_col, L.last_col,
                        s.sorted.data(), s.medians.data());
            return s.medians.data();
        }
    }
    return L.image.at(i) + (L.first_col - L.image.left);
}

// One image row's pixels p against a grid: every part it crosses, into out
// (from the block's first column on).
template <class Pixel>
void decide_parts(const Layout<Pixel>& L, float** grid, NodeRows& nodes, int i, const Pixel* p, std::uint8_t* out,
                  float* surface_row) {
    if (i < L.top_end || i >= L.bottom_start) {
        // Top or bottom band with its two corners: steps along node row 0 or
        // the last node row.
        const float* g = grid[i < L.top_end ? 0 : L.region_rows - 1];
        step_run(L, p, out, surface_row, 0, L.left_end, g[0]);
        // Node columns before the block's first column are skipped.
        int b = L.h > 0 && L.first_col > L.left_end ? (L.first_col - L.left_end) / L.h : 0;
        for (int j = L.left_end + b * L.h; j < L.right_start && j < L.last_col; j += L.h, ++b) {
            step_run(L, p, out, surface_row, j, std::min(j + L.h, L.right_start), g[b]);
        }
        step_run(L, p, out, surface_row, L.right_start, L.cols, g[L.region_cols - 1]);
    } else {
        const int a = (i - L.h) / L.h;
        step_run(L, p, out, surface_row, 0, L.left_end, grid[a][0]);
        if (interior_last(L) > interior_first(L)) {
            if (nodes.node_row != a) interpolate_node_rows(L, grid, a, nodes);
            const float fr = static_cast<float>(i % L.h);
            if (L.plain_cast) {
                interior_run<true>(L, nodes, fr, p, out, surface_row);
            } else {
                interior_run<false>(L, nodes, fr, p, out, surface_row);
            }
        }
        strict_run(L, p, out, surface_row, L.right_start, L.cols, grid[a][L.region_cols - 1]);
    }
}

// One image row of the block, straight into a uint8 output row, or into the
// byte row and then one copy to an int16 output; with a core grid, the
// row's ink that does not lie below the core threshold becomes a mark (1).
template <class Pixel>
void decide_row(const Layout<Pixel>& L, int i, Scratch& s) {
    const Pixel* p = block_row(L, i, s);
    const std::size_t k = static_cast<std::size_t>(i - L.first_row);
    std::uint8_t* out = L.output8 ? L.output8[k] : s.bytes.data();
    const int width = L.last_col - L.first_col;
    float* surface_row =
        L.surface ? L.surface + static_cast<std::size_t>(i - L.first_row) * static_cast<std::size_t>(width)
                  : nullptr;
    decide_parts(L, L.grid, s.nodes, i, p, out, surface_row);
    if (L.core) {
        std::uint8_t* ZENTREL_RESTRICT deep = s.core_bytes.data();
        decide_parts(L, L.core, s.core_nodes, i, p, deep, nullptr);
        std::uint8_t* ZENTREL_RESTRICT row = out;
        int marks = 0;
        for (int j = 0; j < width; ++j) {  // ink (0) | 1 is a mark
            const auto mark = static_cast<std::uint8_t>((row[j] == OFF) & (deep[j] != OFF));
            row[j] = static_cast<std::uint8_t>(row[j] | mark);
            marks += mark;
        }
        s.marks += marks;
    }

    if (!L.output8) std::copy(out, out + width, L.output16[k]);
}

template <class Pixel>
void decide_rows(const Layout<Pixel>& L, int first, int last, Scratch& s) {
    for (int i = first; i < last; ++i) decide_row(L, i, s);
}

bool grid_within(float** grid, int region_rows, int region_cols, float limit) {
    for (int a = 0; a < region_rows; ++a) {
        for (int b = 0; b < region_cols; ++b) {
            if (!(std::fabs(grid[a][b]) <= limit)) return false;
        }
    }
    return true;
}

template <class Pixel, class Out>
void run_threshold_pixels(int region_rows, int region_cols, float** threshold_grid, int rows, int cols,
                          int region_size, const BasicImageBlock<Pixel>& image16, Out* const* output_rows,
                          int threads, float* surface, int block_rows, int block_cols,
                          const MedianLevels* median = nullptr, float** core = nullptr,
                          std::int64_t* marks = nullptr) {
    if (region_rows < 1 || region_cols < 1 || region_size < 1) {
        throw std::invalid_argument("threshold_pixels: empty region grid or region size below 1");
    }
    if (block_rows < 0) block_rows = rows - image16.top;
    if (block_cols < 0) block_cols = cols - image16.left;
    if (image16.top < 0 || image16.left < 0 || block_rows > rows - image16.top ||
        block_cols > cols - image16.left) {
        throw std::invalid_argument("threshold_pixels: the block reaches outside the image");
    }
    if (block_rows < 1 || block_cols < 1) return;

    Layout<Pixel> L;
    L.rows = rows;
    L.cols = cols;
    L.h = region_size / 2;
    L.hf = static_cast<float>(L.h);
    L.region_rows = region_rows;
    L.region_cols = region_cols;
    // The grid counts guarantee h * region_rows <= rows - h; the clamps keep a
    // caller with other counts inside the image (and inside the grid, since
    // every node index stays below the count it derives from).
    const std::int64_t h64 = L.h;
    L.top_end = static_cast<int>(std::min<std::int64_t>(h64, rows));
    L.bottom_start = static_cast<int>(std::min<std::int64_t>(h64 * region_rows, rows));
    L.left_end = static_cast<int>(std::min<std::int64_t>(h64, cols));
    L.right_start = static_cast<int>(std::min<std::int64_t>(h64 * region_cols, cols));
    L.first_row = image16.top;
    L.last_row = image16.top + block_rows;
    L.first_col = image16.left;
    L.last_col = image16.left + block_cols;
    L.grid = threshold_grid;
    L.core = core;
    L.image = image16;
    if constexpr (std::is_same_v<Out, std::uint8_t>) {
        L.output8 = output_rows;
        L.output16 = nullptr;
    } else {
        L.output8 = nullptr;
        L.output16 = output_rows;
    }
    L.surface = surface;
    L.median = median;
    L.plain_cast = grid_within(threshold_grid, region_rows, region_cols, PLAIN_CAST_LIMIT) &&
                   (!core || grid_within(core, region_rows, region_cols, PLAIN_CAST_LIMIT));
    L.avx2 = preferred_isa() != Isa::portable;

    const int workers = worker_count(threads, block_rows);
    const std::size_t interior_cols =
        static_cast<std::size_t>(std::max(0, interior_last(L) - interior_first(L)));

    // All scratch is allocated here, so a failure throws in the caller's
    // thread and the workers themselves never allocate.
    std::vector<Scratch> scratch(static_cast<std::size_t>(workers));
    for (Scratch& s : scratch) {
        if (!L.output8) s.bytes.resize(static_cast<std::size_t>(block_cols));  // uint8 output is written in place
        if (median) {
            s.medians.resize(static_cast<std::size_t>(block_cols));
            s.sorted.resize(3 * (static_cast<std::size_t>(block_cols) + 2));
        }
        s.nodes.upper.resize(interior_cols);
        s.nodes.lower.resize(interior_cols);
        if (core) {
            s.core_nodes.upper.resize(interior_cols);
            s.core_nodes.lower.resize(interior_cols);
            s.core_bytes.resize(static_cast<std::size_t>(block_cols));
        }
    }
    // Rows in runs of about a 32nd of a worker's share, each to the first
    // worker free: a run costs no set-up beyond its rows.
    run_chunks(workers, block_rows, run_size(block_rows, workers, 32, 8), [&](int begin, int end, int w) {
        decide_rows(L, L.first_row + begin, L.first_row + end, scratch[static_cast<std::size_t>(w)]);
    });
    if (marks) {
        *marks = 0;
        for (const Scratch& s : scratch) *marks += s.marks;
    }
}

}  // namespace

template <class Out>
void threshold_pixels(int region_rows, int region_cols, float** threshold_grid, int rows, int cols,
                      int region_size, const ImageBlock& image16, Out* const* output_rows,
                      int threads, float* surface, int block_rows, int block_cols) {
    run_threshold_pixels(region_rows, region_cols, threshold_grid, rows, cols, region_size, image16, output_rows,
                         threads, surface, block_rows, block_cols);
}

void threshold_pixels(int region_rows, int region_cols, float** threshold_grid, int rows, int cols,
                      int region_size, const ImageBlock8& image, std::uint8_t* const* output_rows,
                      int threads, float* surface, int block_rows, int block_cols, float** core,
                      std::int64_t* marks) {
    run_threshold_pixels(region_rows, region_cols, threshold_grid, rows, cols, region_size, image, output_rows,
                         threads, surface, block_rows, block_cols, nullptr, core, marks);
}

void threshold_pixels(int region_rows, int region_cols, float** threshold_grid, int rows, int cols,
                      int region_size, const MedianLevels& median, int top, int left,
                      std::uint8_t* const* output_rows, int threads, float* surface, int block_rows, int block_cols,
                      float** core, std::int64_t* marks) {
    const int bottom = median.levels.top + median.rows, right = median.levels.left + median.cols;
    if (block_rows > 0 && block_cols > 0 &&
        (top < median.levels.top || left < median.levels.left || top + block_rows > bottom || left + block_cols > right)) {
        throw std::invalid_argument("threshold_pixels: the block reaches outside its levels");
    }
    // The block's position alone: its pixels come from the medians.
    const ImageBlock8 block(nullptr, top, left);
    run_threshold_pixels(region_rows, region_cols, threshold_grid, rows, cols, region_size, block, output_rows,
                         threads, surface, block_rows, block_cols, &median, core, marks);
}

template void threshold_pixels<std::int16_t>(int, int, float**, int, int, int, const ImageBlock&,
                                             std::int16_t* const*, int, float*, int, int);
template void threshold_pixels<std::uint8_t>(int, int, float**, int, int, int, const ImageBlock&,
                                             std::uint8_t* const*, int, float*, int, int);

}  // namespace zentrel
