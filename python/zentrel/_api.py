"""Array-in, array-out functions over the native engine."""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field
from typing import Optional

import numpy as np

from zentrel import _engine

__all__ = [
    "Analysis",
    "NoRegionPassedError",
    "RegionInfo",
    "analyse",
    "binarize",
    "threshold_surface",
]

_RUNNERS = {
    np.dtype(np.float32): _engine.run_float32,
    np.dtype(np.int32): _engine.run_int32,
    np.dtype(np.uint8): _engine.run_uint8,
}

_STAGES = ("variance_map", "selection", "region_analysis", "threshold_grid", "pixel_decision")

_TEST_WORDS = {
    "c1": "the dark share c1 outside c1_range",
    "mean1": "the dark mean outside mean1_range",
    "mean2": "the bright mean outside mean2_range",
    "sigma1": "the dark spread outside sigma_range",
    "sigma2": "the bright spread outside sigma_range",
    "chi_ratio": "a fit residual above max_chi_ratio",
    "valley": "no valley below valley_ratio between the peaks",
}

_STATUS_WORDS = {
    "empty": "an empty histogram",
    "flat": "a histogram too flat to split (a start spread of 0)",
    "left_box": "a fit that left the plausibility box (box_c1, box_mean, box_sigma)",
    "no_crossing": "components that do not cross between their means",
}


class NoRegionPassedError(ValueError):
    """No selected region passed the bimodality test, so no threshold exists.

    Attributes
    ----------
    analysis : Analysis
        What the analysis saw, region by region.
    """

    def __init__(self, message: str, analysis: "Analysis"):
        super().__init__(message)
        self.analysis = analysis


@dataclass(frozen=True)
class RegionInfo:
    """One selected region and what its analysis found.

    ``start`` and ``fitted`` hold (c1, mean1, sigma1, mean2, sigma2): the dark
    component's share, the two means and the two standard deviations.
    ``status`` is one of "recorded", "empty", "flat", "left_box",
    "failed_test", "no_crossing"; ``failed_test`` names the bimodality limit
    that failed ("c1", "mean1", "mean2", "sigma1", "sigma2", "chi_ratio",
    "valley") or is None.
    """

    row: int
    col: int
    top: int
    left: int
    variance: float
    start: tuple
    fitted: tuple
    chi_ratio: float
    fitter_calls: int
    status: str
    failed_test: Optional[str]
    threshold: Optional[float]

    @property
    def passed(self) -> bool:
        return self.status == "recorded"


@dataclass(frozen=True)
class Analysis:
    """The region-level picture of one analysis.

    ``grid_shape`` is (region rows, region columns); ``regions`` lists the
    selected regions in analysis order (highest variance first);
    ``stage_seconds`` gives the wall-clock time of each stage of the call.
    """

    grid_shape: tuple
    region_size: int
    selected_count: int
    valid_count: int
    regions: list = field(default_factory=list)
    stage_seconds: dict = field(default_factory=dict)

    def failure_counts(self) -> Counter:
        """How many regions failed, by reason ("c1", "valley", "flat", ...)."""
        return Counter(r.failed_test or r.status for r in self.regions if not r.passed)


def _limits(
    box_c1, box_mean, box_sigma, c1_range, mean1_range, mean2_range, sigma_range,
    max_chi_ratio, valley_ratio, stop_ratio,
) -> dict:
    limits = {}

    def pair(name, value, low_key, high_key):
        if value is None:
            return
        low, high = value
        if not low <= high:
            raise ValueError(f"{name}: got {value!r}; the lower bound must not exceed the upper")
        limits[low_key], limits[high_key] = float(low), float(high)

    pair("box_c1", box_c1, "box_c1_min", "box_c1_max")
    pair("box_mean", box_mean, "box_mean_min", "box_mean_max")
    pair("box_sigma", box_sigma, "box_sigma_min", "box_sigma_max")
    pair("c1_range", c1_range, "test_c1_min", "test_c1_max")
    pair("mean1_range", mean1_range, "test_mean1_min", "test_mean1_max")
    pair("mean2_range", mean2_range, "test_mean2_min", "test_mean2_max")
    pair("sigma_range", sigma_range, "test_sigma_min", "test_sigma_max")
    if max_chi_ratio is not None:
        limits["test_chi_ratio_max"] = float(max_chi_ratio)
    if valley_ratio is not None:
        limits["valley_ratio"] = float(valley_ratio)
    if stop_ratio is not None:
        limits["stop_ratio"] = float(stop_ratio)
    return limits


