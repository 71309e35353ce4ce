"""The threshold grid: passing regions keep their thresholds, the others are
settled from them in waves; for bright objects, faint ones are raised.

    threshold_grid(grid_shape, rows, cols, thresholds, backgrounds, medians, noise) -> (grid, kind)
    faint_objects(grid, kind, quantiles) -> grid
"""

from __future__ import annotations

import numpy as np

from zentrel.auto.settings import DEFAULT, AutoSettings
from zentrel.core import engine


_NEIGHBOURS = [(dy, dx) for dy in (-1, 0, 1) for dx in (-1, 0, 1) if dy or dx]

def _neighbour_count(known, out):
    """How many of its eight neighbours each cell has known; known is padded
    by one unknown cell on every side, out has the unpadded shape."""
    rows, cols = out.shape
    out.fill(0)
    for dy, dx in _NEIGHBOURS:
        out += known[1 + dy:rows + 1 + dy, 1 + dx:cols + 1 + dx]
    return out


def _neighbour_sums(planes, at, width):
    """Sums over the eight neighbours of the cells at flat indices ``at`` of
    padded grids of the given width (planes: flat, 0.0 where unknown), one
    row per plane. Each sum is 0.0 + v(n1) + v(n2) + ... in _NEIGHBOURS
    order, the order of the additions that fixes the rounding: the value
    that neighbour (dy, dx) hands on is the one at -(dy, dx). The engine
    gathers and adds them (at is an inner cell, so every neighbour exists)."""
    return engine.gather_sums(planes, at, [dy * width + dx for dy, dx in _NEIGHBOURS])


def _band_depth(medians, reach):
    """How far each region lies below both regions ``reach`` away on either
    side, in the direction where that is deepest: a dark band narrower than
    about 2 * reach regions (a fold, a cast shadow's edge) has depth, the
    inside of a large object none. Float64.

    Subtracting the centre is monotonic, so the deepest direction is found
    on the medians as they are (minimum and maximum are exact in any type)
    and the centre subtracted once, in float64."""
    rows, cols = medians.shape
    padded = np.pad(medians, reach, mode="edge")
    centre = padded[reach:reach + rows, reach:reach + cols]
    top = side = None
    for dy, dx in ((0, reach), (reach, 0), (reach, reach), (reach, -reach)):
        a = padded[reach + dy:reach + dy + rows, reach + dx:reach + dx + cols]
        b = padded[reach - dy:reach - dy + rows, reach - dx:reach - dx + cols]
        if top is None:
            top, side = np.minimum(a, b), np.empty(medians.shape, medians.dtype)
        else:
            np.maximum(top, np.minimum(a, b, out=side), out=top)
    return np.subtract(top, centre, dtype=np.float64)


