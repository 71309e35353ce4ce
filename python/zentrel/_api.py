"""Array-in, array-out functions over the native engine."""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field
from functools import cached_property
from typing import Any, Optional

import numpy as np

from zentrel import _engine, _limits
from zentrel.auto import AutoChoices, run as run_auto
from zentrel.auto.judge import AUTO_TEST_NAMES, AUTO_TEST_WORDS

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

_INT32_MAX = 2**31 - 1


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

    def __reduce__(self):
        # Pickled with its analysis, so that it crosses process boundaries
        # (worker pools, dask.distributed) whole.
        return type(self), (str(self), self.analysis)


@dataclass(frozen=True)
class RegionInfo:
    """One selected region and what its analysis found.

    ``start`` and ``fitted`` hold (c1, mean1, sigma1, mean2, sigma2): the dark
    component's share, the two means and the two standard deviations.
    ``status`` is one of "recorded", "empty", "flat", "left_box",
    "failed_test", "no_crossing"; ``failed_test`` names the bimodality limit
    that failed ("c1", "mean1", "mean2", "sigma1", "sigma2", "chi_ratio",
    "valley"; for the automatic default also "separation" and "peak", its
    own judgements of the fit) or is None. Under the automatic default the
    status is its own verdict ("recorded" where the region passed), and the
    fit and the threshold are those of the levels it analysed (mapped onto
    0..255, as they are for either objects' side).
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


@dataclass(frozen=True, eq=False)
class Analysis:
    """The region-level picture of one analysis.

    ``grid_shape`` is (region rows, region columns); ``records`` holds one
    row per selected region in analysis order (highest variance first) as a
    numpy structured array with the fields row, col, start, fitted,
    chi_ratio, threshold, fitter_calls, status and test (status and test as
    codes; see ``status_names`` and ``test_names``: status 0 exactly where
    a region passed, and under the automatic default its own verdict, with
    test codes for its own judgements after the engine's); ``variances`` holds the
    same regions' variances. ``regions`` gives the same as a list of
    :class:`RegionInfo`, built on first use. ``stage_seconds`` gives the
    wall-clock time of each stage of the call. ``auto`` says what the
    automatic default chose (level mapping, object polarity, limits, how
    many regions passed, any whole-image fallback, each region's verdict)
    and why; it is None for ``preset="classic"``.
    """

    grid_shape: tuple
    region_size: int
    selected_count: int
    valid_count: int
    records: np.ndarray = field(repr=False)
    variances: np.ndarray = field(repr=False)
    stage_seconds: dict = field(default_factory=dict)
    auto: Optional[AutoChoices] = None

    status_names = _limits.STATUS_NAMES
    status_words = _limits.STATUS_WORDS

    @property
    def test_names(self) -> tuple:
        """Names of the test codes in ``records["test"]``."""
        return _limits.TEST_NAMES if self.auto is None else AUTO_TEST_NAMES

    @property
    def test_words(self) -> tuple:
        """What each test code's failure means, in words."""
        return _limits.TEST_WORDS if self.auto is None else AUTO_TEST_WORDS

    def reason_words(self, reason: str) -> str:
        """What a failure reason (a test or status name) means, in words."""
        if reason in self.test_names:
            return self.test_words[self.test_names.index(reason)]
        return self.status_words[self.status_names.index(reason)]

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Analysis):
            return NotImplemented
        return (
            (self.grid_shape, self.region_size, self.selected_count, self.valid_count,
             self.stage_seconds)
            == (other.grid_shape, other.region_size, other.selected_count, other.valid_count,
                other.stage_seconds)
            and _same_records(self.records, other.records)
            and np.array_equal(self.variances, other.variances, equal_nan=True)
            and self.auto == other.auto
        )

    __hash__ = None  # mutable arrays inside

    @property
    def objects(self) -> str:
        """The objects' polarity: "dark" or "bright" (always "dark" for classic)."""
        return self.auto.objects if self.auto is not None else "dark"

    @cached_property
    def regions(self) -> list:
        """The selected regions as RegionInfo objects, in analysis order."""
        r = self.records
        size = self.region_size
        statuses = [self.status_names[s] for s in r["status"].tolist()]
        tests = [self.test_names[t] for t in r["test"].tolist()]
        thresholds = r["threshold"].tolist()
        return [
            RegionInfo(
                row=row, col=col, top=row * size // 2, left=col * size // 2, variance=variance,
                start=tuple(start), fitted=tuple(fitted), chi_ratio=chi, fitter_calls=calls,
                status=status, failed_test=test if status == "failed_test" else None,
                threshold=threshold if status == "recorded" else None,
            )
            for row, col, variance, start, fitted, chi, calls, status, test, threshold in zip(
                r["row"].tolist(), r["col"].tolist(), self.variances.tolist(), r["start"].tolist(),
                r["fitted"].tolist(), r["chi_ratio"].tolist(), r["fitter_calls"].tolist(), statuses,
                tests, thresholds,
            )
        ]

    def failure_counts(self) -> Counter:
        """How many regions failed, by reason ("c1", "valley", "flat", "separation", ...)."""
        r = self.records
        failed = r["status"] != self.status_names.index("recorded")
        on_test = r["status"] == self.status_names.index("failed_test")
        counts: Counter = Counter()
        for code, n in zip(*np.unique(r["test"][failed & on_test], return_counts=True)):
            counts[self.test_names[code]] += int(n)
        for code, n in zip(*np.unique(r["status"][failed & ~on_test], return_counts=True)):
            counts[self.status_names[code]] += int(n)
        return counts


def _same_records(a: np.ndarray, b: np.ndarray) -> bool:
    # Field by field (a NaN fit equals itself); the struct's padding is not
    # compared.
    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    return all(
        np.array_equal(a[name], b[name], equal_nan=a.dtype[name].base.kind == "f")
        for name in a.dtype.names
    )


def _as_image(image) -> np.ndarray:
    array = np.asarray(image)
    if array.dtype in _RUNNERS:
        return array
    if array.dtype.kind not in "biuf":
        raise TypeError(f"image: got element type {array.dtype}; a real-valued array is required")
    # Like AdaptiveThreshold: other real types are analysed as float32.
    return array.astype(np.float32)


def _check_int(name: str, value: Any, low: int, high: int, extra: str = "") -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name}: got {value!r}; an integer is required")
    if not low <= value <= high:
        raise ValueError(f"{name}: got {value}; accepted are {low}..{high}{extra}")
    return int(value)


