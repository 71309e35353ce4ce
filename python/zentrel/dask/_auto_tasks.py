"""The automatic default's tasks: its whole-image statistics as exact
reductions over chunks (value range, fine histogram, level histogram), and
its grid logic on the gathered region grids. The rules themselves are those
of zentrel._auto; only their order of application over chunks is set here."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

from zentrel import _auto


class Plan(NamedTuple):
    """What the whole image decides before any region is looked at."""

    mapping: _auto.LevelMapping
    histogram: np.ndarray  # of the levels, 256 bins
    objects: str
    why: str


def value_range_part(block, block_info=None):
    cell = np.empty((1, 1), object)
    finite = bool(np.isfinite(block).all()) if block.dtype.kind == "f" else True
    cell[0, 0] = (finite, block.min().item(), block.max().item())
    return cell


def value_range(cells) -> tuple:
    parts = [cell[0, 0] for cell in cells]
    if not all(finite for finite, _, _ in parts):
        raise ValueError("image: holds NaN or infinite values")
    return min(low for _, low, _ in parts), max(high for _, _, high in parts)


def fine_histogram_part(block, value_range, block_info=None):
    cell = np.empty((1, 1), object)
    low, high = value_range
    cell[0, 0] = _auto.fine_histogram(block, low, high) if high > low else None
    return cell


def mapping_of(dtype, value_range, cells) -> _auto.LevelMapping:
    low, high = value_range
    histogram = sum(cell[0, 0] for cell in cells) if high > low else None
    return _auto.level_mapping(dtype, low, high, histogram)


def levels_block(block, mapping):
    return _auto.apply_mapping(block, mapping)


def level_histogram_part(levels, block_info=None):
    cell = np.empty((1, 1), object)
    cell[0, 0] = _auto.level_histogram(levels)
    return cell


def plan_of(mapping, cells, objects) -> Plan:
    histogram = sum(cell[0, 0] for cell in cells).astype(np.int64)
    if objects is None:
        objects, why = _auto.detect_polarity(histogram)
    else:
        why = "given by the caller"
    return Plan(mapping, histogram, objects, why)


def work_of(levels, plan: Plan):
    """The levels the regions are analysed on: bright objects mirrored to dark."""
    return levels if plan.objects == "dark" else _auto.mirrored(levels)


def grid_and_choices(selection, records, plan: Plan, count: int):
    """(threshold grid in the input's polarity, AutoChoices), as _auto.run makes them."""
    passed, thresholds, backgrounds, verdicts = _auto.judge_regions(records)
    grid_shape = selection.grid_shape
    histogram = plan.histogram
    fallback = None
    if np.count_nonzero(histogram) == 1:
        fallback = "flat"
        grid = np.full(grid_shape, float(np.flatnonzero(histogram)[0]) - 0.5)
    elif passed.sum() < max(1.0, _auto.MIN_PASSED_SHARE * count):
        level = _auto.otsu(histogram if plan.objects == "dark" else histogram[::-1])[0]
        fallback = "otsu"
        grid = np.full(grid_shape, level + 1.0)
    else:
        rows, cols = selection.rows, selection.cols
        grid, _ = _auto.threshold_grid(grid_shape, rows[passed], cols[passed], thresholds[passed],
                                       backgrounds[passed], selection.medians)
    if plan.objects == "bright" and fallback != "flat":
        grid = 256.0 - grid
    choices = _auto.AutoChoices(plan.mapping, plan.objects, plan.why, dict(_auto.AUTO_LIMITS),
                                _auto.MIN_SEPARATION, count, int(passed.sum()), fallback,
                                tuple(verdicts))
    return grid.astype(np.float32), choices
