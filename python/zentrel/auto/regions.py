"""Which regions are fitted: chosen tile by tile from the variance grid, so
that shaded or low-contrast parts get some.

    choose_regions(variance, percent, select_regions) -> (count, rows, cols)
"""

from __future__ import annotations

import numpy as np

from zentrel.auto.settings import DEFAULT, AutoSettings


def selected_count(grid_shape: tuple, percent: int) -> int:
    rows, cols = grid_shape
    return rows * cols * percent // 100


def region_scores(variance: np.ndarray, count: int, settings: AutoSettings = DEFAULT) -> np.ndarray:
    """Scores whose top ``count`` spread the analysed regions over the image:
    the grid is cut into about count/2 tiles and a region scores its variance
    relative to the highest in its tile, so every tile with content gets its
    busiest regions analysed, shaded or low-contrast ones included. Tiles
    whose best region is no busier than settings.quiet_factor times the
    image's quiet level (the settings.quiet_share quantile of region
    spreads) score 0."""
    rows, cols = variance.shape
    side = max(1, int(np.sqrt(rows * cols / max(1, count // 2))))
    tile_cols = -(-cols // side)
    quiet = np.sqrt(np.quantile(variance.astype(np.float64), settings.quiet_share))  # a function of the grid alone
    floor = (settings.quiet_factor * quiet) ** 2
    top = float(variance.max())
    score = np.empty((rows, cols), np.float32)
    # Bands of whole tile rows, so that the float64 working arrays stay
    # small on large grids; each region's score is the same as from the
    # whole grid at once.
    band = side * max(1, 256 // side)
    for r0 in range(0, rows, band):
        v = variance[r0:r0 + band].astype(np.float64)
        n = -(-len(v) // side) * side
        padded = np.full((n, tile_cols * side), -np.inf)
        padded[:len(v), :cols] = v
        tile_max = padded.reshape(n // side, side, tile_cols, side).max(axis=(1, 3))
        best = np.repeat(np.repeat(tile_max, side, 0), side, 1)[:len(v), :cols]
        with np.errstate(divide="ignore", invalid="ignore"):
            part = np.where(best > floor, v / best, 0.0)
        if top > 0:
            part = part + 1e-6 * v / top
        score[r0:r0 + band] = part
    return score


def choose_regions(variance: np.ndarray, percent: int, select_regions,
                   settings: AutoSettings = DEFAULT) -> tuple:
    """(count, rows, cols): the regions to fit, from the whole image's variance grid."""
    count = max(1, selected_count(variance.shape, percent))
    rows, cols = select_regions(region_scores(variance, count, settings), count)
    return count, rows, cols