def _run(image, percent, region_size, smooth, threads, limits, *, output=True, surface=False,
         variances=True):
    """One engine call: (passed, uint8 output or None, surface or None, Analysis).

    The records come as one numpy array that shares the engine's storage, so
    every call has them at no cost beyond what the engine keeps anyway; the
    selected regions' variances are kept only when asked for (else empty).
    """
    array = _as_image(image)
    percent = _check_int("percent", percent, 0, 100)
    region_size = _check_int("region_size", region_size, 1, _INT32_MAX)
    threads = 0 if threads is None else _check_int("threads", threads, 1, 1024, " (or None for all)")
    passed, out, surf, info = _RUNNERS[array.dtype](
        array, percent, region_size, bool(smooth), limits, threads, output, surface, variances
    )
    analysis = Analysis(
        grid_shape=(info["region_rows"], info["region_cols"]),
        region_size=region_size,
        selected_count=info["selected_count"],
        valid_count=info["valid_count"],
        records=info["records"],
        variances=info["variances"],
        stage_seconds=info["stage_seconds"],
    )
    return passed, out, surf, analysis


_PRESETS = ("auto", "classic")


def _preset(preset, objects, limits: dict, function: str) -> bool:
    """True for the classic analysis; checks that the options fit the preset."""
    if preset not in _PRESETS:
        raise ValueError(f"preset: got {preset!r}; expected 'auto' or 'classic'")
    if preset == "classic":
        if objects is not None:
            raise ValueError("objects: the classic analysis always takes objects as dark")
        return True
    if limits:
        raise ValueError(f"{function}(): the limit {sorted(limits)[0]!r} applies to "
                         "preset='classic'; the automatic default derives its own")
    return False


