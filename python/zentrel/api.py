"""Array-in, array-out functions over the engine, and the one entry point
they share.

    run(image, settings, want) -> Outcome(binary, surface, analysis, passed)
    binarize, threshold_surface, analyse     the public functions

Every function checks its options once (core.Settings.from_kwargs) and
calls run, which dispatches on the preset: the classic analysis is one
engine call, the automatic default runs zentrel.auto's stages.
"""

from __future__ import annotations

from typing import NamedTuple, Optional

import numpy as np

from zentrel.auto import run_auto
from zentrel.core import Analysis, Settings, limits as _limits, no_region_error, run_classic

__all__ = [
    "Outcome",
    "analyse",
    "binarize",
    "run",
    "threshold_surface",
]

WANTS = frozenset({"binary", "surface", "analysis"})


class Outcome(NamedTuple):
    """What run gives: the result and the surface where wanted and found
    (None otherwise, and for classic where no region passed), and the
    Analysis."""

    binary: Optional[np.ndarray]
    surface: Optional[np.ndarray]
    analysis: Analysis
    passed: bool


def run(image, settings: Settings, want=frozenset({"binary"})) -> Outcome:
    """The analysis of image under settings, giving what ``want`` names
    ("binary", "surface", "analysis": the region variances are kept only
    for the last). Raises for an image or settings the engine cannot
    honour; a classic analysis where no region passed gives passed False."""
    want = frozenset(want)
    if not want <= WANTS:
        raise ValueError(f"want: got {sorted(want - WANTS)}; expected some of {sorted(WANTS)}")
    if settings.classic:
        passed, out, surf, analysis = run_classic(image, settings, output="binary" in want,
                                                  surface="surface" in want,
                                                  variances="analysis" in want)
        return Outcome(out if passed else None, surf if passed else None, analysis, passed)
    out, surf, analysis = run_auto(image, settings, surface="surface" in want)
    return Outcome(out, surf, analysis, True)


def _answer(function: str, image, want: str, **options):
    """What ``function`` returns: the wanted part of the outcome; for the
    binary or the surface, NoRegionPassedError where no region passed."""
    done = run(image, Settings.from_kwargs(function, **options), {want})
    if want != "analysis" and not done.passed:
        raise no_region_error(done.analysis)
    return getattr(done, want)


@_limits.with_limit_options
def binarize(image, *, percent: int = 10, region_size: int = 32, smooth: bool = False,
             threads: Optional[int] = None, preset: str = "auto", objects: Optional[str] = None,
             **limits) -> np.ndarray:
    """Turn a grey image into black (0) and white (255) by local thresholds.

    The image is covered by square regions of side ``region_size`` that
    overlap by half. Some of them get a two-Gaussian fit of their histogram;
    those whose fit is clearly two-peaked give a local threshold between the
    two components, and the thresholds are spread to every pixel, which
    becomes 255 where it reaches its threshold and 0 below, whatever the
    objects' side.

    With ``preset="auto"`` (the default) the analysis adapts to the image:
    values of any range are mapped onto 256 levels (8-bit input as it is,
    booleans to 0/255, anything else by its 0.1-99.9 % range), the objects'
    side is found (or given by ``objects``), the regions to fit are chosen
    tile by tile so that shaded parts get some, a region passes when its
    components are well apart, and where no region passed the threshold
    follows the local background. An image without distinct objects gets
    one whole-image threshold, a flat one is all 255; nothing raises for an
    image with content. ``analyse(image).auto`` tells what was chosen and why.

    With ``preset="classic"`` it is exactly ``zentrel_py.AdaptiveThreshold``:
    the ``percent`` per cent of the regions with the highest variance are
    fitted under fixed limits (the options below) that expect dark objects,
    and the components' crossing is the threshold.

    Parameters
    ----------
    image : array_like, 2-D
        Grey values. For ``preset="classic"`` every value must truncate
        toward zero into 0..255 (types other than float32, int32 and uint8
        are analysed as float32); the automatic default takes any real or
        boolean array without NaN or infinities.
    percent : int
        Share of the regions (by number, 0..100) to analyse.
    region_size : int
        Side of a region in pixels: at least 1, and each side of the image
        must be at least ``region_size`` pixels.
    smooth : bool
        Smooth each histogram (1-2-3-2-1 kernel) before its fit (classic
        only; the automatic default smooths where its mapping leaves gaps).
    threads : int, optional
        Worker threads; all hardware threads when None. The result does not
        depend on it.
    preset : {"auto", "classic"}
        The automatic default, or the fixed behaviour of AdaptiveThreshold.
    objects : {"dark", "bright"}, optional
        The objects' side for the automatic default; found from the image
        when None.
    {limits}

    Returns
    -------
    ndarray of uint8
        0 and 255, the shape of ``image``.

    Raises
    ------
    NoRegionPassedError
        Classic only: when no selected region passed (a ValueError); its
        message says how many were selected, which test most of them failed
        and what to try.
    ValueError
        For an image or parameter that cannot be honoured, and for a limit
        given without ``preset="classic"``.

    Notes
    -----
    Prints nothing and releases the interpreter lock while the engine
    computes, so several Python threads can binarise at once.

    Examples
    --------
    >>> import numpy as np, zentrel
    >>> image, objects = zentrel.uneven_scene((256, 256), seed=1)
    >>> result = zentrel.binarize(image)
    >>> result.dtype, sorted(set(result.ravel().tolist()))
    (dtype('uint8'), [0, 255])
    >>> float(((result == 0) == objects).mean()) > 0.95
    True
    >>> cells = 255 - image  # bright objects on a dark ground: the same split
    >>> bool((zentrel.binarize(cells) == 255).mean() < 0.5)
    True
    >>> classic = zentrel.binarize(image, preset="classic", percent=20)
    >>> float(((classic == 0) == objects).mean()) > 0.95
    True
    """
    return _answer("binarize", image, "binary", percent=percent, region_size=region_size, smooth=smooth,
                   threads=threads, preset=preset, objects=objects, **limits)


