"""The automatic default's stages in order, and the grid logic they share.

    run(image)  levels -> variance grid -> regions -> fits -> quantiles
                -> settle -> pixel decision
    settle      judge -> polarity -> fallback, or threshold grid
                (+ faint objects for bright ones)
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from zentrel.auto.fallback import enough_passed, fallback_grid, fallback_of
from zentrel.auto.judge import Judgement, judge_regions, record_verdicts
from zentrel.auto.levels import LevelMapping, fit_smoothing, level_histogram, to_levels
from zentrel.auto.polarity import detect_polarity, mirror_quantiles, vote_polarity
from zentrel.auto.regions import choose_regions
from zentrel.auto.settings import DEFAULT, AutoSettings
from zentrel.auto.surface import faint_objects, threshold_grid


@dataclass(frozen=True)
class AutoChoices:
    """What the automatic default chose for one image, and why."""

    mapping: LevelMapping
    objects: str
    objects_reason: str
    limits: dict
    min_separation: float
    selected_count: int
    passed_count: int
    fallback: str | None
    verdicts: tuple
    settings: AutoSettings = DEFAULT  # the numbers it ran with


def settle(grid_shape, count, rows, cols, judgement: Judgement, quantiles, mapping: LevelMapping, objects,
           level_range, level_histogram_of, settings: AutoSettings = DEFAULT) -> tuple:
    """The threshold grid and the choices, from what the regions gave.

    Everything here works on small arrays gathered from the image: the
    selection (rows, cols) and its judgement, the per-region quantiles, the
    levels' (minimum, maximum), and level_histogram_of(), called only when
    the side or a fallback needs the 256-bin histogram of the levels. A
    chunked caller that gathers the same quantities gets the same grid.
    Returns (grid float32 in the input's level polarity, AutoChoices).
    """
    if objects not in (None, "dark", "bright"):
        raise ValueError(f"objects: got {objects!r}; expected 'dark', 'bright' or None")
    passed, thresholds, means = judgement.passed, judgement.thresholds, judgement.means
    medians = quantiles[..., 2]
    enough = enough_passed(passed.sum(), count, settings)
    histogram = None
    if objects is not None:
        why = "given by the caller"
    else:
        # Too few passing regions to build a surface on are too few to vote.
        objects, dark, bright = (vote_polarity(rows[passed], cols[passed], means[passed], medians,
                                               settings) if enough else (None, 0, 0))
        if objects is not None:
            why = (f"{max(dark, bright)} of {dark + bright} passing regions have the "
                   f"{'bright' if objects == 'dark' else 'dark'} class nearer the ground around them")
        else:
            histogram = level_histogram_of()
            objects, why = detect_polarity(histogram)
    if objects == "bright":
        thresholds, background = 255.0 - thresholds, 255.0 - means[:, 0]
        quantiles = mirror_quantiles(quantiles)
    else:
        background = means[:, 1]
    fallback = fallback_of(level_range, enough)
    if fallback is not None:
        if fallback == "otsu" and histogram is None:
            histogram = level_histogram_of()
        grid = fallback_grid(fallback, grid_shape, level_range, histogram, objects)
    else:
        # The typical background spread: most regions are background.
        noise = None
        if objects == "bright":
            noise = max(float(np.median(quantiles[..., 3] - quantiles[..., 2])),
                        settings.min_ground_spread)
        grid, kind = threshold_grid(grid_shape, rows[passed], cols[passed], thresholds[passed],
                                    background[passed], quantiles[..., 2], noise, settings)
        if objects == "bright":
            grid = faint_objects(grid, kind, quantiles, settings)
    if objects == "bright" and fallback != "flat":
        grid = 256.0 - grid
    choices = AutoChoices(mapping, objects, why, settings.limits, settings.min_separation, count,
                          int(passed.sum()), fallback, tuple(judgement.verdicts), settings)
    return grid.astype(np.float32), choices


def run(image, stages=None, *, percent=10, region_size=32, objects=None, want_surface=False,
        threads=0, settings: AutoSettings = DEFAULT):
    """The automatic default on a whole image.

    stages provides variance_map, region_quantiles, select_regions,
    analyse_regions and decide with the signatures of the engine, which is
    the default. The regions are analysed on the levels as they are (the
    judgement is the same for either side); settle() then votes the
    objects' side and builds the grid. Besides the stages, only reductions
    touch every pixel: the levels' minimum and maximum, and their histogram
    when the side or a fallback needs it. Returns (output uint8, surface
    float32 or None, AutoChoices, records, grid, variance grid) where
    records hold the fits to the levels with the verdict (see judge) and
    grid is the threshold grid in the input's level polarity.
    """
    if stages is None:
        from zentrel import _engine as stages
    if objects not in (None, "dark", "bright"):
        raise ValueError(f"objects: got {objects!r}; expected 'dark', 'bright' or None")
    levels, mapping = to_levels(np.asarray(image), settings)
    variance = stages.variance_map(levels, region_size, threads=threads)
    count, rows, cols = choose_regions(variance, percent, stages.select_regions, settings)
    records = stages.analyse_regions(levels, region_size, rows, cols, limits=settings.limits,
                                     smooth=fit_smoothing(mapping), threads=threads)
    quantiles = stages.region_quantiles(levels, region_size, settings.quantile_shares, threads=threads)
    judgement = judge_regions(records, settings)
    grid, choices = settle(variance.shape, count, rows, cols, judgement, quantiles, mapping, objects,
                           (int(levels.min()), int(levels.max())), lambda: level_histogram(levels), settings)
    decided = stages.decide(levels, grid, region_size, threads=threads, want_surface=want_surface)
    output, surface = decided if want_surface else (decided, None)
    return output, surface, choices, record_verdicts(records, judgement), grid, variance
