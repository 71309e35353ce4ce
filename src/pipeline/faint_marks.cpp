#include "pipeline/faint_marks.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "numeric/isa.h"
#include "pipeline/workers.h"

namespace zentrel {

namespace {

constexpr std::uint8_t INK = 0, MARK = 1, PAPER = 255;

// f(y, x) on (r, c) and its 8 neighbours within rows first .. last - 1 and
// columns 0 .. cols - 1; true as soon as f is.
template <class F>
bool any_around(int r, int c, int first, int last, int cols, F&& f) {
    for (int y = std::max(r - 1, first); y <= std::min(r + 1, last - 1); ++y) {
        for (int x = std::max(c - 1, 0); x <= std::min(c + 1, cols - 1); ++x) {
            if (f(y, x)) return true;
        }
    }
    return false;
}

// The 8-connected pieces of a block's ink and marks, each flooded from its
// first pixel in row-by-row order. take(y, x, label) claims a pixel for the
// piece numbered label (1, 2, ...) and gives its level, or PAPER where it
// is paper or claimed already. Returns per label whether its piece holds
// ink (element 0, no piece: false), and (when sizes is not null) its count
// of pixels.
template <class Take>
std::vector<bool> flood_pieces(int n_rows, int n_cols, std::vector<std::int64_t>* sizes, Take&& take) {
    std::vector<bool> inked(1, false);
    if (sizes) sizes->assign(1, 0);
    std::vector<std::pair<int, int>> stack;
    for (int r = 0; r < n_rows; ++r) {
        for (int c = 0; c < n_cols; ++c) {
            const auto label = static_cast<std::int32_t>(inked.size());
            const std::uint8_t first = take(r, c, label);
            if (first == PAPER) continue;
            bool ink = first == INK;
            std::int64_t count = 0;
            stack.emplace_back(r, c);
            while (!stack.empty()) {
                const auto [y0, x0] = stack.back();
                stack.pop_back();
                ++count;
                any_around(y0, x0, 0, n_rows, n_cols, [&](int y, int x) {
                    const std::uint8_t level = take(y, x, label);
                    if (level != PAPER) {
                        ink = ink || level == INK;
                        stack.emplace_back(y, x);
                    }
                    return false;
                });
            }
            inked.push_back(ink);
            if (sizes) sizes->push_back(count);
        }
    }
    return inked;
}

// The marks of rows first .. last - 1 joined to ink through marks within
// them (or, with the whole image's bounds, anywhere) turn to ink. Pixels
// wait in the stack as row * cols + column: Index is 32 bits wide where
// the block allows, halving the stack of a large connected piece.
template <class Index>
class Flood {
public:
    Flood(std::uint8_t* const* rows, int cols, int first, int last) : rows_(rows), cols_(cols), first_(first), last_(last) {}

    // From a mark at (r, c) known to touch ink.
    void from(int r, int c) {
        rows_[r][c] = INK;
        push(r, c);
        while (!stack_.empty()) {
            const Index at = stack_.back();
            stack_.pop_back();
            const int y0 = static_cast<int>(at / static_cast<Index>(cols_));
            const int x0 = static_cast<int>(at % static_cast<Index>(cols_));
            any_around(y0, x0, first_, last_, cols_, [&](int y, int x) {
                if (rows_[y][x] == MARK) {
                    rows_[y][x] = INK;
                    push(y, x);
                }
                return false;
            });
        }
    }

    bool touches_ink(int r, int c) const {
        return any_around(r, c, first_, last_, cols_, [&](int y, int x) { return rows_[y][x] == INK; });
    }

    // Every mark of rows from .. to - 1 that touches ink floods.
    void scan(int from_row, int to_row) {
        for (int r = from_row; r < to_row; ++r) {
            std::uint8_t* row = rows_[r];
            std::uint8_t* at = row;
            std::uint8_t* const end = row + cols_;
            while ((at = static_cast<std::uint8_t*>(std::memchr(at, MARK, static_cast<std::size_t>(end - at))))) {
                const int c = static_cast<int>(at - row);
                if (touches_ink(r, c)) from(r, c);
                ++at;
            }
        }
    }

private:
    void push(int r, int c) { stack_.push_back(static_cast<Index>(r) * static_cast<Index>(cols_) + static_cast<Index>(c)); }

    std::uint8_t* const* rows_;
    int cols_, first_, last_;
    std::vector<Index> stack_;
};

template <class Index>
void flood_all(std::uint8_t* const* output_rows, int rows, int cols, int threads) {
    // Each worker floods within its own rows; then the marks along each seam
    // that touch ink across it flood over the whole image. A mark joined to
    // ink through a seam is reached either way, so the result is the same.
    const int workers = worker_count(threads, rows);
    run_workers(workers, [&](int w) {
        const int first = run_start(rows, workers, w), last = run_start(rows, workers, w + 1);
        Flood<Index>(output_rows, cols, first, last).scan(first, last);
    });
    Flood<Index> whole(output_rows, cols, 0, rows);
    for (int w = 1; w < workers; ++w) {
        const int seam = run_start(rows, workers, w);
        whole.scan(seam - 1, seam + 1);
    }
    run_workers(workers, [&](int w) {
        for (int r = run_start(rows, workers, w); r < run_start(rows, workers, w + 1); ++r) {
            std::uint8_t* ZENTREL_RESTRICT row = output_rows[r];
            const int width = cols;
            for (int c = 0; c < width; ++c) row[c] = row[c] == MARK ? PAPER : row[c];
        }
    });
}

}  // namespace

void keep_reached(std::uint8_t* const* output_rows, int rows, int cols, int threads) {
    if (rows <= 0 || cols <= 0) return;
    if (static_cast<std::uint64_t>(rows) * static_cast<std::uint64_t>(cols) <= 0xFFFFFFFFull) {
        flood_all<std::uint32_t>(output_rows, rows, cols, threads);
    } else {
        flood_all<std::uint64_t>(output_rows, rows, cols, threads);
    }
}

std::vector<bool> label_pieces(const std::uint8_t* const* rows, int n_rows, int n_cols, std::int32_t* labels,
                               std::vector<std::int64_t>* sizes) {
    const std::size_t width = static_cast<std::size_t>(n_cols > 0 ? n_cols : 0);
    std::fill(labels, labels + width * static_cast<std::size_t>(n_rows > 0 ? n_rows : 0), 0);
    return flood_pieces(n_rows, n_cols, sizes, [&](int y, int x, std::int32_t label) {
        std::int32_t& at = labels[static_cast<std::size_t>(y) * width + static_cast<std::size_t>(x)];
        if (rows[y][x] == PAPER || at) return PAPER;
        at = label;
        return rows[y][x];
    });
}

std::vector<bool> count_pieces(std::uint8_t* const* rows, int n_rows, int n_cols, std::vector<std::int64_t>& sizes) {
    return flood_pieces(n_rows, n_cols, &sizes, [&](int y, int x, std::int32_t) {
        const std::uint8_t level = rows[y][x];
        rows[y][x] = PAPER;  // counted: the block is the scratch
        return level;
    });
}

}  // namespace zentrel