@_limits.with_limit_options
def threshold_surface(image, *, percent: int = 10, region_size: int = 32, smooth: bool = False,
                      threads: Optional[int] = None, preset: str = "auto",
                      objects: Optional[str] = None, **limits) -> np.ndarray:
    """The local threshold of every pixel, as float32.

    These are the values :func:`binarize` compares each pixel against: a
    pixel becomes white where its grey level (truncated toward zero) reaches
    the integer part of its threshold; in the band right of the last column
    of region nodes the pixel must instead exceed the threshold itself. Where
    the automatic default finds the objects wider than strokes
    (``analyse(image).auto.median``), the pixel's 3x3 median is compared
    instead of its level.

    Parameters
    ----------
    image : array_like, 2-D
        As for :func:`binarize`.
    percent, region_size, smooth, threads, preset, objects
        As for :func:`binarize`.
    {limits}

    Returns
    -------
    ndarray of float32
        The threshold surface, the shape of ``image``.

    Raises
    ------
    NoRegionPassedError
        When no selected region passed.

    Examples
    --------
    >>> import numpy as np, zentrel
    >>> image, _ = zentrel.uneven_scene((256, 256), seed=1)
    >>> surface = zentrel.threshold_surface(image, percent=20)
    >>> surface.shape, surface.dtype
    ((256, 256), dtype('float32'))
    >>> bool(np.all((surface > 50) & (surface < 250)))
    True
    """
    return _answer("threshold_surface", image, "surface", percent=percent, region_size=region_size, smooth=smooth,
                   threads=threads, preset=preset, objects=objects, **limits)


@_limits.with_limit_options
def analyse(image, *, percent: int = 10, region_size: int = 32, smooth: bool = False,
            threads: Optional[int] = None, preset: str = "auto", objects: Optional[str] = None,
            **limits) -> Analysis:
    """What the region analysis sees: the picture for choosing parameters.

    Parameters
    ----------
    image : array_like, 2-D
        As for :func:`binarize`.
    percent, region_size, smooth, threads, preset, objects
        As for :func:`binarize`.
    {limits}

    Returns
    -------
    Analysis
        The grid shape, the number of selected and of passing regions, and
        for each selected region (highest variance first) its position,
        variance, start values, fitted parameters, chi-square ratio, status,
        the failed test if any, and its threshold, as numpy columns
        (``records``) and as objects (``regions``). It does not raise when no
        region passes.

    Examples
    --------
    >>> import zentrel
    >>> image, _ = zentrel.uneven_scene((256, 256), seed=1)
    >>> result = zentrel.analyse(image, percent=20, region_size=32)
    >>> result.grid_shape, result.selected_count
    ((15, 15), 45)
    >>> result.regions[0].variance >= result.regions[-1].variance
    True
    >>> int((result.records["status"] == 0).sum()) == result.valid_count
    True
    """
    return _answer("analyse", image, "analysis", percent=percent, region_size=region_size,
                   smooth=smooth, threads=threads, preset=preset, objects=objects, **limits)
