"""The threshold grid: passing regions keep their thresholds, the others are
settled from them in waves; for bright objects (and faint dark marks),
faint ones are raised.

    threshold_grid(grid_shape, rows, cols, thresholds, backgrounds, medians, noise) -> (grid, kind)
    faint_objects(grid, kind, quantiles, min_tail) -> grid
"""

from __future__ import annotations

import numpy as np

from zentrel.auto.settings import DEFAULT, AutoSettings
from zentrel.core import engine


def threshold_grid(grid_shape, rows, cols, thresholds, backgrounds, medians, noise=None,
                   settings: AutoSettings = DEFAULT, *, grounds=None, thin=False, threads=1) -> tuple:
    """The threshold of every region, for dark objects on a brighter ground.

    Passing regions keep their thresholds and show a contrast, background
    mean minus threshold, and a ground, the background mean. The other
    regions are settled in waves outward from them: a region next to
    settled ones is background when its median reaches their mean
    threshold, and then takes its own median minus their mean contrast, so
    the threshold follows the light into shaded or empty parts; otherwise it
    lies inside an object larger than a region and takes their mean
    threshold: at once when its median lies at the objects' level, else
    only once no region can be settled as background any more. With noise (the typical background spread; given for objects that
    are brighter than their ground, where no shade can make a region
    brighter) a region whose median lies settings.step_evidence spreads below its
    neighbours' mean ground is an object of its own, however faint, and
    splits halfway between the two. Returns (grid, kind) with kind 1
    passed, 2 background, 3 inside an object, 0 unreached (no passing
    region).

    grounds (a grid like medians) gives the level a background region's
    threshold is taken below instead of its median; backgrounds are then
    the passing regions' grounds of the same kind. With thin (the objects
    are strokes, see strokes.thin_strokes) no region lies inside an object:
    a dark area wider than a region is a margin, stain or shade, and every
    region is settled as background.

    A band is a dark region lying below both regions settings.band_reach
    away on either side (across, down or a diagonal) by more than the
    contrast: a fold or a cast shadow's edge narrower than about twice that
    reach, while the inside of a large object has no such depth.

    The waves run in the engine (engine.settle_surface): each takes the
    unsettled regions next to settled ones, whose neighbour means are sums
    in float64 over the eight neighbours in a fixed order (unsettled ones
    adding 0.0), all read before the wave settles any region. The engine
    reads the levels (medians, grounds) as float32, which holds every level
    exactly, and computes in float64, on ``threads`` threads (0: all), with
    the same result on any number.
    """
    medians = np.asarray(medians)
    if medians.shape != tuple(grid_shape):
        raise ValueError(f"medians: a grid of {tuple(grid_shape)} regions is required, not {medians.shape}")
    step = None if noise is None else settings.step_evidence * noise
    return engine.settle_surface(medians, medians if grounds is None else grounds, settings.band_reach,
                                 rows, cols, thresholds, backgrounds, step, thin, threads)


def faint_objects(grid, kind, quantiles, settings: AutoSettings = DEFAULT, quantum: float = 1.0,
                  min_tail: float = 0.0) -> np.ndarray:
    """The grid with regions that hold a faint object of their own raised.

    quantiles: (rows, cols, 5) levels at settings.quantile_shares, dark objects.
    A region settled from its neighbours whose far dark tail lies
    settings.faint_evidence background spreads below its median, and at
    least min_tail levels, holds an object its neighbours' contrast would
    miss (a dim cell beside bright ones); it then splits
    settings.faint_split of the way from its median to that tail. For
    objects brighter than their ground: light adds there (emission, as in
    fluorescence or the sky), so a faint excess is signal. Faint dark marks
    on a bright ground are mostly what print and paper leave behind
    (show-through, stains, shadows): for dark objects the caller raises
    them only among faint marks, whose core keeps the unraised ones out,
    and with min_tail at the picture's faintest ink (pipeline.settle).
    quantum is the spacing of the occupied levels (levels.level_step): no
    spread is taken as less than it.
    """
    # A region half over an object shows the object in its spread too; the
    # image's typical spread bounds it. Levels are whole numbers: a spread
    # under one level is their rounding, not the ground's calm.
    s = settings
    # Levels differ by whole levels (or halves): exact in float32 too.
    typical = float(np.median(np.subtract(quantiles[..., 3], quantiles[..., 2], dtype=np.float32)))
    raised = np.empty(grid.shape, np.result_type(grid.dtype, np.float64))
    # In bands of rows, so that the float64 working arrays stay small on
    # large grids; every region's result depends on its own values alone.
    for r0 in range(0, grid.shape[0], 64):
        rows = slice(r0, r0 + 64)
        low, median, spread_high = (quantiles[rows, :, i].astype(np.float64) for i in (0, 2, 3))
        g = grid[rows]
        spread = spread_high - median
        noise = np.maximum(np.minimum(spread, typical), s.min_region_spread * quantum)
        tail = median - low
        own = median - s.faint_split * tail
        weaker = tail < s.faint_missed * (median - g)  # its neighbours' threshold would miss it
        faint = (kind[rows] == 2) & weaker & (tail >= s.faint_evidence * noise) & (own > g) & (tail >= min_tail)
        raised[rows] = np.where(faint, own, g)
    return raised