def _as_image(image) -> np.ndarray:
    array = np.asarray(image)
    if array.dtype in _RUNNERS:
        return array
    if array.dtype.kind not in "biuf":
        raise TypeError(f"image: got element type {array.dtype}; a real-valued array is required")
    # Like AdaptiveThreshold: other real types are analysed as float32.
    return array.astype(np.float32)


def _run(image, percent, region_size, smooth, threads, want_surface, limits):
    array = _as_image(image)
    for name, value in (("percent", percent), ("region_size", region_size)):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
            raise TypeError(f"{name}: got {value!r}; an integer is required")
    if threads is None:
        threads = 0
    elif threads < 1:
        raise ValueError(f"threads: got {threads}; it must be at least 1 (or None for all)")
    passed, output, surface, report = _RUNNERS[array.dtype](
        array, int(percent), int(region_size), bool(smooth), limits, int(threads), want_surface
    )
    return passed, output, surface, _analysis(report, int(region_size))


def _analysis(report: dict, region_size: int) -> Analysis:
    regions = []
    for r in report["regions"]:
        status = r["status"]
        regions.append(
            RegionInfo(
                row=r["row"],
                col=r["col"],
                top=r["row"] * region_size // 2,
                left=r["col"] * region_size // 2,
                variance=float(r["variance"]),
                start=tuple(float(v) for v in r["start"]),
                fitted=tuple(float(v) for v in r["fitted"]),
                chi_ratio=float(r["chi_ratio"]),
                fitter_calls=r["fitter_calls"],
                status=status,
                failed_test=r["test"] if status == "failed_test" else None,
                threshold=float(r["threshold"]) if status == "recorded" else None,
            )
        )
    return Analysis(
        grid_shape=(report["region_rows"], report["region_cols"]),
        region_size=region_size,
        selected_count=report["selected_count"],
        valid_count=report["valid_count"],
        regions=regions,
        stage_seconds=dict(zip(_STAGES, report["stage_seconds"])),
    )


def _no_region_error(analysis: Analysis) -> NoRegionPassedError:
    if analysis.selected_count == 0:
        message = "no region passed: 0 regions were selected (raise percent)"
    else:
        reason, count = analysis.failure_counts().most_common(1)[0]
        words = _TEST_WORDS.get(reason) or _STATUS_WORDS.get(reason, reason)
        message = (
            f"no region passed the bimodality test: {analysis.selected_count} regions were "
            f"selected and {count} of them failed on {words}"
        )
    return NoRegionPassedError(message, analysis)


_LIMIT_DOC = """
    box_c1, box_mean, box_sigma : (float, float), optional
        The plausibility box every fitter step must stay in: the dark share
        c1 (default (0.1, 0.9)), both means ((2, 253)) and both spreads
        ((0, 50)). A fit that leaves it is abandoned.
    c1_range, mean1_range, mean2_range, sigma_range : (float, float), optional
        The bimodality limits of a fitted region: dark share (0.2, 0.8), dark
        mean (80, 160), bright mean (90, 254), spreads (1, 50). Dark text on
        paper, for instance, needs a lower ``mean1_range``.
    max_chi_ratio : float, optional
        Largest accepted chi-square per counted pixel (4).
    valley_ratio : float, optional
        A region passes only when the mixture dips below this share of its
        lower peak between the means (0.8).
    stop_ratio : float, optional
        The fit stops refining once chi-square per counted pixel is not above
        this (0.8).
"""


def _document(func):
    func.__doc__ = func.__doc__.replace("    {limits}\n", _LIMIT_DOC.strip("\n") + "\n")
    return func


