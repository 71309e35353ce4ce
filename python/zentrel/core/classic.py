"""The classic analysis in one engine call.

    run_classic(image, settings, output, surface, variances)
        -> (passed, uint8 output or None, float32 surface or None, Analysis)

The image goes to the engine as float32, int32 or uint8 (other real types
as float32, as AdaptiveThreshold takes them); the engine checks its shape
and values.
"""

from __future__ import annotations

import numpy as np

from zentrel.core import _engine
from zentrel.core.analysis import Analysis
from zentrel.core.settings import Settings

_RUNNERS = {
    np.dtype(np.float32): _engine.run_float32,
    np.dtype(np.int32): _engine.run_int32,
    np.dtype(np.uint8): _engine.run_uint8,
}


def check_element_type(dtype) -> None:
    """TypeError unless ``dtype`` holds real values (booleans included)."""
    if np.dtype(dtype).kind not in "biuf":
        raise TypeError(f"image: got element type {dtype}; a real-valued array is required")


def real_array(image) -> np.ndarray:
    """image as an array of real values; TypeError for anything else."""
    array = np.asarray(image)
    check_element_type(array.dtype)
    return array


def run_classic(image, settings: Settings, *, output=True, surface=False, variances=True) -> tuple:
    """One engine call under the classic limits.

    The records come as one numpy array that shares the engine's storage, so
    every call has them at no cost beyond what the engine keeps anyway; the
    selected regions' variances are kept only when asked for (else empty).
    """
    array = real_array(image)
    if array.dtype not in _RUNNERS:
        array = array.astype(np.float32)
    threads = settings.threads or 0
    passed, out, surf, info = _RUNNERS[array.dtype](
        array, settings.percent, settings.region_size, settings.smooth, settings.limits or {},
        threads, output, surface, variances)
    analysis = Analysis(
        grid_shape=(info["region_rows"], info["region_cols"]),
        region_size=settings.region_size,
        selected_count=info["selected_count"],
        valid_count=info["valid_count"],
        records=info["records"],
        variances=info["variances"],
        stage_seconds=info["stage_seconds"],
    )
    return passed, out, surf, analysis
