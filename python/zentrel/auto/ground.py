"""The ground fallback: where too few regions pass and the levels of the
whole picture show no two classes either, the picture is ground (asphalt,
a tile, a wall, blank paper) with at most a few marks of its own: cracks,
defects, scratches. Otsu's split of such a histogram cuts the ground's own
texture in half; here every region is ground, and only what stands out of
its texture is marked.

    two_classes(histogram) -> bool                the level histogram split at Otsu's level shows two classes
    ground_grids(quantiles, quantum) -> (grid, core)    dark marks' threshold and core grids
    piece_weight(sizes, reaches) -> float         area-weighted mean size of the pieces that reach the core
    ground_side(dark, bright) -> "dark" or "bright"
    pieces_reason(weights) -> str                  why the pieces chose their side
    side_grids(quantiles, objects) -> (grid, core)     ground_grids for either side
    ground_sides(choices, quantiles) -> ((grid, core) dark, (grid, core) bright) or None
                                                  (also where the regions did not vote the side)
    with_ground_side(weights, sides, grid, choices) -> (grid, choices)   on ground, the side the pieces chose

A pixel is a candidate mark where it lies at least as far below its
region's median as the ground's own far tail reaches above it (the 98 %
level less the median: texture reaches as far either way); a piece of
candidates (8-connected) is kept only where some pixel of it lies
settings.faint_evidence background spreads below the median, as a faint
object's tail must (surface.faint_objects): the engine's core grid, with
hysteresis. Which side holds the marks is read from the pieces each side
leaves (engine.mark_pieces): a texture's own outliers are specks on either
side, a crack or a scratch is one long piece, so the side whose kept pieces
are larger, weighted by their area, holds the objects. The same pieces
choose the side of a picture whose passing regions did not vote one and
whose histogram shows no two classes (AutoChoices.side_known): then the
histogram's smaller class is a texture's half or a stray area (a painted
stripe on asphalt), and the pieces are the only evidence of marks. The grids are for
dark marks; bright ones get them from the mirrored quantiles
(polarity.mirror_quantiles) and are decided on mirrored levels.
"""

from __future__ import annotations

import dataclasses

import numpy as np

from zentrel.auto.judge import split_classes
from zentrel.auto.polarity import mirror_quantiles, otsu
from zentrel.auto.settings import DEFAULT, AutoSettings


def two_classes(histogram, settings: AutoSettings = DEFAULT) -> bool:
    """Whether the level histogram, split where Otsu splits it (the
    fallback's own threshold), gives two classes as a region's failed fit
    must to pass (judge.split_classes: separated by settings.split_separation
    pooled spreads, one of them peaked). Texture alone is one class: Otsu
    cuts it near its mean, into two halves without a peak."""
    counts = np.asarray(histogram, np.float64)
    levels = np.arange(len(counts), dtype=np.float64)
    dark = levels <= otsu(counts)[0]
    start = [0.0]  # c1, mean1, sigma1, mean2, sigma2 as the fit's start values
    for part in (dark, ~dark):
        n = counts[part].sum()
        if n <= 0:
            return False
        mean = (counts[part] * levels[part]).sum() / n
        start += [mean, np.sqrt((counts[part] * (levels[part] - mean) ** 2).sum() / n)]
    start[0] = counts[dark].sum() / counts.sum()
    return bool(split_classes(np.array([start]), settings)[0])


def ground_grids(quantiles, settings: AutoSettings = DEFAULT, quantum: float = 1.0) -> tuple:
    """(grid, core) float32 for dark marks on ground, from the quantile grid
    (rows, cols, 5) at settings.quantile_shares: the grid lies the ground's
    far reach below each median, the core settings.faint_evidence spreads
    below it (never above the grid). Reach and spread are each region's own,
    the image's typical ones at most (a region over a mark shows the mark
    in them), and spreads at least settings.min_region_spread levels of
    quantum. Levels are whole: a pixel p is below a grid value T where
    p < trunc(T), so each lies one level above the deepest level it keeps
    out, and a pixel exactly the reach below the median is a candidate."""
    s = settings
    q = np.asarray(quantiles, np.float32)
    median = q[..., 2]
    reach = q[..., 4] - median
    spread = q[..., 3] - median
    typical_reach = np.float32(np.median(reach))
    typical_spread = np.float32(np.median(spread))
    noise = np.maximum(np.minimum(spread, typical_spread), np.float32(s.min_region_spread * quantum))
    grid = median - np.minimum(reach, typical_reach) + np.float32(1)
    core = np.minimum(median - np.float32(s.faint_evidence) * noise + np.float32(1), grid)
    return grid.astype(np.float32), core.astype(np.float32)


def piece_weight(sizes, reaches) -> float:
    """The area-weighted mean size of the pieces that reach the core
    (engine.mark_pieces' sizes and reaches per label): sum of size^2 over
    sum of size; 0 where none does."""
    # Whole numbers: the sums are exact in any order (chunks join pieces in theirs).
    sizes = np.asarray(sizes, np.int64)[np.asarray(reaches, bool)]
    total = int(sizes.sum())
    return int((sizes * sizes).sum()) / total if total > 0 else 0.0


def ground_side(dark: float, bright: float) -> str:
    """The side of the marks: the one whose pieces weigh more (a tie, dark:
    marks on ground are mostly darker, shadows and holes)."""
    return "bright" if bright > dark else "dark"


def side_grids(quantiles, objects: str, settings: AutoSettings = DEFAULT, quantum: float = 1.0) -> tuple:
    """ground_grids for marks on that side: a bright side's from the
    mirrored quantiles, for mirrored levels."""
    return ground_grids(mirror_quantiles(quantiles) if objects == "bright" else quantiles, settings, quantum)


def ground_sides(choices, quantiles, settings: AutoSettings = DEFAULT):
    """Each side's side_grids, dark then bright, where the choices fell back
    on ground or without a known side (AutoChoices.side_known); else None."""
    if choices.fallback != "ground" and choices.side_known:
        return None
    return tuple(side_grids(quantiles, side, settings, choices.quantum) for side in ("dark", "bright"))


def with_ground_side(weights, sides, grid, choices) -> tuple:
    """(grid, choices) on ground for the side the marks' pieces chose:
    weights is (dark, bright) piece_weight of each side's decision under
    its grids, sides (ground_sides); the grid is that side's."""
    side = ground_side(*weights)
    return (sides[1 if side == "bright" else 0][0],
            dataclasses.replace(choices, objects=side, objects_reason=pieces_reason(weights)))


def pieces_reason(weights) -> str:
    """Why the pieces chose their side (weights: (dark, bright) piece_weight)."""
    side = ground_side(*weights)
    return (f"its {side} marks form pieces of {max(weights):.0f} pixels (area-weighted mean) against "
            f"{min(weights):.0f} on the other side")
