"""The region lattice, as the engine lays it: half-overlapping squares.

    grid_shape(image_shape, R) -> (region rows, region cols)
    origins(indices, R)        -> first pixel of each region index along an axis
    first_region_at(pixel, R)  -> the first region starting at or after pixel

Region (i, j) is the R x R block whose top-left pixel is
(origins(i), origins(j)); the engine computes both, so no caller restates
the arithmetic.
"""

from __future__ import annotations

import numpy as np

from zentrel.core import _engine


def grid_shape(image_shape, region_size: int) -> tuple:
    """(region rows, region columns) of an image, at least 0 each."""
    return tuple(_engine.grid_shape(tuple(int(n) for n in image_shape), region_size))


def origins(indices, region_size: int) -> np.ndarray:
    """The first pixel of each region index along one axis, int64."""
    return _engine.region_origins(np.asarray(indices, np.int64), region_size)


def first_region_at(pixel: int, region_size: int) -> int:
    """The first region whose first pixel is at or after ``pixel`` (>= 0).

    Origins never decrease and the answer is near 2*pixel/R, so the
    engine's origins of a few indices around it settle it."""
    near = max(2 * pixel // region_size - 2, 0)
    window = origins(np.arange(near, near + 5), region_size)
    return near + int(np.searchsorted(window, pixel, side="left"))
