"""The automatic default as the package's entry point calls it.

    run_auto(image, settings, surface=False)
        -> (uint8 output, float32 surface or None, Analysis)
    analysis_of(region_size, variance, records, choices) -> Analysis
        (also for zentrel.dask, from its gathered stages)
"""

from __future__ import annotations

import numpy as np

from zentrel.auto.choices import AutoChoices
from zentrel.auto.pipeline import run
from zentrel.core import Analysis, Settings, check_shape, real_array


def analysis_of(region_size: int, variance: np.ndarray, records: np.ndarray,
                choices: AutoChoices) -> Analysis:
    """The Analysis of the automatic default's stages (in memory and chunked)."""
    return Analysis(
        grid_shape=variance.shape,
        region_size=region_size,
        selected_count=len(records),
        valid_count=choices.passed_count,
        records=records,
        variances=variance[records["row"], records["col"]],
        auto=choices,
    )


def run_auto(image, settings: Settings, *, surface: bool = False) -> tuple:
    """The automatic default on an in-memory image under checked settings:
    (uint8 output, surface or None, Analysis)."""
    array = real_array(image)
    check_shape(array.shape, settings)
    out, surf, choices, records, _, variance = run(
        array, percent=settings.percent, region_size=settings.region_size, objects=settings.objects,
        want_surface=surface, threads=settings.threads or 0)
    return out, surf, analysis_of(settings.region_size, variance, records, choices)
