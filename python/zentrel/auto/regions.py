"""Which regions are fitted: chosen tile by tile from the variance grid, so
that shaded or low-contrast parts get some.

    quiet_variance(variance)                   the image's quiet level, as a variance
    linear_quantile(values, share)             np.quantile's linear quantile, from a partition in the values' type
    choose_regions(variance, quiet, percent, select_regions) -> (count, rows, cols)
"""

from __future__ import annotations

import math

import numpy as np

from zentrel.auto.settings import DEFAULT, AutoSettings
from zentrel.core import engine


def selected_count(grid_shape: tuple, percent: int) -> int:
    rows, cols = grid_shape
    return rows * cols * percent // 100


def quiet_variance(variance: np.ndarray, settings: AutoSettings = DEFAULT) -> float:
    """The image's quiet level: the settings.quiet_share quantile of the
    region variances (the noise every region shows alike), in float64."""
    return linear_quantile(variance, settings.quiet_share)


def linear_quantile(values: np.ndarray, share: float) -> float:
    """np.quantile(values.astype(np.float64), share), bit for bit, from a
    partition of the values in their own type: widening to float64 keeps
    their order and their values, and the two neighbours are then blended
    in float64 as numpy's linear method does. It runs between the threaded
    stages on one thread, and a float32 partition takes half the time of a
    float64 one (the whole quantile a third)."""
    flat = values.ravel()
    n = flat.size
    if n < 2 or not np.isfinite(flat).all():
        return float(np.quantile(flat.astype(np.float64), share))
    index = (n - 1) * float(share)  # numpy's virtual index, in float64
    if index >= n - 1:
        return float(flat.max())
    below = math.floor(index)
    part = np.partition(flat, [below, below + 1])
    a, b = float(part[below]), float(part[below + 1])
    gamma, step = index - below, b - a
    return b - step * (1 - gamma) if gamma >= 0.5 else a + step * gamma


def region_scores(variance: np.ndarray, quiet: float, count: int, settings: AutoSettings = DEFAULT) -> np.ndarray:
    """Scores whose top ``count`` spread the analysed regions over the image:
    the grid is cut into about count/2 tiles and a region scores its variance
    relative to the highest in its tile, so every tile with content gets its
    busiest regions analysed, shaded or low-contrast ones included. Tiles
    whose best region is no busier than settings.quiet_factor times the
    image's quiet level (quiet, as quiet_variance gives it, taken as a
    spread) score 0."""
    rows, cols = variance.shape
    side = max(1, int(np.sqrt(rows * cols / max(1, count // 2))))
    floor = (settings.quiet_factor * np.sqrt(quiet)) ** 2
    top = float(variance.max())
    # Each region's score, in double as numpy would form it, by the engine.
    return engine.tile_scores(variance, side, floor, top)


def choose_regions(variance: np.ndarray, quiet: float, percent: int, select_regions,
                   settings: AutoSettings = DEFAULT) -> tuple:
    """(count, rows, cols): the regions to fit, from the whole image's variance
    grid and its quiet level (quiet_variance)."""
    count = max(1, selected_count(variance.shape, percent))
    rows, cols = select_regions(region_scores(variance, quiet, count, settings), count)
    return count, rows, cols
