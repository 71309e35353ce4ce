#include "pipeline/median3.h"

#include <algorithm>
#include <cstddef>

#include "numeric/isa.h"

namespace zentrel {

namespace {

using Byte = std::uint8_t;

inline Byte median_of_3(Byte a, Byte b, Byte c) { return std::max(std::min(a, b), std::min(std::max(a, b), c)); }

// Each column's three levels sorted into low, mid and high. The rows may be
// one and the same; nothing written overlaps them, which lets the loop run
// in vectors.
ZENTREL_FORCE_INLINE void sort_body(const Byte* ZENTREL_RESTRICT a, const Byte* ZENTREL_RESTRICT b,
                                    const Byte* ZENTREL_RESTRICT c, Byte* ZENTREL_RESTRICT low,
                                    Byte* ZENTREL_RESTRICT mid, Byte* ZENTREL_RESTRICT high, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
        const Byte s = std::min(a[k], b[k]), t = std::max(a[k], b[k]);
        const Byte u = std::max(s, c[k]);
        low[k] = std::min(s, c[k]);
        mid[k] = std::min(t, u);
        high[k] = std::max(t, u);
    }
}

// The nine levels' median around each middle column of three sorted ones:
// the median of the highest low, the median mid and the lowest high.
ZENTREL_FORCE_INLINE void combine_body(const Byte* ZENTREL_RESTRICT low, const Byte* ZENTREL_RESTRICT mid,
                                       const Byte* ZENTREL_RESTRICT high, Byte* ZENTREL_RESTRICT out,
                                       std::size_t count) {
    for (std::size_t j = 0; j < count; ++j) {
        const Byte l = std::max(std::max(low[j], low[j + 1]), low[j + 2]);
        const Byte h = std::min(std::min(high[j], high[j + 1]), high[j + 2]);
        out[j] = median_of_3(l, median_of_3(mid[j], mid[j + 1], mid[j + 2]), h);
    }
}

void sort_portable(const Byte* a, const Byte* b, const Byte* c, Byte* low, Byte* mid, Byte* high, std::size_t count) {
    sort_body(a, b, c, low, mid, high, count);
}
void combine_portable(const Byte* low, const Byte* mid, const Byte* high, Byte* out, std::size_t count) {
    combine_body(low, mid, high, out, count);
}
#if ZENTREL_HAVE_AVX2
ZENTREL_TARGET_AVX2 void sort_avx2(const Byte* a, const Byte* b, const Byte* c, Byte* low, Byte* mid, Byte* high,
                                   std::size_t count) {
    sort_body(a, b, c, low, mid, high, count);
}
ZENTREL_TARGET_AVX2 void combine_avx2(const Byte* low, const Byte* mid, const Byte* high, Byte* out,
                                      std::size_t count) {
    combine_body(low, mid, high, out, count);
}
#endif

// Integer minima and maxima: every variant gives the same bytes.
void sort_columns(const Byte* a, const Byte* b, const Byte* c, Byte* low, Byte* mid, Byte* high, std::size_t count) {
#if ZENTREL_HAVE_AVX2
    if (preferred_isa() != Isa::portable) return sort_avx2(a, b, c, low, mid, high, count);
#endif
    sort_portable(a, b, c, low, mid, high, count);
}
void combine_columns(const Byte* low, const Byte* mid, const Byte* high, Byte* out, std::size_t count) {
#if ZENTREL_HAVE_AVX2
    if (preferred_isa() != Isa::portable) return combine_avx2(low, mid, high, out, count);
#endif
    combine_portable(low, mid, high, out, count);
}

}  // namespace

void median3_row(const Byte* above, const Byte* middle, const Byte* below, int origin, int lo, int hi, int first,
                 int last, Byte* scratch, Byte* out) {
    if (last <= first) return;
    // Sorted columns first - 1 .. last (working index 0 .. n - 1); the two
    // outer ones clamped to [lo, hi], the others within it.
    const std::size_t n = static_cast<std::size_t>(last - first) + 2;
    Byte* low = scratch;
    Byte* mid = scratch + n;
    Byte* high = scratch + 2 * n;
    for (const auto& [k, column] : {std::pair<std::size_t, int>{0, std::max(first - 1, lo)},
                                     std::pair<std::size_t, int>{n - 1, std::min(last, hi)}}) {
        const std::size_t at = static_cast<std::size_t>(column - origin);
        sort_columns(above + at, middle + at, below + at, low + k, mid + k, high + k, 1);
    }
    const std::size_t at = static_cast<std::size_t>(first - origin);
    sort_columns(above + at, middle + at, below + at, low + 1, mid + 1, high + 1, n - 2);
    combine_columns(low, mid, high, out, n - 2);
}

}  // namespace zentrel
