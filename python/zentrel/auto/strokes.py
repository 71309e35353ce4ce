"""Strokes: whether the objects are thin strokes or areas wider than a
region's small squares, read from the pixels of a sample of the fitted
regions.

    sample_positions(count)                      which selected regions are measured
    square_variances(levels, R, rows, cols, offset) -> (n, 2) per region:
        mean variance of the squares of side R // stroke_division tiling it,
        and its own variance (exact: integer sums)
    stroke_ratios(measured, count, quiet)        -> ratio per selected region (NaN: not measured)
    median_ratio(ratios, among)                  the median measured ratio among some regions (NaN: none)
    thin_strokes(ratios, passed, blurred)        the picture's objects are strokes
    stroke_regions(ratios, passed)               the passing regions that show strokes, if enough
    stroke_voters(ratios, passed)                the regions that vote on the objects' side
    strokes_among_areas(ratios, passed)          strokes beside wider dark areas' edges, if so

A region's pixels lie inside any block that holds the region, so a chunked
caller measures each region where it fits it and gets the same numbers.
"""

from __future__ import annotations

import numpy as np

from zentrel.auto.settings import DEFAULT, AutoSettings
from zentrel.core import engine


def sample_positions(count: int, settings: AutoSettings = DEFAULT) -> np.ndarray:
    """Positions in a selection of ``count`` regions that are measured:
    every k-th, so that at most settings.stroke_sample are."""
    step = max(1, -(-count // settings.stroke_sample))
    return np.arange(0, count, step)


def square_variances(levels: np.ndarray, region_size: int, rows, cols, offset=(0, 0),
                     settings: AutoSettings = DEFAULT, threads: int = 0) -> np.ndarray:
    """(n, 2) float64: for each region (rows[i], cols[i]) of the whole
    image's grid, the mean variance of the squares of side
    region_size // stroke_division that tile it from its top-left corner,
    and the variance of the pixels those squares cover. ``levels`` is a
    block at ``offset`` holding the regions; the engine sums the squares
    (exact integers) on ``threads`` threads."""
    n = len(rows)
    side = max(1, region_size // settings.stroke_division)
    k = region_size // side
    if n == 0:
        return np.zeros((0, 2))
    sums, powers = engine.square_sums(levels, region_size, side, rows, cols, offset=tuple(offset),
                                      threads=threads)
    m = float(side * side)
    small = (powers / m - (sums / m) ** 2).mean(axis=(1, 2))
    whole_n = m * k * k
    whole = powers.sum(axis=(1, 2)) / whole_n - (sums.sum(axis=(1, 2)) / whole_n) ** 2
    return np.stack([small, whole], axis=1)


def stroke_ratios(measured: np.ndarray, count: int, quiet: float,
                  settings: AutoSettings = DEFAULT) -> np.ndarray:
    """Per selected region: (small-square variance - quiet) / (variance -
    quiet), NaN where not measured. ``measured`` holds square_variances of
    the sample_positions(count) regions, in that order; quiet is the
    image's quiet level (regions.quiet_variance: the noise that every
    square shows alike)."""
    ratios = np.full(count, np.nan)
    if count == 0 or not len(measured):
        return ratios
    small, whole = measured[:, 0], measured[:, 1]
    ratios[sample_positions(count, settings)] = (small - quiet) / np.maximum(whole - quiet, 1e-9)
    return ratios


def median_ratio(ratios: np.ndarray, among: np.ndarray) -> float:
    """The median of the measured stroke ratios of the regions among (a
    bool per region); NaN where none of them was measured, which compares
    as neither sharp nor blurred."""
    measured = ratios[among & np.isfinite(ratios)]
    return float(np.median(measured)) if len(measured) else float("nan")


def thin_strokes(ratios: np.ndarray, passed: np.ndarray, settings: AutoSettings = DEFAULT,
                 blurred: np.ndarray | None = None) -> bool:
    """Whether the picture's objects are strokes thinner than a square:
    the measured passing regions' median ratio reaches settings.thin_ratio;
    or enough of them show strokes (stroke_regions) while most of the
    other measured ones are blurred (a bool per region: their dark class a
    ramp of greys, not a flat tone; judge.blurred_dark). The squares of
    blurred marks show no strokes whatever the ink does: where the back's
    writing shows through a page they may be most of the passing regions,
    and the page's own strokes the few. The edges of wide objects show none
    either, but their dark class is the objects' flat inside."""
    if _thin_by_median(ratios, passed, settings):
        return True
    strokes = stroke_regions(ratios, passed, settings)
    others = passed & np.isfinite(ratios) & ~strokes
    if blurred is None or not strokes.any() or not others.any():
        return False
    return bool(2 * np.count_nonzero(others & blurred) > np.count_nonzero(others))


def _thin_by_median(ratios: np.ndarray, passed: np.ndarray, settings: AutoSettings) -> bool:
    """Whether the measured passing regions' median ratio reaches
    settings.thin_ratio (none measured: no)."""
    return median_ratio(ratios, passed) >= settings.thin_ratio


def stroke_regions(ratios: np.ndarray, passed: np.ndarray, settings: AutoSettings = DEFAULT) -> np.ndarray:
    """The passing regions whose measured ratio shows strokes
    (settings.stroke_ratio), or none where there are fewer than
    settings.stroke_basis of them: too few to speak for the picture."""
    with np.errstate(invalid="ignore"):
        strokes = passed & (ratios >= settings.stroke_ratio)
    return strokes if np.count_nonzero(strokes) >= settings.stroke_basis else np.zeros_like(strokes)


def stroke_voters(ratios: np.ndarray, passed: np.ndarray, settings: AutoSettings = DEFAULT) -> np.ndarray:
    """The passing regions that vote on the objects' side: the stroke
    regions where there are any, else every passing region."""
    strokes = stroke_regions(ratios, passed, settings)
    return strokes if strokes.any() else passed


def strokes_among_areas(ratios: np.ndarray, passed: np.ndarray, settings: AutoSettings = DEFAULT) -> np.ndarray:
    """The passing regions that show strokes where the picture's dark
    objects are strokes among the edges of wider dark areas: the passing
    regions' median ratio stays under settings.thin_ratio, yet at least
    settings.stroke_basis of them, and settings.stroke_share of all,
    show strokes. Else none."""
    strokes = stroke_regions(ratios, passed, settings)
    if (not strokes.any() or _thin_by_median(ratios, passed, settings)
            or np.count_nonzero(strokes) < settings.stroke_share * np.count_nonzero(passed)):
        return np.zeros_like(strokes)
    return strokes
