"""Two region sizes for thin strokes: where the strokes allow it, the
regions are fitted again at half the size and the two threshold grids are
averaged on the finer lattice.

    fine_size(region_size)                  the finer size, or None
    wants_fine(choices)                     whether to fit the finer regions
    among_areas(choices)                    whether only strokes pass in them
    fine_selection(count, rows, cols, wanted) the finer selection, or none
    ink_share(grid, quantiles)              the share of pixels a grid makes ink, estimated
    fine_agrees(coarse, fine, ink_ratio)    whether the finer analysis is used
    coarse_at_fine(grid, region_size, fine_shape)
                                            the coarse surface at the finer nodes
    pick_scale(coarse grid, quantiles, choices, fine grid, quantiles, choices, region_size, bases)
                                            -> (grid, its region size, choices, its quantiles, its base)

A region size trades the fits' footing (pixels per histogram) against how
closely the thresholds follow the paper: stains, shade and a page's dark
rim change within a few tens of pixels, while a small region's fit rests on
few pixels and may miss a low-contrast page altogether. Averaging the two
grids keeps what both agree on and halves what either alone gets wrong;
AutoSettings.fine_pass_share and fine_ink_factor say when the finer
analysis is sound enough to be used.
"""

from __future__ import annotations

import dataclasses

import numpy as np

from zentrel.auto.settings import DEFAULT, AutoSettings


def fine_size(region_size: int, settings: AutoSettings = DEFAULT):
    """Half the region size, when that is at least settings.fine_min_size
    and even (the region size a multiple of 4): then every other node of
    the finer lattice is a coarse one (coarse_at_fine)."""
    half = region_size // 2
    return half if half >= settings.fine_min_size and region_size % 4 == 0 else None


def wants_fine(choices, settings: AutoSettings = DEFAULT) -> bool:
    """Whether the finer regions are fitted (where there is a finer size,
    fine_size): dark thin strokes on a grid built from passing regions."""
    return settings.two_scales and choices.objects == "dark" and choices.thin and choices.fallback is None


def among_areas(choices) -> bool:
    """Whether the coarse analysis found strokes among the edges of wider
    dark areas (its other passing regions failed as "edge"): the finer one
    then lets strokes alone pass too, or the areas' edges, strokes to a
    small region, would set the thresholds beside them."""
    return "edge" in choices.verdicts


def fine_selection(count, rows, cols, wanted: bool) -> tuple:
    """The finer regions to fit: the selection as chosen, or none at all
    where the finer scale is not wanted (a chunked caller builds its steps
    before it knows)."""
    if wanted:
        return count, rows, cols
    return 0, rows[:0], cols[:0]


def ink_share(grid, quantiles, settings: AutoSettings = DEFAULT) -> float:
    """The mean over the regions of the share of a region's pixels below its
    threshold (dark objects), read off its quantile levels
    (settings.quantile_shares): linear between them, from none one level
    below the lowest to all one level above the highest."""
    grid = np.asarray(grid)
    quantiles = np.asarray(quantiles)
    last = quantiles.shape[-1] - 1
    shares = (0.0, *settings.quantile_shares, 1.0)
    below = np.zeros(grid.shape)
    # In bands of rows, so that the float64 working arrays stay small on a
    # fine lattice; each region's share depends on its own values alone.
    for r0 in range(0, grid.shape[0], 64):
        rows = slice(r0, r0 + 64)
        g = grid[rows].astype(np.float64)

        def level(k):  # level k of the quantiles with one level below and above
            q = quantiles[rows, :, min(max(k - 1, 0), last)].astype(np.float64)
            return q - 1 if k == 0 else q + 1 if k > last + 1 else q

        for k in range(len(shares) - 1):
            low, high = level(k), level(k + 1)
            below[rows] += np.clip((g - low) / np.maximum(high - low, 1e-9), 0, 1) * (shares[k + 1] - shares[k])
    return float(below.mean()) if below.size else 0.0


def fine_agrees(coarse, fine, ink_ratio: float, settings: AutoSettings = DEFAULT) -> bool:
    """Whether the finer analysis (given the coarse one's side) is used: it
    also finds thin strokes, on a grid of its own (no fallback), its regions
    pass at least
    settings.fine_pass_share as often as the coarse ones, and its grid
    makes ink of between 1 / settings.fine_ink_factor and
    settings.fine_ink_factor times the coarse grid's share of the pixels
    (ink_ratio, see ink_share)."""
    if fine.selected_count == 0 or coarse.selected_count == 0:
        return False
    # Shares compared as cross products: exact in integers.
    return (fine.thin and fine.fallback is None
            and fine.passed_count * coarse.selected_count
            >= settings.fine_pass_share * coarse.passed_count * fine.selected_count
            and 1 / settings.fine_ink_factor <= ink_ratio <= settings.fine_ink_factor)


def coarse_at_fine(grid, region_size: int, fine_shape) -> np.ndarray:
    """The coarse grid's surface at the nodes of the lattice of half its
    region size, float64: bilinear between the coarse nodes (every other
    fine node is one), and the nearest coarse node past them, as the pixel
    decision spreads a grid."""
    out = np.asarray(grid, np.float64)
    for axis, n in enumerate(fine_shape):
        # Fine node i lies at pixel (i + 1) * R/4, coarse node a at (a + 1) * R/2.
        position = np.clip((np.arange(n) + 1) / 2 - 1, 0, out.shape[axis] - 1)
        low = np.floor(position).astype(np.int64)
        high = np.minimum(low + 1, out.shape[axis] - 1)
        weight = position - low
        shape = [1, 1]
        shape[axis] = n
        weight = weight.reshape(shape)
        near = np.take(out, low, axis=axis)
        near *= 1 - weight  # in place: two fine-sized arrays at a time
        far = np.take(out, high, axis=axis)
        far *= weight
        near += far
        out = near
    return out


def pick_scale(grid, quantiles, choices, fine_grid, fine_quantiles, fine_choices, region_size: int,
               settings: AutoSettings = DEFAULT, base=None, fine_base=None) -> tuple:
    """(grid, its region size, choices, its quantiles, its base): the
    coarse grid as it is, or, where the finer analysis agrees
    (fine_agrees), the mean of the coarse surface and the finer grid on the
    finer lattice, with choices.fine_size set. The quantiles are each
    scale's quantile grid (for ink_share); the chosen lattice's come back
    with its grid. base and fine_base are the grids before faint marks were
    raised (or None: as the grid), averaged alike where either is given."""
    coarse = grid, region_size, choices, quantiles, base
    if fine_choices.selected_count == 0:
        return coarse
    coarse_ink = ink_share(grid, quantiles, settings)
    ratio = ink_share(fine_grid, fine_quantiles, settings) / coarse_ink if coarse_ink > 0 else np.inf
    if not fine_agrees(choices, fine_choices, ratio, settings):
        return coarse
    size = fine_size(region_size, settings)
    mean = _mean_on_fine(grid, fine_grid, region_size)
    if base is not None or fine_base is not None:
        base = _mean_on_fine(grid if base is None else base, fine_grid if fine_base is None else fine_base,
                             region_size)
    return mean, size, dataclasses.replace(choices, fine_size=size), fine_quantiles, base


def _mean_on_fine(grid, fine_grid, region_size: int) -> np.ndarray:
    """The mean of the coarse surface (coarse_at_fine) and the finer grid,
    float32 on the finer lattice."""
    mean = coarse_at_fine(grid, region_size, np.shape(fine_grid))
    mean += fine_grid  # float64, in place
    mean /= 2
    return mean.astype(np.float32)
