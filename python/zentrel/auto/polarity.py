"""Which side the objects are on: voted by the passing regions against the
ground around them, or from the level histogram's Otsu split.

    region_sides(rows, cols, means, medians) -> 1 dark, -1 bright, 0 neither, per region
    vote_polarity(rows, cols, means, medians) -> (side or None, dark, bright)
    passing_sides(rows, cols, judgement, medians) -> (passing indices, their region_sides)
    against_side(sides, count, objects) -> mask     passing regions that say the other side
    sideless_edges(sides, count) -> mask            passing edges between wide areas, where few
    with_side(sides, count) -> mask                 passing regions with a side of their own
    detect_polarity(histogram) -> (side, reason)
    otsu(histogram) -> (level, dark share, dark mean, bright mean)
    mirror_quantiles(quantiles)   bright objects seen as dark ones
"""

from __future__ import annotations

import numpy as np

from zentrel.auto.settings import DEFAULT, AutoSettings
from zentrel.core import engine


def otsu(histogram: np.ndarray) -> tuple:
    """(level, dark share, dark mean, bright mean) of Otsu's split of a
    256-bin histogram: the dark class holds levels <= level. Ties go to the
    lowest level; a histogram of one level splits above it."""
    h = histogram.astype(np.float64)
    total = h.sum()
    levels = np.arange(256.0)
    w0 = np.cumsum(h)
    s0 = np.cumsum(h * levels)
    w1 = total - w0
    with np.errstate(divide="ignore", invalid="ignore"):
        m0 = s0 / w0
        m1 = (s0[-1] - s0) / w1
        between = w0 * w1 * (m0 - m1) ** 2
    between[~np.isfinite(between) | (w0 == 0) | (w1 == 0)] = -1.0
    k = int(np.argmax(between))
    if between[k] < 0:  # one level only
        k = int(np.flatnonzero(h)[0]) if total else 0
        return k, 1.0, float(k), float(k)
    return k, float(w0[k] / total), float(m0[k]), float(m1[k])


def detect_polarity(histogram: np.ndarray) -> tuple:
    """("dark" or "bright", reason): objects are the smaller of Otsu's two
    classes of the level histogram; the background holds most pixels."""
    _, dark_share, _, _ = otsu(histogram)
    if dark_share <= 0.5:
        return "dark", f"the dark class of the histogram holds {dark_share:.0%} of the pixels"
    return "bright", f"the bright class of the histogram holds {1 - dark_share:.0%} of the pixels"


def region_sides(rows, cols, means, medians, settings: AutoSettings = DEFAULT) -> np.ndarray:
    """Which side each region's own classes put the objects on: 1 dark, -1
    bright, 0 neither (int8).

    The background is what surrounds the objects: a region's side is the
    side whose class mean lies farther from the region medians around it
    (settings.vote_reach regions each way), which follow the local light,
    so shading cannot turn the background into a class. It has one only
    where at least settings.vote_share of those medians lie nearer one
    class than the other: on an edge between two wide areas they do not,
    and either side would be a guess. A median is nearer the class whose
    side of the two means' midpoint it lies on; one at the midpoint is
    nearer neither. The engine reads the windows (engine.region_sides).
    """
    return engine.region_sides(medians, np.asarray(rows), np.asarray(cols), np.asarray(means, np.float64).reshape(-1, 2),
                               settings.vote_reach, settings.vote_share)


def vote_polarity(rows, cols, means, medians, settings: AutoSettings = DEFAULT) -> tuple:
    """("dark" or "bright", dark votes, bright votes) from passing regions:
    each votes for its side (region_sides), where it has one. A tie, or a
    side that one region alone holds, is no vote (None): one region's
    classes may be any edge, such as a painted stripe's on asphalt."""
    n = len(rows)
    if n == 0:
        return None, 0, 0
    # A vote needs no more than vote_limit voters, taken evenly.
    step = -(-n // settings.vote_limit)
    sides = region_sides(rows[::step], cols[::step], means[::step], medians, settings)
    dark, bright = int(np.count_nonzero(sides == 1)), int(np.count_nonzero(sides == -1))
    if dark == bright or max(dark, bright) < 2:
        return None, dark, bright
    return ("dark" if dark > bright else "bright"), dark, bright


def passing_sides(rows, cols, judgement, medians, settings: AutoSettings = DEFAULT) -> tuple:
    """(indices of the passing regions, region_sides of each)."""
    at = np.flatnonzero(judgement.passed)
    return at, region_sides(rows[at], cols[at], judgement.means[at], medians, settings)


def against_side(sides: tuple, count: int, objects: str) -> np.ndarray:
    """The passing regions (sides: passing_sides) whose own classes put the
    objects on the other side than the picture's: the edge of an object of
    the other kind, such as a bright disc among dark vessels or a dark
    margin beside print, whose threshold splits the wrong pair of levels.
    A mask over the count regions."""
    at, side = sides
    return _mask(at[side == (-1 if objects == "dark" else 1)], count)


def sideless_edges(sides: tuple, count: int) -> np.ndarray:
    """The passing regions (sides: passing_sides) with no side of their own,
    the edges between two wide areas (a stain's, a margin's, the back's ink
    seen through the paper), where they are no more than those with a side:
    the picture's marks then show their side, and such an edge is not one
    of them. Where they are more, the wide areas are what the picture holds
    (a fundus on its black surround) and none is returned. A mask over the
    count regions."""
    at, side = sides
    sideless = at[side == 0]
    few = sideless.size <= at.size - sideless.size
    return _mask(sideless if few else [], count)


def with_side(sides: tuple, count: int) -> np.ndarray:
    """The passing regions (sides: passing_sides) with a side of their own,
    either one: a mask over the count regions."""
    at, side = sides
    return _mask(at[side != 0], count)


def _mask(indices, count: int) -> np.ndarray:
    """A mask over count regions, True at indices."""
    mask = np.zeros(count, bool)
    mask[indices] = True
    return mask


def mirror_quantiles(quantiles):
    """The quantile grid of bright objects seen as dark ones: levels 255 - v,
    shares reversed (the quantile shares are symmetric about the median)."""
    # At least float32, as the engine gives them; levels gathered as bytes
    # give the same values.
    return np.subtract(255.0, quantiles[..., ::-1], dtype=np.result_type(quantiles.dtype, np.float32))
