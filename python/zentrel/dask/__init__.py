"""zentrel on Dask: exact binarization of images larger than memory.

``binarize`` and ``threshold_surface`` take a 2-D dask array of any chunking
and return a lazy dask array; computed, it equals what :func:`zentrel.binarize`
(or :func:`zentrel.threshold_surface`) gives for the same image in memory,
byte for byte. ``analyse`` computes the region summary. No task holds the
whole image: each works on one chunk, on the edge bands where two chunks
meet, or on the region grid, one float per region.

Needs the ``dask`` extra: ``pip install "zentrel[dask]"``.
"""

from __future__ import annotations

try:
    import dask  # noqa: F401
    import dask.array as da
except ImportError as error:  # pragma: no cover - exercised in a subprocess
    raise ImportError(
        'zentrel.dask needs dask, which the "dask" extra brings: pip install "zentrel[dask]"'
    ) from error


def _dask_floor() -> str:
    """The dask release the ``dask`` extra asks for at least, from the package's metadata."""
    import re
    from importlib import metadata

    try:
        for requirement in metadata.requires("zentrel") or ():
            found = re.match(r"dask(\[[^]]*\])?\s*>=\s*([\w.]+)", requirement)
            if found:
                return found.group(2)
    except metadata.PackageNotFoundError:  # pragma: no cover - a source tree on sys.path
        pass
    return "the release the extra names"


try:  # the graph's task objects, complete since the extra's floor
    from dask._task_spec import List, Task  # noqa: F401
except ImportError as error:
    raise ImportError(
        f"zentrel.dask needs dask {_dask_floor()} or later (this is dask {dask.__version__}): "
        'pip install -U "zentrel[dask]"'
    ) from error

import math
from typing import Optional

import numpy as np

from zentrel.core import Analysis, Settings, check_element_type, check_shape, limits as _limits
from zentrel.dask._pipeline import Pipeline

__all__ = ["analyse", "binarize", "threshold_surface"]


def _pipeline(array, function: str, **options) -> Pipeline:
    settings = Settings.from_kwargs(function, threads_default="1", **options)
    if isinstance(array, np.ndarray):
        array = da.from_array(array)
    if not isinstance(array, da.Array):
        raise TypeError(f"array: got {type(array).__name__}; a dask array (or a numpy array) is required")
    check_element_type(array.dtype)
    if any(math.isnan(n) for n in array.shape):
        raise ValueError("image: its shape is not known; call compute_chunk_sizes() first")
    check_shape(array.shape, settings)
    return Pipeline(array, settings)


@_limits.with_limit_options
def binarize(array, *, percent: int = 10, region_size: int = 32, smooth: bool = False,
             threads: Optional[int] = None, preset: str = "auto", objects: Optional[str] = None,
             **limits) -> "da.Array":
    """:func:`zentrel.binarize` on a 2-D dask array, lazily.

    Parameters
    ----------
    array : dask.array.Array (or numpy.ndarray), 2-D
        Grey levels, any chunking; the values obey the rules of
        :func:`zentrel.binarize` (checked chunk by chunk when computed).
    percent, region_size, smooth, preset, objects
        As for :func:`zentrel.binarize`: the automatic default or the classic
        analysis, each giving what it gives in memory.
    threads : int, optional
        Engine threads per task (default 1: dask runs the tasks in parallel).
    {limits}

    Returns
    -------
    dask.array.Array of uint8
        0 and 255, with the input's shape and chunks. Computing it raises
        NoRegionPassedError when no selected region passed (classic only).

    Notes
    -----
    The input is read once per image-sized stage (variance, region
    analysis, pixel decision, and for the automatic default on values wider
    than 8 bits their range and fine histogram)
    so that no worker keeps chunks between stages; persist it first when
    holding it is cheaper than recomputing it.
    """
    return _pipeline(array, "binarize", percent=percent, region_size=region_size, smooth=smooth,
                     threads=threads, preset=preset, objects=objects, **limits).decide(False)


@_limits.with_limit_options
def threshold_surface(array, *, percent: int = 10, region_size: int = 32, smooth: bool = False,
                      threads: Optional[int] = None, preset: str = "auto", objects: Optional[str] = None,
             **limits) -> "da.Array":
    """:func:`zentrel.threshold_surface` on a 2-D dask array, lazily.

    Parameters
    ----------
    array, percent, region_size, smooth, threads, preset, objects
        As for :func:`binarize`.
    {limits}

    Returns
    -------
    dask.array.Array of float32
        The threshold of every pixel, with the input's shape and chunks.
    """
    return _pipeline(array, "threshold_surface", percent=percent, region_size=region_size,
                     smooth=smooth, threads=threads, preset=preset, objects=objects,
                     **limits).decide(True)


@_limits.with_limit_options
def analyse(array, *, percent: int = 10, region_size: int = 32, smooth: bool = False,
            threads: Optional[int] = None, preset: str = "auto", objects: Optional[str] = None,
            **limits) -> Analysis:
    """:func:`zentrel.analyse` on a 2-D dask array, computed on the current
    scheduler (a dask.distributed Client when one is active).

    Parameters
    ----------
    array, percent, region_size, smooth, threads, preset, objects
        As for :func:`binarize`.
    {limits}

    Returns
    -------
    zentrel.Analysis
        Equal to the in-memory one except ``stage_seconds``, which here sums
        the seconds of each stage's tasks (the pixel decision does not run).
    """
    pipeline = _pipeline(array, "analyse", percent=percent, region_size=region_size, smooth=smooth,
                         threads=threads, preset=preset, objects=objects, **limits)
    return pipeline.analysis().compute()
