#include "pipeline/region_selection.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "numeric/arrays.h"
#include "numeric/console_text.h"

namespace zentrel {

namespace {

// Positions are 1-based and up to n; kept signed and wide so that the empty
// range (ir = l - 1) and the insertion scan past the left end need no care.
using Pos = std::int64_t;

}  // namespace

void quicksort(std::uint32_t n, const float values[], std::uint32_t index[]) { quicksort(n, values, index, n); }

void quicksort(std::uint32_t n, const float values[], std::uint32_t index[], std::uint32_t top) {
    constexpr Pos M = 7;
    // A range wholly below the top positions is left as it is: every step
    // permutes one range only, so the ranges it would have split further
    // never reach a top position.
    const Pos cut = static_cast<Pos>(n) - static_cast<Pos>(top < n ? top : n) + 1;
    // Positions are stored as 32-bit unsigned, like index entries, so any
    // 32-bit n fits.
    MallocBlock<std::uint32_t> istack(checked_alloc<std::uint32_t>(NSTACK + 1, Channel::out,
                                                             text::NO_ISTACK));
    auto value_at = [&](Pos p) { return values[index[p]]; };
    auto swap_at = [&](Pos a, Pos b) {
        const std::uint32_t t = index[a];
        index[a] = index[b];
        index[b] = t;
    };

    for (Pos j = 1; j <= static_cast<Pos>(n); ++j) index[j] = static_cast<std::uint32_t>(j);
    Pos l = 1;
    Pos ir = n;
    int jstack = 0;

    for (;;) {
        if (ir < cut) {
            if (jstack == 0) return;
            ir = istack[jstack];
            l = istack[jstack - 1];
            jstack -= 2;
        } else if (ir - l < M) {
            // Straight insertion; an entry never passes an equal value.
            for (Pos j = l + 1; j <= ir; ++j) {
                const std::uint32_t t = index[j];
                const float a = values[t];
                Pos i = j - 1;
                for (; i >= l && value_at(i) > a; --i) index[i + 1] = index[i];
                index[i + 1] = t;
            }
            if (jstack == 0) return;
            ir = istack[jstack];
            l = istack[jstack - 1];
            jstack -= 2;
        } else {
            // Median of l, the middle and ir; the median ends at l + 1 as pivot.
            const Pos k = (l + ir) / 2;
            swap_at(k, l + 1);
            if (value_at(l) > value_at(ir)) swap_at(l, ir);
            if (value_at(l + 1) > value_at(ir)) swap_at(l + 1, ir);
            if (value_at(l) > value_at(l + 1)) swap_at(l, l + 1);

            const std::uint32_t t = index[l + 1];
            const float a = values[t];
            Pos i = l + 1;
            Pos j = ir;
            for (;;) {
                do ++i; while (value_at(i) < a);
                do --j; while (value_at(j) > a);
                if (j < i) break;
                swap_at(i, j);
            }
            index[l + 1] = index[j];
            index[j] = t;

            jstack += 2;
            if (jstack > NSTACK) {
                char text[64];
                std::snprintf(text, sizeof text, text::NSTACK_TOO_SMALL, jstack);
                throw std::runtime_error(text);
            }
            // Push the longer part, go on with the shorter: the stack stays
            // within about 2*log2(n) slots.
            if (ir - i + 1 >= j - l) {
                istack[jstack] = static_cast<std::uint32_t>(ir);
                istack[jstack - 1] = static_cast<std::uint32_t>(i);
                ir = j - 1;
            } else {
                istack[jstack] = static_cast<std::uint32_t>(j - 1);
                istack[jstack - 1] = static_cast<std::uint32_t>(l);
                l = i;
            }
        }
    }
}

void select_high_variance_regions(int region_rows, int region_cols, int selected_count,
                                  float** variance_grid, int selected_rows[],
                                  int selected_cols[]) {
    if (selected_count < 0) {
        throw std::invalid_argument("select_high_variance_regions: selected_count " +
                                    std::to_string(selected_count) + " is negative");
    }
    if (region_rows <= 0 || region_cols <= 0) {
        if (selected_count == 0) return;  // no region, none asked for
        throw std::invalid_argument("select_high_variance_regions: the grid has no region");
    }
    const std::int64_t count = static_cast<std::int64_t>(region_rows) * region_cols;
    if (selected_count > count) {
        throw std::invalid_argument("select_high_variance_regions: selected_count " +
                                    std::to_string(selected_count) + " exceeds the " +
                                    std::to_string(count) + " regions");
    }
    if (count > static_cast<std::int64_t>(std::numeric_limits<std::uint32_t>::max())) {
        throw std::invalid_argument("select_high_variance_regions: " + std::to_string(count) +
                                    " regions are too many to rank");
    }
    const auto n = static_cast<std::uint32_t>(count);
    const std::size_t slots = static_cast<std::size_t>(count) + 1;

    MallocBlock<float> values(checked_alloc<float>(slots, Channel::out, text::NO_VALUES));
    MallocBlock<std::uint32_t> index(
        checked_alloc<std::uint32_t>(slots, Channel::out, text::NO_INDEX));

    const std::size_t cols = static_cast<std::size_t>(region_cols);
    for (std::size_t i = 0; i < static_cast<std::size_t>(region_rows); ++i) {
        for (std::size_t j = 0; j < cols; ++j) values[i * cols + j + 1] = variance_grid[i][j];
    }

    quicksort(n, values.get(), index.get(), static_cast<std::uint32_t>(selected_count));

    const std::uint32_t ucols = static_cast<std::uint32_t>(region_cols);
    for (std::uint32_t r = 0; r < static_cast<std::uint32_t>(selected_count); ++r) {
        const std::uint32_t t = index[n - r] - 1;
        selected_rows[r] = static_cast<int>(t / ucols);
        selected_cols[r] = static_cast<int>(t % ucols);
    }
}

}  // namespace zentrel
