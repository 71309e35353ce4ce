"""Faint marks: among thin dark strokes on blurred print, ink that never
comes near the ink's own level is kept only where it joins ink that does.

    blurred_print(ratios, passed) -> bool    whether the passing regions' strokes are blurred
    core_grid(grid, quantiles, choices, base) -> float32 grid or None    the level ink must reach somewhere

Where a region's threshold lies some depth below its ground, its core
threshold lies settings.core_reach of that depth further down. The pixel
decision then keeps a connected piece of ink (8 neighbours) only if some
pixel of it lies below the core threshold too: paper texture, specks and
stains that only just cross the threshold stand alone and go, while a
stroke's blurred edge and the faint end of a stroke joined to its dark part
stay. Not for objects wider than strokes, dark or bright: a faint blob is
an object of its own (see surface.faint_objects); nor for sharp print of a
lighter ink such as a receipt's, whose faint characters stand alone too
(judge.reject_faint keeps their regions for the same reason).
"""

from __future__ import annotations

import numpy as np

from zentrel.auto.fallback import ON_GROUND
from zentrel.auto.ground import side_grids
from zentrel.auto.settings import DEFAULT, AutoSettings
from zentrel.auto.strokes import median_ratio


def blurred_print(ratios: np.ndarray, passed: np.ndarray, settings: AutoSettings = DEFAULT) -> bool:
    """Whether the measured passing regions' median stroke ratio
    (strokes.stroke_ratios) lies under settings.sharp_ratio; with none
    measured the print shows no blur and this is False."""
    return median_ratio(ratios, passed) < settings.sharp_ratio


def core_grid(grid, quantiles, choices, settings: AutoSettings = DEFAULT, base=None):
    """The core threshold grid for choices.marks, else None: the threshold
    grid (or base, the grid before faint marks were raised: a raised region
    keeps the core it had) less settings.core_reach of its depth below each
    region's ground (quantiles[..., settings.ground_quantile], on the
    grid's lattice)."""
    if not choices.marks:
        return None
    if choices.fallback in ON_GROUND:  # every region is ground: its core (ground)
        return side_grids(quantiles, choices.objects, settings, choices.quantum)[1]
    grid = np.asarray(grid if base is None else base, np.float32)
    depth = np.maximum(quantiles[..., settings.ground_quantile].astype(np.float32) - grid, np.float32(0))
    return grid - np.float32(settings.core_reach) * depth