def _run_auto(image, percent, region_size, smooth, threads, objects, *, surface=False):
    """The automatic default: (uint8 output, surface or None, Analysis)."""
    array = np.asarray(image)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"image: got element type {array.dtype}; a real-valued array is required")
    if array.ndim != 2:
        raise ValueError(f"image: got {array.ndim} dimensions; a 2-D array is required")
    percent = _check_int("percent", percent, 0, 100)
    region_size = _check_int("region_size", region_size, 1, _INT32_MAX)
    threads = 0 if threads is None else _check_int("threads", threads, 1, 1024, " (or None for all)")
    if smooth:
        raise ValueError("smooth: applies to preset='classic' only")
    if min(array.shape) < region_size:
        raise ValueError(f"image: {array.shape[0]} x {array.shape[1]} pixels is smaller than one "
                         f"region of {region_size} x {region_size}")
    out, surf, choices, records, _, variance = run_auto(
        array, percent=percent, region_size=region_size, objects=objects, want_surface=surface,
        threads=threads)
    return out, surf, auto_analysis(region_size, variance, records, choices)


def auto_analysis(region_size: int, variance: np.ndarray, records: np.ndarray,
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


# What to try when the classic analysis finds no threshold, by the reason
# most regions failed. Option names are the keywords; the command line spells
# them with dashes (--mean1-range).
_HINT_AUTO = "the automatic default (preset='auto', or no --classic) derives limits from the image"
_HINT_PERCENT = f"try a higher percent, or {_HINT_AUTO}"
_HINTS = {
    **{name: f"try widening the limit named, or {_HINT_AUTO}" for name in _limits.TEST_NAMES},
    "left_box": f"try widening box_c1, box_mean or box_sigma, or {_HINT_AUTO}",
    "flat": _HINT_PERCENT,
    "empty": _HINT_PERCENT,
}


def _no_region_error(analysis: Analysis) -> NoRegionPassedError:
    if analysis.selected_count == 0:
        message = "no region passed: 0 regions were selected (raise percent)"
    else:
        reason, count = analysis.failure_counts().most_common(1)[0]
        message = (
            f"no region passed the bimodality test: {analysis.selected_count} regions were "
            f"selected and {count} of them failed on {analysis.reason_words(reason)}; "
            f"{_HINTS.get(reason, _HINT_PERCENT)}"
        )
    return NoRegionPassedError(message, analysis)


def run_all(image, *, percent=10, region_size=32, smooth=False, threads=None, preset="auto",
            objects=None, **limits):
    """binarize, threshold_surface and analyse from one analysis.

    Returns (binary or None, surface or None, Analysis): None where no region
    passed (classic only; the automatic default always has an answer).
    """
    limits = _limits.given(limits, "run_all")
    if not _preset(preset, objects, limits, "run_all"):
        return _run_auto(image, percent, region_size, smooth, threads, objects, surface=True)
    passed, out, surf, analysis = _run(image, percent, region_size, smooth, threads, limits,
                                       surface=True)
    return (out, surf, analysis) if passed else (None, None, analysis)


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
    limits = _limits.given(limits, "binarize")
    if not _preset(preset, objects, limits, "binarize"):
        return _run_auto(image, percent, region_size, smooth, threads, objects)[0]
    passed, output, _, analysis = _run(image, percent, region_size, smooth, threads, limits,
                                       variances=False)
    if not passed:
        raise _no_region_error(analysis)
    return output


@_limits.with_limit_options
def threshold_surface(image, *, percent: int = 10, region_size: int = 32, smooth: bool = False,
                      threads: Optional[int] = None, preset: str = "auto",
                      objects: Optional[str] = None, **limits) -> np.ndarray:
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
    limits = _limits.given(limits, "threshold_surface")
    if not _preset(preset, objects, limits, "threshold_surface"):
        return _run_auto(image, percent, region_size, smooth, threads, objects, surface=True)[1]
    passed, _, surface, analysis = _run(image, percent, region_size, smooth, threads, limits,
                                        output=False, surface=True, variances=False)
    if not passed:
        raise _no_region_error(analysis)
    return surface


@_limits.with_limit_options
def analyse(image, *, percent: int = 10, region_size: int = 32, smooth: bool = False,
            threads: Optional[int] = None, preset: str = "auto", objects: Optional[str] = None,
            **limits) -> Analysis:
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
    limits = _limits.given(limits, "analyse")
    if not _preset(preset, objects, limits, "analyse"):
        return _run_auto(image, percent, region_size, smooth, threads, objects)[2]
    _, _, _, analysis = _run(image, percent, region_size, smooth, threads, limits, output=False)
    return analysis
