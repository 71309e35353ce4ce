// Ranking of the regions by variance and selection of the highest.
#pragma once

#include <cstdint>

namespace zentrel {

constexpr int NSTACK = 100;

// Index sort of values[1..n] (1-based, never moved): afterwards
// values[index[1]] <= ... <= values[index[n]]. Non-recursive median-of-three
// quicksort with straight insertion for ranges of at most 7 elements; the
// order of equal values is fixed by these steps.
void quicksort(std::uint32_t n, const float values[], std::uint32_t index[]);
// The same, sure only of index[n - top + 1 .. n], which hold what the whole
// sort leaves there; the positions below hold the other indices in some
// order.
void quicksort(std::uint32_t n, const float values[], std::uint32_t index[], std::uint32_t top);

// Writes the grid row and column of the selected_count regions of highest
// variance, highest first (0 <= selected_count <= region_rows*region_cols).
void select_high_variance_regions(int region_rows, int region_cols, int selected_count,
                                  float** variance_grid, int selected_rows[],
                                  int selected_cols[]);

}  // namespace zentrel
