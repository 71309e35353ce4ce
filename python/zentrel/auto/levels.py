"""Grey levels: how any real or boolean input becomes the 256 levels the
analysis works on.

    value_range(image) -> (min, max)          exact, a reduction over parts
    fine_histogram(image, low, high)          settings.fine_bins counts, a reduction
    level_mapping(dtype, low, high, hist)     -> LevelMapping
    apply_mapping(image, mapping)             element by element
    to_levels(image) -> (levels, mapping)     the above on a whole array
    level_histogram(levels)                   256 bins
    level_range(histogram) -> (min, max)      of the levels
    sample_histogram(levels, offset, shape)   256 bins of a fixed lattice of pixels
    level_step(sample)                        spacing of occupied levels (1, or a comb's)
    fit_smoothing(mapping, sample)            whether the fits smooth
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from zentrel.auto.settings import DEFAULT, AutoSettings
from zentrel.core import engine


@dataclass(frozen=True)
class LevelMapping:
    """How input values became the 256 levels the analysis works on.

    ``kind`` is "identity" (8-bit input), "boolean" (False 0, True 255),
    "robust" (``low``..``high`` stretched over 0..255, values outside
    clipped) or "flat" (one value only: every pixel level 0).
    """

    kind: str
    low: float
    high: float
    reason: str


# Rows per band of a wide image's conversions: their float64 and int64
# working arrays stay near BAND_VALUES values, not the image's size.
BAND_VALUES = 1 << 18


def _bands(image: np.ndarray):
    """Slices of image's rows of about BAND_VALUES values each."""
    step = max(1, BAND_VALUES // max(1, image.size // max(1, len(image))))
    return (slice(start, start + step) for start in range(0, len(image), step))


def value_range(image: np.ndarray) -> tuple:
    """(min, max) of the values; NaN or infinite values are refused."""
    if image.dtype.kind == "f" and not all(np.isfinite(image[band]).all() for band in _bands(image)):
        raise ValueError("image: holds NaN or infinite values")
    return image.min().item(), image.max().item()


def fine_histogram(image: np.ndarray, low, high, settings: AutoSettings = DEFAULT) -> np.ndarray:
    """Counts of settings.fine_bins equal bins between low and high (a reduction: the
    histograms of parts add up to the whole's)."""
    bins = settings.fine_bins
    counts = np.zeros(bins, np.intp)
    if high <= low:
        counts[0] = image.size
        return counts
    scale = bins / (float(high) - float(low))
    for band in _bands(image):  # integer counts: the bands' sum is the whole's
        values = image[band].astype(np.float64).ravel()
        index = np.floor((values - float(low)) * scale).astype(np.int64)
        np.clip(index, 0, bins - 1, out=index)
        counts += np.bincount(index, minlength=bins)
    return counts


def level_mapping(dtype, low, high, histogram=None, settings: AutoSettings = DEFAULT) -> LevelMapping:
    """The mapping for an input of this type, value range and fine histogram."""
    dtype = np.dtype(dtype)
    if dtype == np.uint8:
        return LevelMapping("identity", 0.0, 255.0, "8-bit input is used as it is")
    if dtype == np.bool_:
        return LevelMapping("boolean", 0.0, 1.0, "boolean input: False is level 0, True level 255")
    if high <= low:
        return LevelMapping("flat", float(low), float(high), "every pixel holds the same value")
    total = int(histogram.sum())
    cumulative = np.cumsum(histogram)
    share = settings.robust_share
    cut = share * total
    first = int(np.searchsorted(cumulative, cut, side="right"))
    last = int(np.searchsorted(cumulative, total - cut, side="left"))
    width = (float(high) - float(low)) / settings.fine_bins
    robust_low = float(low) + first * width
    robust_high = float(low) + (last + 1) * width
    if robust_high <= robust_low:
        robust_low, robust_high = float(low), float(high)
    return LevelMapping(
        "robust", robust_low, robust_high,
        f"values {robust_low:.6g}..{robust_high:.6g} ({share:.1%} to "
        f"{1 - share:.1%} of the pixels) stretched over levels 0..255",
    )


def apply_mapping(image: np.ndarray, mapping: LevelMapping) -> np.ndarray:
    """The uint8 levels of image under mapping, element by element."""
    if mapping.kind == "identity":
        return np.ascontiguousarray(image, dtype=np.uint8)
    if mapping.kind == "boolean":
        return np.where(image, np.uint8(255), np.uint8(0))
    if mapping.kind == "flat":
        return np.zeros(image.shape, np.uint8)
    scale = 255.0 / (mapping.high - mapping.low)
    out = np.empty(image.shape, np.uint8)
    for band in _bands(image):  # element by element: banding changes no value
        levels = np.rint((image[band].astype(np.float64) - mapping.low) * scale)
        np.clip(levels, 0.0, 255.0, out=levels)
        out[band] = levels.astype(np.uint8)
    return out


def to_levels(image: np.ndarray, settings: AutoSettings = DEFAULT) -> tuple:
    """(levels, mapping) of a whole in-memory image."""
    if image.dtype == np.uint8 or image.dtype == np.bool_:
        mapping = level_mapping(image.dtype, 0, 0)
    else:
        low, high = value_range(image)
        histogram = fine_histogram(image, low, high, settings) if high > low else None
        mapping = level_mapping(image.dtype, low, high, histogram, settings)
    return apply_mapping(image, mapping), mapping


def level_range(histogram: np.ndarray) -> tuple:
    """(min, max) of the levels, from their histogram."""
    occupied = np.flatnonzero(histogram)
    return int(occupied[0]), int(occupied[-1])


def level_histogram(levels: np.ndarray) -> np.ndarray:
    """The 256-bin histogram of the levels (int64)."""
    return np.bincount(levels.ravel(), minlength=256).astype(np.int64)


def sample_step(image_shape, settings: AutoSettings = DEFAULT) -> int:
    """Row and column step of the level sample: 1 up to about
    settings.sample_pixels pixels, then a coarser lattice."""
    rows, cols = image_shape
    return max(1, int(np.sqrt(rows * cols / float(settings.sample_pixels))))


def sample_histogram(levels: np.ndarray, offset=(0, 0), image_shape=None,
                     settings: AutoSettings = DEFAULT, threads: int = 1) -> np.ndarray:
    """The 256-bin histogram of the pixels of ``levels`` on the sample's
    lattice (whole-image rows and columns that are multiples of
    sample_step), counted by the engine on ``threads`` threads (0: all).
    ``levels`` may be a block at ``offset`` of an image of ``image_shape``:
    the blocks' histograms add up to the whole's."""
    step = sample_step(levels.shape if image_shape is None else image_shape, settings)
    return engine.lattice_histogram(levels, step, ((-offset[0]) % step, (-offset[1]) % step), threads=threads)


def _span(histogram) -> tuple:
    """(first, last) level of the 1..99 % span of the counted pixels."""
    cumulative = np.cumsum(histogram)
    total = cumulative[-1]
    return (int(np.searchsorted(cumulative, 0.01 * total)),
            int(np.searchsorted(cumulative, 0.99 * total)))


def _comb(sample, settings: AutoSettings = DEFAULT):
    """(levels, occupied levels) of the sample's 1..99 % span where more
    than settings.comb_share of them are empty, else None. Gaps between
    groups of levels (a black surround and the picture, the two inks of a
    barcode) are left out: the widest spacings of occupied levels, each
    more than twice the next. A linear stretch by k spaces its levels
    floor(k) or ceil(k) apart, never more than twice the narrower, so such
    a spacing is no tooth of a comb."""
    if not sample.sum():
        return None
    first, last = _span(sample)
    occupied = np.flatnonzero(sample[first:last + 1])
    spacing = np.sort(np.diff(occupied))[::-1]
    gaps = 0
    while gaps + 1 < spacing.size and spacing[gaps] > 2 * spacing[gaps + 1]:
        gaps += 1
    levels = last - first + 1 - int((spacing[:gaps] - 1).sum())
    occupied = max(int(occupied.size), 1)
    return (levels, occupied) if levels > 1 and (levels - occupied) / levels > settings.comb_share else None


def combed(sample: np.ndarray, settings: AutoSettings = DEFAULT) -> bool:
    """Whether the sample's levels are a comb (_comb): values stretched
    before they reached us."""
    return _comb(sample, settings) is not None


def level_step(sample: np.ndarray, settings: AutoSettings = DEFAULT) -> float:
    """The spacing of the occupied levels in a combed sample (about the
    stretch factor), else 1: the smallest difference the levels can show."""
    comb = _comb(sample, settings)
    return 1.0 if comb is None else comb[0] / comb[1]


def fit_smoothing(mapping: LevelMapping, sample=None, settings: AutoSettings = DEFAULT) -> bool:
    """Whether the fits smooth their histograms: values stretched here or
    before they reached us leave empty levels between occupied ones, and
    smoothing keeps that comb from spoiling the fits."""
    return mapping.kind == "robust" or (sample is not None and combed(sample, settings))