@_document
def binarize(
    image,
    *,
    percent: int = 10,
    region_size: int = 32,
    smooth: bool = False,
    threads: Optional[int] = None,
    box_c1=None, box_mean=None, box_sigma=None,
    c1_range=None, mean1_range=None, mean2_range=None, sigma_range=None,
    max_chi_ratio=None, valley_ratio=None, stop_ratio=None,
) -> np.ndarray:
    """Turn a grey image into black (0) and white (255) by local thresholds.

    The image is covered by square regions of side ``region_size`` that
    overlap by half. The ``percent`` per cent of them with the highest grey
    variance get a two-Gaussian fit of their histogram; those whose fit is
    clearly two-peaked take the grey level where the weighted components cross
    as threshold, and the thresholds are spread to every pixel.

    Parameters
    ----------
    image : array_like, 2-D
        Grey levels; every value must truncate toward zero into 0..255.
        Types other than float32, int32 and uint8 are analysed as float32.
    percent : int
        Share of the regions (by number, 0..100) to analyse.
    region_size : int
        Side of a region in pixels (at least 1, at most twice the shorter
        image side).
    smooth : bool
        Smooth each histogram (1-2-3-2-1 kernel) before its fit.
    threads : int, optional
        Worker threads; all hardware threads when None. The result does not
        depend on it.
    {limits}

    Returns
    -------
    ndarray of uint8
        0 and 255, the shape of ``image``.

    Raises
    ------
    NoRegionPassedError
        When no selected region passed (a ValueError); its message says how
        many were selected and which test most of them failed.
    ValueError
        For an image or parameter the engine cannot honour.

    Notes
    -----
    Prints nothing and releases the interpreter lock while it computes, so
    several Python threads can binarise at once. The result equals what
    ``zentrel_py.AdaptiveThreshold`` writes for the same input and parameters.

    Examples
    --------
    >>> import zentrel
    >>> image, objects = zentrel.uneven_scene((256, 256), seed=1)
    >>> result = zentrel.binarize(image, percent=20, region_size=32)
    >>> result.dtype, sorted(set(result.ravel().tolist()))
    (dtype('uint8'), [0, 255])
    >>> float(((result == 0) == objects).mean()) > 0.95
    True
    """
    limits = _limits(box_c1, box_mean, box_sigma, c1_range, mean1_range, mean2_range,
                     sigma_range, max_chi_ratio, valley_ratio, stop_ratio)
    passed, output, _, analysis = _run(image, percent, region_size, smooth, threads, False, limits)
    if not passed:
        raise _no_region_error(analysis)
    return output.astype(np.uint8)


@_document
def threshold_surface(
    image,
    *,
    percent: int = 10,
    region_size: int = 32,
    smooth: bool = False,
    threads: Optional[int] = None,
    box_c1=None, box_mean=None, box_sigma=None,
    c1_range=None, mean1_range=None, mean2_range=None, sigma_range=None,
    max_chi_ratio=None, valley_ratio=None, stop_ratio=None,
) -> np.ndarray:
    """The local threshold of every pixel, as float32.

    These are the values :func:`binarize` compares each pixel against: a
    pixel becomes white where its grey level (truncated toward zero) reaches
    the integer part of its threshold; in the band right of the last column
    of region nodes the pixel must instead exceed the threshold itself.

    Parameters
    ----------
    image : array_like, 2-D
        As for :func:`binarize`.
    percent, region_size, smooth, threads
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
    limits = _limits(box_c1, box_mean, box_sigma, c1_range, mean1_range, mean2_range,
                     sigma_range, max_chi_ratio, valley_ratio, stop_ratio)
    passed, _, surface, analysis = _run(image, percent, region_size, smooth, threads, True, limits)
    if not passed:
        raise _no_region_error(analysis)
    return surface


@_document
def analyse(
    image,
    *,
    percent: int = 10,
    region_size: int = 32,
    smooth: bool = False,
    threads: Optional[int] = None,
    box_c1=None, box_mean=None, box_sigma=None,
    c1_range=None, mean1_range=None, mean2_range=None, sigma_range=None,
    max_chi_ratio=None, valley_ratio=None, stop_ratio=None,
) -> Analysis:
    """What the region analysis sees: the picture for choosing parameters.

    Parameters
    ----------
    image : array_like, 2-D
        As for :func:`binarize`.
    percent, region_size, smooth, threads
        As for :func:`binarize`.
    {limits}

    Returns
    -------
    Analysis
        The grid shape, the number of selected and of passing regions, and
        for each selected region (highest variance first) its position,
        variance, start values, fitted parameters, chi-square ratio, status,
        the failed test if any, and its threshold. It does not raise when no
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
    """
    limits = _limits(box_c1, box_mean, box_sigma, c1_range, mean1_range, mean2_range,
                     sigma_range, max_chi_ratio, valley_ratio, stop_ratio)
    _, _, _, analysis = _run(image, percent, region_size, smooth, threads, False, limits)
    return analysis
