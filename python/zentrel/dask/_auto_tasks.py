"""The automatic default's tasks: its whole-image statistics as exact
reductions over chunks (value range, fine histogram, level histogram), and
its grid logic on the gathered region grids. The rules themselves are those
of zentrel.auto; only their order of application over chunks is set here."""

from __future__ import annotations

from typing import NamedTuple, Optional

import numpy as np

from zentrel.auto.levels import LevelMapping, apply_mapping, fine_histogram, level_mapping
from zentrel.auto.judge import judge_regions
from zentrel.auto.pipeline import settle


class Plan(NamedTuple):
    """What the whole image gives before any region is looked at."""

    mapping: LevelMapping
    histogram: np.ndarray  # of the levels, 256 bins
    objects: Optional[str]  # as the caller gave it; None: settled from the regions

    def level_range(self) -> tuple:
        occupied = np.flatnonzero(self.histogram)
        return int(occupied[0]), int(occupied[-1])


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
    cell[0, 0] = fine_histogram(block, low, high) if high > low else None
    return cell


def mapping_of(dtype, value_range, cells) -> LevelMapping:
    low, high = value_range
    histogram = sum(cell[0, 0] for cell in cells) if high > low else None
    return level_mapping(dtype, low, high, histogram)


def levels_block(block, mapping):
    return apply_mapping(block, mapping)


def plan_of(mapping, histograms, objects) -> Plan:
    """The plan from the chunks' level histograms (exact integer sums)."""
    histogram = sum(histograms).astype(np.int64)
    return Plan(mapping, histogram, objects)


def grid_and_choices(selection, records, plan: Plan, count: int):
    """(threshold grid in the input's polarity, AutoChoices, Judgement):
    zentrel.auto's judge and settle on the gathered selection, records and
    quantiles, as its run calls them."""
    judgement = judge_regions(records)
    grid, choices = settle(selection.grid_shape, count, selection.rows, selection.cols, judgement,
                           selection.quantiles, plan.mapping, plan.objects, plan.level_range(),
                           lambda: plan.histogram)
    return grid, choices, judgement
