"""Where a surface cannot be built: a flat image (every level the same), or
too few passing regions: Otsu's one threshold of the level histogram where
it shows two classes, else ground with a few marks at most (ground); or
where it would split the wrong pair of levels: most passing regions are the
edge of a flat backdrop (a fundus's black surround), and the marks are read
against the ground as the ground fallback reads them, on the side the
regions voted ("backdrop").

    enough_passed(passed_count, count) -> bool
    on_backdrop(spreads, sides) -> bool           most passing regions are a flat backdrop's edge
    fallback_of(level_range, enough, histogram, backdrop) -> "flat", "otsu", "ground", "backdrop" or None
    ON_GROUND                                     the fallbacks that read marks against the ground
    fallback_grid(kind, grid_shape, level_range, histogram, objects) -> grid
"""

from __future__ import annotations

import numpy as np

from zentrel.auto.ground import two_classes
from zentrel.auto.polarity import otsu
from zentrel.auto.settings import DEFAULT, AutoSettings


def enough_passed(passed_count, count, settings: AutoSettings = DEFAULT) -> bool:
    """Whether enough of the count analysed regions passed to build a
    surface on; too few to do so are too few to vote the side, too."""
    return passed_count >= max(1.0, settings.min_passed_share * count)


# The fallbacks whose marks are read against each region's ground (ground.ground_grids).
ON_GROUND = ("ground", "backdrop")


def on_backdrop(spreads, sides: tuple, quantum: float = 1.0, settings: AutoSettings = DEFAULT) -> bool:
    """Whether most passing regions (sides: polarity.passing_sides) are the
    edge of a flat backdrop: most hold a flat dark class beside a bright
    one that is not (spreads: the (dark, bright) class spreads per region;
    flat: more than 0, not two clean levels, and at most
    settings.flat_spread levels of quantum), as the black surround of a
    fundus photograph or a scanner's bed lies beside the picture on it (two
    flat tones, as of a chequerboard, are the picture itself); and most of
    those have no side of their own (the edge between two wide areas; black
    ink clipped at the darkest level is flat too, but paper lies around it).
    Their thresholds split that backdrop from the picture and say nothing
    of the marks on it."""
    at, side = sides
    spread = np.asarray(spreads, np.float64)[at]
    flat_classes = (spread > 0) & (spread <= settings.flat_spread * quantum)
    flat = flat_classes[:, 0] & ~flat_classes[:, 1]
    sideless = side == 0
    return bool(np.count_nonzero(flat) > np.count_nonzero(~flat)
                and np.count_nonzero(flat & sideless) > np.count_nonzero(flat & ~sideless))


def fallback_of(level_range, enough: bool, histogram=None, settings: AutoSettings = DEFAULT,
                backdrop: bool = False):
    """"flat" when the levels hold one value; when too few regions passed,
    "otsu" where the level histogram shows two classes (ground.two_classes;
    or no histogram is given), else "ground"; else "backdrop" where the
    passing regions are mostly a flat backdrop's edge (on_backdrop); None
    when a surface can be built."""
    low, high = level_range
    if low == high:
        return "flat"
    if enough:
        return "backdrop" if backdrop else None
    return "otsu" if histogram is None or two_classes(histogram, settings) else "ground"


def fallback_grid(kind, grid_shape, level_range, histogram, objects) -> np.ndarray:
    """The grid of the fallback kind, for dark objects (a bright objects'
    grid is mirrored by the caller, except a flat one). flat: just under the
    one level, so every pixel is background; otsu: just above Otsu's split
    of the level histogram (None for flat), taken on the objects' side."""
    if kind == "flat":
        return np.full(grid_shape, float(level_range[0]) - 0.5)
    level = otsu(histogram if objects == "dark" else histogram[::-1])[0]
    return np.full(grid_shape, level + 1.0)