def threshold_grid(grid_shape, rows, cols, thresholds, backgrounds, medians, noise=None,
                   settings: AutoSettings = DEFAULT, *, grounds=None, thin=False) -> tuple:
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

    Each wave works on its front only (the unsettled regions next to
    settled ones), gathering their neighbours' sums from grids padded by
    one unknown cell; unknown cells hold 0.0, so they add nothing.
    """
    n_rows, n_cols = grid_shape
    padded = (n_rows + 2, n_cols + 2)
    width = padded[1]

    def inner(plane):
        return plane.reshape(padded)[1:-1, 1:-1]

    # Planes: threshold, contrast and, with noise, the ground. The step test
    # reads the ground of regions whose ground is their own (passed or
    # background) only: a ground carried through an object's inside is
    # stale where the light changes, so such regions keep 0.0 here.
    planes = [np.zeros(padded).reshape(-1) for _ in range(2 if noise is None else 3)]
    inner(planes[0])[rows, cols] = thresholds
    inner(planes[1])[rows, cols] = np.maximum(backgrounds - thresholds, 0.0)
    known = np.zeros(padded, bool)
    inner(known)[rows, cols] = True
    if noise is not None:
        inner(planes[2])[rows, cols] = backgrounds
        own = known.copy()
        own_count = np.zeros(padded, np.uint8)
    kind = known.astype(np.int8).reshape(-1)
    band = np.zeros(padded)
    inner(band)[...] = _band_depth(medians, settings.band_reach)
    band = band.reshape(-1)
    # The medians as given (levels: float32 from the engine, or bytes) in
    # at least float32; every use compares or subtracts them in float64.
    level = np.zeros(padded, np.result_type(medians.dtype, np.float32))
    inner(level)[...] = medians
    level = level.reshape(-1)
    ground = level
    if grounds is not None:
        ground = np.zeros(padded, np.result_type(grounds.dtype, np.float32))
        inner(ground)[...] = grounds
        ground = ground.reshape(-1)
    count = np.zeros(padded, np.uint8)
    while True:
        _neighbour_count(known, inner(count))
        front = count > 0
        front &= ~known
        at = np.flatnonzero(front)
        if not len(at):
            break
        sums = _neighbour_sums(planes, at, width)
        # Means in place of the sums, which are not needed after: the counts
        # are small whole numbers, divided in float64 either way.
        with np.errstate(invalid="ignore", divide="ignore"):
            near_t, near_c = np.divide(sums[:2], count.reshape(-1)[at], out=sums[:2])
        median = level[at]
        if noise is not None:
            _neighbour_count(own, inner(own_count))
            own_n = own_count.reshape(-1)[at]
            with np.errstate(invalid="ignore", divide="ignore"):
                own_g = np.divide(sums[2], own_n, out=sums[2])
            step = (own_n > 0) & (own_g - median > settings.step_evidence * noise)
            background = (median >= near_t) & ~step
        else:
            step = None
            background = median >= near_t
        if thin:
            background[:] = True
        # A region darker than the threshold by more than the contrast lies
        # at the objects' level: inside at once. One just below it may be
        # shade; it waits until no background region can reach it, so
        # falling light, met step by step from its brighter side, is not
        # read as an object.
        deep = median < near_t - near_c
        deep &= ~background
        deep &= ~(band[at] > near_c)
        stepped = step is not None and step.any()
        inside = (deep | step) if stepped else deep
        if not (background.any() or inside.any()):
            inside = ~background
        settled = background | inside
        on, into = at[background], at[inside]
        median_on = median[background]
        planes[0][on] = ground[on] - near_c[background]
        planes[0][into] = near_t[inside]
        if stepped:  # steps are inside: they split halfway, if above the threshold
            planes[0][at[step]] = np.maximum((own_g[step] + median[step]) / 2, near_t[step])
        planes[1][at[settled]] = near_c[settled]
        if noise is not None:
            planes[2][on] = median_on
            own.reshape(-1)[on] = True
        kind[on], kind[into] = 2, 3
        known.reshape(-1)[at[settled]] = True
    return np.ascontiguousarray(inner(planes[0])), np.ascontiguousarray(inner(kind))


def faint_objects(grid, kind, quantiles, settings: AutoSettings = DEFAULT, quantum: float = 1.0) -> np.ndarray:
    """The grid with regions that hold a faint object of their own raised.

    quantiles: (rows, cols, 5) levels at settings.quantile_shares, dark objects.
    A region settled from its neighbours whose far dark tail lies
    settings.faint_evidence background spreads below its median holds an
    object its neighbours' contrast would miss (a dim cell beside bright
    ones); it then splits settings.faint_split of the way from its median to that
    tail. Used for objects brighter than their ground only: light adds
    there (emission, as in fluorescence or the sky), so a faint excess is
    signal, while faint dark marks on a bright ground are what print and
    paper leave behind (show-through, stains, shadows). quantum is the
    spacing of the occupied levels (levels.level_step): no spread is taken
    as less than it.
    """
    # A region half over an object shows the object in its spread too; the
    # image's typical spread bounds it. Levels are whole numbers: a spread
    # under one level is their rounding, not the ground's calm.
    s = settings
    typical = np.median(quantiles[..., 3].astype(np.float64) - quantiles[..., 2])
    raised = np.empty(grid.shape, np.result_type(grid.dtype, np.float64))
    # In bands of rows, so that the float64 working arrays stay small on
    # large grids; every region's result depends on its own values alone.
    for r0 in range(0, grid.shape[0], 256):
        rows = slice(r0, r0 + 256)
        low, median, spread_high = (quantiles[rows, :, i].astype(np.float64) for i in (0, 2, 3))
        g = grid[rows]
        spread = spread_high - median
        noise = np.maximum(np.minimum(spread, typical), s.min_region_spread * quantum)
        tail = median - low
        own = median - s.faint_split * tail
        weaker = tail < s.faint_missed * (median - g)  # its neighbours' threshold would miss it
        faint = (kind[rows] == 2) & weaker & (tail >= s.faint_evidence * noise) & (own > g)
        raised[rows] = np.where(faint, own, g)
    return raised
