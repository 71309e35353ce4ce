"""Where a surface cannot be built: a flat image (every level the same), or
too few passing regions: Otsu's one threshold of the level histogram where
it shows two classes, else ground with a few marks at most (ground).

    enough_passed(passed_count, count) -> bool
    fallback_of(level_range, enough, histogram) -> "flat", "otsu", "ground" or None
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


def fallback_of(level_range, enough: bool, histogram=None, settings: AutoSettings = DEFAULT):
    """"flat" when the levels hold one value; when too few regions passed,
    "otsu" where the level histogram shows two classes (ground.two_classes;
    or no histogram is given), else "ground"; None when a surface can be
    built."""
    low, high = level_range
    if low == high:
        return "flat"
    if enough:
        return None
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
