"""The automatic default: grey levels, object polarity, limits, region choice,
threshold grid and fallback.

Everything here works on quantities that can be gathered exactly from parts
of an image: the value range and a fine histogram of the input, the minimum,
maximum and (for a fallback) the 256-bin histogram of the levels, and small
grids with one cell per region (variance, quantiles, fit records).
Image-sized work happens in the engine's stages; the only per-pixel
operation here (mapping values to levels) is element by element, so a
caller working chunk by chunk gets the same result as one working on the
whole image.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

# Values wider than 8 bits are mapped to levels from a histogram of this many
# bins between their minimum and maximum; the robust range is the span from
# ROBUST_SHARE to 1 - ROBUST_SHARE of the pixels, taken at bin edges.
FINE_BINS = 1 << 16
ROBUST_SHARE = 0.001

# Engine limits of the automatic analysis. The fit may take any shape it
# likes within a wide box; whether a region is two-peaked is judged by the
# separation of its components instead of the fixed grey-level windows.
AUTO_LIMITS = {
    "box_c1": (0.02, 0.98),
    "box_mean": (-64.0, 319.0),
    "box_sigma": (0.0, 128.0),
    "c1_range": (0.05, 0.95),
    "mean1_range": (-64.0, 319.0),
    "mean2_range": (-64.0, 319.0),
    "sigma_range": (0.0, 128.0),
    "max_chi_ratio": float("inf"),
    "valley_ratio": float("inf"),
    # A fit that follows its histogram to 1.5 chi-square per pixel is
    # refined no further: the judgement below accepts up to MAX_CHI_RATIO,
    # and the steps past that point cost most of the analysis time while
    # hardly moving the threshold.
    "stop_ratio": 1.5,
}

# The fit must follow the histogram: chi-square per counted pixel at most
# MAX_CHI_RATIO, unless both components are narrower than NARROW_SPREAD
# levels, as in a clean image, where sampling Gaussians at whole levels
# inflates it.
MAX_CHI_RATIO = 4.0
NARROW_SPREAD = 2.0

# A fit counts as two objects classes when its means lie at least this many
# pooled spreads apart: (m2 - m1) / sqrt((s1^2 + s2^2) / 2). It replaces the
# valley test, which rejects a broad mode (ink with its blurred edges) next
# to a narrow one (paper) although the two are well apart.
MIN_SEPARATION = 1.5

# One component must be peaked: the gap between the means at least
# PEAK_RATIO times the narrower spread. A smooth ramp of light gives a flat
# histogram that two wide, well separated components fit; it holds no
# objects.
PEAK_RATIO = 4.0

# The threshold of a passing region lies halfway between the two classes'
# levels, each taken one spread beyond its mean: blurred edges pull a thin
# stroke's mean toward the background, and the midpoint of the fitted means
# would then make strokes bold.
SPREAD_SHIFT = 1.0


# With fewer passing regions than this share of the analysed ones the
# local evidence is too thin to build a surface on (a picture without
# distinct objects); the whole image then gets Otsu's threshold.
MIN_PASSED_SHARE = 0.05

# A bright region standing this many background spreads above the ground
# around it is an object (see threshold_grid).
STEP_EVIDENCE = 4.0

# Regions this far apart on either side of a dark region tell a band (a
# fold's shade) from the inside of a large object (see threshold_grid).
BAND_REACH = 2

# Polarity: each passing region compares its two classes with the median of
# the region medians this many regions around it.
VOTE_REACH = 3
VOTE_LIMIT = 1024

# Per-region levels gathered in one pass: far dark tail, one spread below
# the median, the median, one spread above, far bright tail.
QUANTILE_SHARES = (0.02, 0.16, 0.5, 0.84, 0.98)

# A region's own dark tail marks an object when it lies FAINT_EVIDENCE
# background spreads below its median (noise alone reaches about two). Its
# threshold then lies FAINT_SPLIT of the way from the median to that tail:
# the far tail is the object's level pushed out by noise, so the halfway
# point would cut into the object.
FAINT_EVIDENCE = 4.0
FAINT_SPLIT = 0.35


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


def value_range(image: np.ndarray) -> tuple:
    """(min, max) of the values; NaN or infinite values are refused."""
    if image.dtype.kind == "f" and not np.isfinite(image).all():
        raise ValueError("image: holds NaN or infinite values")
    return image.min().item(), image.max().item()


def fine_histogram(image: np.ndarray, low, high) -> np.ndarray:
    """Counts of FINE_BINS equal bins between low and high (a reduction: the
    histograms of parts add up to the whole's)."""
    values = image.astype(np.float64, copy=False).ravel()
    if high <= low:
        return np.bincount(np.zeros(values.size, np.int64), minlength=FINE_BINS)
    scale = FINE_BINS / (float(high) - float(low))
    index = np.floor((values - float(low)) * scale).astype(np.int64)
    np.clip(index, 0, FINE_BINS - 1, out=index)
    return np.bincount(index, minlength=FINE_BINS)


def level_mapping(dtype, low, high, histogram=None) -> LevelMapping:
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
    cut = ROBUST_SHARE * total
    first = int(np.searchsorted(cumulative, cut, side="right"))
    last = int(np.searchsorted(cumulative, total - cut, side="left"))
    width = (float(high) - float(low)) / FINE_BINS
    robust_low = float(low) + first * width
    robust_high = float(low) + (last + 1) * width
    if robust_high <= robust_low:
        robust_low, robust_high = float(low), float(high)
    return LevelMapping(
        "robust", robust_low, robust_high,
        f"values {robust_low:.6g}..{robust_high:.6g} ({ROBUST_SHARE:.1%} to "
        f"{1 - ROBUST_SHARE:.1%} of the pixels) stretched over levels 0..255",
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
    levels = np.rint((image.astype(np.float64, copy=False) - mapping.low) * scale)
    np.clip(levels, 0.0, 255.0, out=levels)
    return levels.astype(np.uint8)


def to_levels(image: np.ndarray) -> tuple:
    """(levels, mapping) of a whole in-memory image."""
    if image.dtype == np.uint8 or image.dtype == np.bool_:
        mapping = level_mapping(image.dtype, 0, 0)
    else:
        low, high = value_range(image)
        histogram = fine_histogram(image, low, high) if high > low else None
        mapping = level_mapping(image.dtype, low, high, histogram)
    return apply_mapping(image, mapping), mapping


def level_histogram(levels: np.ndarray) -> np.ndarray:
    """The 256-bin histogram of the levels (int64)."""
    return np.bincount(levels.ravel(), minlength=256).astype(np.int64)


def otsu(histogram: np.ndarray) -> tuple:
    """(level, dark share, dark mean, bright mean) of Otsu's split of a
    256-bin histogram: the dark class holds levels <= level. Ties go to the
    lowest level; a histogram of one level splits above it."""
    h = histogram.astype(np.float64)
    total = h.sum()
    levels = np.arange(256.0)
    w0 = np.cumsum(h)
    s0 = np.cumsum(h * levels)
    w1 = total - w0
    with np.errstate(divide="ignore", invalid="ignore"):
        m0 = s0 / w0
        m1 = (s0[-1] - s0) / w1
        between = w0 * w1 * (m0 - m1) ** 2
    between[~np.isfinite(between) | (w0 == 0) | (w1 == 0)] = -1.0
    k = int(np.argmax(between))
    if between[k] < 0:  # one level only
        k = int(np.flatnonzero(h)[0]) if total else 0
        return k, 1.0, float(k), float(k)
    return k, float(w0[k] / total), float(m0[k]), float(m1[k])


def detect_polarity(histogram: np.ndarray) -> tuple:
    """("dark" or "bright", reason): objects are the smaller of Otsu's two
    classes of the level histogram; the background holds most pixels."""
    _, dark_share, _, _ = otsu(histogram)
    if dark_share <= 0.5:
        return "dark", f"the dark class of the histogram holds {dark_share:.0%} of the pixels"
    return "bright", f"the bright class of the histogram holds {1 - dark_share:.0%} of the pixels"


def selected_count(grid_shape: tuple, percent: int) -> int:
    rows, cols = grid_shape
    return rows * cols * percent // 100


def region_scores(variance: np.ndarray, count: int) -> np.ndarray:
    """Scores whose top ``count`` spread the analysed regions over the image:
    the grid is cut into about count/2 tiles and a region scores its variance
    relative to the highest in its tile, so every tile with content gets its
    busiest regions analysed, shaded or low-contrast ones included. Tiles
    whose best region is no busier than four times the image's quiet level
    (the tenth percentile of region spreads) score 0."""
    rows, cols = variance.shape
    side = max(1, int(np.sqrt(rows * cols / max(1, count // 2))))
    tile_cols = -(-cols // side)
    quiet = np.sqrt(np.quantile(variance.astype(np.float64), 0.1))  # a function of the grid alone
    floor = (4.0 * quiet) ** 2
    top = float(variance.max())
    score = np.empty((rows, cols), np.float32)
    # Bands of whole tile rows, so that the float64 working arrays stay
    # small on large grids; each region's score is the same as from the
    # whole grid at once.
    band = side * max(1, 256 // side)
    for r0 in range(0, rows, band):
        v = variance[r0:r0 + band].astype(np.float64)
        n = -(-len(v) // side) * side
        padded = np.full((n, tile_cols * side), -np.inf)
        padded[:len(v), :cols] = v
        tile_max = padded.reshape(n // side, side, tile_cols, side).max(axis=(1, 3))
        best = np.repeat(np.repeat(tile_max, side, 0), side, 1)[:len(v), :cols]
        with np.errstate(divide="ignore", invalid="ignore"):
            part = np.where(best > floor, v / best, 0.0)
        if top > 0:
            part = part + 1e-6 * v / top
        score[r0:r0 + band] = part
    return score


def judge_regions(records) -> tuple:
    """Which analysed regions give a threshold, and what.

    records: structured array with fields start, fitted (c1, mean1, sigma1,
    mean2, sigma2), status and threshold, as the engine's region analysis
    returns them under AUTO_LIMITS. Returns (passed, thresholds,
    means, verdicts): a region passes when the engine recorded it and
    its components lie MIN_SEPARATION pooled spreads apart, or when its
    histogram holds two clean levels (a start spread of 0 on both sides, as
    in an already binary image), which then split halfway. means holds the
    dark and the bright class's mean (n x 2); verdicts names each region's
    outcome. The judgement does not depend on which class the objects are.
    """
    from zentrel._limits import STATUS_NAMES, TEST_NAMES

    # Outcomes as indices into one table of words: comparing and listing
    # words per region would cost more than all the arithmetic here.
    status = np.arange(len(STATUS_NAMES))[np.asarray(records["status"]).astype(np.int64)]

    def named(word):
        return np.array([name == word for name in STATUS_NAMES])[status]

    fitted = np.asarray(records["fitted"], np.float64).reshape(-1, 5)
    start = np.asarray(records["start"], np.float64).reshape(-1, 5)
    m1, s1, m2, s2 = fitted[:, 1], fitted[:, 2], fitted[:, 3], fitted[:, 4]
    recorded = named("recorded")
    chi_bad = recorded & ~((records["chi_ratio"] <= MAX_CHI_RATIO) | (np.maximum(s1, s2) < NARROW_SPREAD))
    flat_peak = recorded & ~chi_bad & (m2 - m1 < PEAK_RATIO * np.minimum(s1, s2))
    pooled = np.sqrt((s1 * s1 + s2 * s2) / 2)
    separated = recorded & ~chi_bad & ~flat_peak & (m2 - m1 >= MIN_SEPARATION * pooled)
    two_levels = named("flat") & (start[:, 2] == 0.0) & (start[:, 4] == 0.0) & (start[:, 3] > start[:, 1])
    passed = separated | two_levels
    shifted = (m1 - SPREAD_SHIFT * s1 + m2 + SPREAD_SHIFT * s2) / 2
    thresholds = np.where(two_levels, (start[:, 1] + start[:, 3]) / 2, np.minimum(np.maximum(shifted, m1), m2))
    thresholds = np.where(passed, thresholds, 0.0)
    means = np.where(two_levels[:, None], start[:, [1, 3]], fitted[:, [1, 3]])
    means = np.where(passed[:, None], means, 0.0)
    words = STATUS_NAMES + ("chi_ratio", "peak", "separation", "two_levels") + TEST_NAMES
    judged = len(STATUS_NAMES)  # where the words of this judgement start
    verdict = status.copy()
    verdict[chi_bad], verdict[flat_peak] = judged, judged + 1
    verdict[recorded & ~chi_bad & ~flat_peak & ~separated] = judged + 2
    verdict[two_levels] = judged + 3
    failed = named("failed_test")
    if failed.any():
        tests = np.arange(len(TEST_NAMES))[np.asarray(records["test"])[failed].astype(np.int64)]
        verdict[failed] = judged + 4 + tests
    verdicts = np.array(words, dtype=object)[verdict].tolist()
    return passed, thresholds, means, verdicts


_NEIGHBOURS = [(dy, dx) for dy in (-1, 0, 1) for dx in (-1, 0, 1) if dy or dx]

# Front regions whose neighbour sums are gathered at a time: small enough
# for the partial sums to stay in cache through the eight additions.
_GATHER_BLOCK = 1 << 13


def _neighbour_count(known, out):
    """How many of its eight neighbours each cell has known; known is padded
    by one unknown cell on every side, out has the unpadded shape."""
    rows, cols = out.shape
    out.fill(0)
    for dy, dx in _NEIGHBOURS:
        out += known[1 + dy:rows + 1 + dy, 1 + dx:cols + 1 + dx]
    return out


def _neighbour_sums(planes, at, width):
    """Sums over the eight neighbours of the cells at flat indices ``at`` of
    padded grids of the given width (planes: flat, 0.0 where unknown), one
    row per plane. Each sum is 0.0 + v(n1) + v(n2) + ... in _NEIGHBOURS
    order, the order of the additions that fixes the rounding: the value
    that neighbour (dy, dx) hands on is the one at -(dy, dx)."""
    # at - shift is at - reach + (reach - shift): one index array serves all
    # neighbours, each read through a view of its plane that starts later.
    # Every index lies inside its view (at is an inner cell), so "clip"
    # changes nothing but spares np.take a buffered copy.
    reach = width + 1
    at = at - reach
    views = [[plane[reach - (dy * width + dx):] for plane in planes] for dy, dx in _NEIGHBOURS]
    sums = np.zeros((len(planes), len(at)))
    values = np.empty(min(len(at), _GATHER_BLOCK))
    for start in range(0, len(at), _GATHER_BLOCK):
        part = at[start:start + _GATHER_BLOCK]
        got = values[:len(part)]
        for shifted in views:
            for plane, total in zip(shifted, sums):
                np.take(plane, part, out=got, mode="clip")
                total[start:start + len(part)] += got
    return sums


def _band_depth(medians, reach=BAND_REACH):
    """How far each region lies below both regions ``reach`` away on either
    side, in the direction where that is deepest: a dark band narrower than
    about 2 * reach regions (a fold, a cast shadow's edge) has depth, the
    inside of a large object none. Float64.

    Subtracting the centre is monotonic, so the deepest direction is found
    on the medians as they are (minimum and maximum are exact in any type)
    and the centre subtracted once, in float64."""
    rows, cols = medians.shape
    padded = np.pad(medians, reach, mode="edge")
    centre = padded[reach:reach + rows, reach:reach + cols]
    top = side = None
    for dy, dx in ((0, reach), (reach, 0), (reach, reach), (reach, -reach)):
        a = padded[reach + dy:reach + dy + rows, reach + dx:reach + dx + cols]
        b = padded[reach - dy:reach - dy + rows, reach - dx:reach - dx + cols]
        if top is None:
            top, side = np.minimum(a, b), np.empty(medians.shape, medians.dtype)
        else:
            np.maximum(top, np.minimum(a, b, out=side), out=top)
    return np.subtract(top, centre, dtype=np.float64)


def threshold_grid(grid_shape, rows, cols, thresholds, backgrounds, medians, noise=None) -> tuple:
    """The threshold of every region, for dark objects on a brighter ground.

    Passing regions keep their thresholds and show a contrast, background
    mean minus threshold, and a ground, the background mean. The other
    regions are settled in waves outward from them: a region next to
    settled ones is background when its median reaches their mean
    threshold, and then takes its own median minus their mean contrast, so
    the threshold follows the light into shaded or empty parts; otherwise it
    lies inside an object larger than a region and takes their mean
    threshold: at once when its median lies at the objects' level, else
    only once no region can be settled as background any more. With noise (the typical background spread; given for objects that
    are brighter than their ground, where no shade can make a region
    brighter) a region whose median lies STEP_EVIDENCE spreads below its
    neighbours' mean ground is an object of its own, however faint, and
    splits halfway between the two. Returns (grid, kind) with kind 1
    passed, 2 background, 3 inside an object, 0 unreached (no passing
    region).

    Each wave works on its front only (the unsettled regions next to
    settled ones), gathering their neighbours' sums from grids padded by
    one unknown cell; unknown cells hold 0.0, so they add nothing.
    """
    n_rows, n_cols = grid_shape
    padded = (n_rows + 2, n_cols + 2)
    width = padded[1]

    def inner(plane):
        return plane.reshape(padded)[1:-1, 1:-1]

    # Planes: threshold, contrast and, with noise, the ground. The step test
    # reads the ground of regions whose ground is their own (passed or
    # background) only: a ground carried through an object's inside is
    # stale where the light changes, so such regions keep 0.0 here.
    planes = [np.zeros(padded).reshape(-1) for _ in range(2 if noise is None else 3)]
    inner(planes[0])[rows, cols] = thresholds
    inner(planes[1])[rows, cols] = np.maximum(backgrounds - thresholds, 0.0)
    known = np.zeros(padded, bool)
    inner(known)[rows, cols] = True
    if noise is not None:
        inner(planes[2])[rows, cols] = backgrounds
        own = known.copy()
        own_count = np.zeros(padded, np.uint8)
    kind = known.astype(np.int8).reshape(-1)
    band = np.zeros(padded)
    inner(band)[...] = _band_depth(medians)
    band = band.reshape(-1)
    # The medians as given (levels: float32 from the engine, or bytes) in
    # at least float32; every use compares or subtracts them in float64.
    level = np.zeros(padded, np.result_type(medians.dtype, np.float32))
    inner(level)[...] = medians
    level = level.reshape(-1)
    count = np.zeros(padded, np.uint8)
    while True:
        _neighbour_count(known, inner(count))
        front = count > 0
        front &= ~known
        at = np.flatnonzero(front)
        if not len(at):
            break
        sums = _neighbour_sums(planes, at, width)
        # Means in place of the sums, which are not needed after: the counts
        # are small whole numbers, divided in float64 either way.
        with np.errstate(invalid="ignore", divide="ignore"):
            near_t, near_c = np.divide(sums[:2], count.reshape(-1)[at], out=sums[:2])
        median = level[at]
        if noise is not None:
            _neighbour_count(own, inner(own_count))
            own_n = own_count.reshape(-1)[at]
            with np.errstate(invalid="ignore", divide="ignore"):
                own_g = np.divide(sums[2], own_n, out=sums[2])
            step = (own_n > 0) & (own_g - median > STEP_EVIDENCE * noise)
            background = (median >= near_t) & ~step
        else:
            step = None
            background = median >= near_t
        # A region darker than the threshold by more than the contrast lies
        # at the objects' level: inside at once. One just below it may be
        # shade; it waits until no background region can reach it, so
        # falling light, met step by step from its brighter side, is not
        # read as an object.
        deep = median < near_t - near_c
        deep &= ~background
        deep &= ~(band[at] > near_c)
        stepped = step is not None and step.any()
        inside = (deep | step) if stepped else deep
        if not (background.any() or inside.any()):
            inside = ~background
        settled = background | inside
        on, into = at[background], at[inside]
        median_on = median[background]
        planes[0][on] = median_on - near_c[background]
        planes[0][into] = near_t[inside]
        if stepped:  # steps are inside: they split halfway, if above the threshold
            planes[0][at[step]] = np.maximum((own_g[step] + median[step]) / 2, near_t[step])
        planes[1][at[settled]] = near_c[settled]
        if noise is not None:
            planes[2][on] = median_on
            own.reshape(-1)[on] = True
        kind[on], kind[into] = 2, 3
        known.reshape(-1)[at[settled]] = True
    return np.ascontiguousarray(inner(planes[0])), np.ascontiguousarray(inner(kind))


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


def vote_polarity(rows, cols, means, medians) -> tuple:
    """("dark" or "bright", dark votes, bright votes) from passing regions.

    The background is what surrounds the objects: each passing region votes
    for the side whose class mean lies farther from the median of the
    region medians around it (VOTE_REACH regions each way), which follows
    the local light, so shading cannot turn the background into a class.
    """
    n = len(rows)
    if n == 0:
        return None, 0, 0
    # A vote needs no more than VOTE_LIMIT voters, taken evenly.
    step = -(-n // VOTE_LIMIT)
    rows, cols, means = rows[::step], cols[::step], means[::step]
    r = VOTE_REACH
    dy, dx = np.mgrid[-r:r + 1, -r:r + 1]
    # Windows past the edge repeat the edge regions.
    window = medians[np.clip(rows[:, None] + dy.ravel(), 0, medians.shape[0] - 1),
                     np.clip(cols[:, None] + dx.ravel(), 0, medians.shape[1] - 1)].astype(np.float64)
    ground = np.median(window, axis=1)
    dark = int(np.count_nonzero(np.abs(ground - means[:, 1]) < np.abs(ground - means[:, 0])))
    bright = int(np.count_nonzero(np.abs(ground - means[:, 0]) < np.abs(ground - means[:, 1])))
    if dark == bright:
        return None, dark, bright
    return ("dark" if dark > bright else "bright"), dark, bright


def faint_objects(grid, kind, quantiles) -> np.ndarray:
    """The grid with regions that hold a faint object of their own raised.

    quantiles: (rows, cols, 5) levels at QUANTILE_SHARES, dark objects.
    A region settled from its neighbours whose far dark tail lies
    FAINT_EVIDENCE background spreads below its median holds an
    object its neighbours' contrast would miss (a dim cell beside bright
    ones); it then splits FAINT_SPLIT of the way from its median to that
    tail. Used for objects brighter than their ground only: light adds
    there (emission, as in fluorescence or the sky), so a faint excess is
    signal, while faint dark marks on a bright ground are what print and
    paper leave behind (show-through, stains, shadows).
    """
    # A region half over an object shows the object in its spread too; the
    # image's typical spread bounds it. Levels are whole numbers: a spread
    # under one level is their rounding, not the ground's calm.
    typical = np.median(quantiles[..., 3].astype(np.float64) - quantiles[..., 2])
    raised = np.empty(grid.shape, np.result_type(grid.dtype, np.float64))
    # In bands of rows, so that the float64 working arrays stay small on
    # large grids; every region's result depends on its own values alone.
    for r0 in range(0, grid.shape[0], 256):
        rows = slice(r0, r0 + 256)
        low, median, spread_high = (quantiles[rows, :, i].astype(np.float64) for i in (0, 2, 3))
        g = grid[rows]
        spread = spread_high - median
        noise = np.maximum(np.minimum(spread, typical), 1.0)
        tail = median - low
        own = median - FAINT_SPLIT * tail
        weaker = tail < 2.0 * (median - g)  # its neighbours' threshold would miss it
        faint = (kind[rows] == 2) & weaker & (tail >= FAINT_EVIDENCE * noise) & (own > g)
        raised[rows] = np.where(faint, own, g)
    return raised


def mirror_quantiles(quantiles):
    """The quantile grid of bright objects seen as dark ones: levels 255 - v,
    shares reversed (QUANTILE_SHARES is symmetric about the median)."""
    # At least float32, as the engine gives them; levels gathered as bytes
    # give the same values.
    return np.subtract(255.0, quantiles[..., ::-1], dtype=np.result_type(quantiles.dtype, np.float32))


def choose_regions(variance: np.ndarray, percent: int, select_regions) -> tuple:
    """(count, rows, cols): the regions to fit, from the whole image's variance grid."""
    count = max(1, selected_count(variance.shape, percent))
    rows, cols = select_regions(region_scores(variance, count), count)
    return count, rows, cols


def fit_smoothing(mapping: LevelMapping) -> bool:
    """Whether the fits smooth their histograms: stretched values leave empty
    levels between occupied ones, and smoothing keeps that comb from
    spoiling the fits."""
    return mapping.kind == "robust"


def settle(grid_shape, count, rows, cols, records, quantiles, mapping: LevelMapping, objects,
           level_range, level_histogram_of) -> tuple:
    """The threshold grid and the choices, from what the regions gave.

    Everything here works on small arrays gathered from the image: the
    selection (rows, cols) and its records, the per-region quantiles, the
    levels' (minimum, maximum), and level_histogram_of(), called only when
    the side or a fallback needs the 256-bin histogram of the levels. A
    chunked caller that gathers the same quantities gets the same grid.
    Returns (grid float32 in the input's level polarity, AutoChoices).
    """
    if objects not in (None, "dark", "bright"):
        raise ValueError(f"objects: got {objects!r}; expected 'dark', 'bright' or None")
    passed, thresholds, means, verdicts = judge_regions(records)
    medians = quantiles[..., 2]
    enough = passed.sum() >= max(1.0, MIN_PASSED_SHARE * count)
    histogram = None
    if objects is not None:
        why = "given by the caller"
    else:
        # Too few passing regions to build a surface on are too few to vote.
        objects, dark, bright = vote_polarity(rows[passed], cols[passed], means[passed], medians) \
            if enough else (None, 0, 0)
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
    fallback = None
    low, high = level_range
    if low == high:
        fallback = "flat"
        grid = np.full(grid_shape, float(low) - 0.5)
    elif not enough:
        if histogram is None:
            histogram = level_histogram_of()
        level = otsu(histogram if objects == "dark" else histogram[::-1])[0]
        fallback = "otsu"
        grid = np.full(grid_shape, level + 1.0)
    else:
        # The typical background spread: most regions are background.
        noise = max(float(np.median(quantiles[..., 3] - quantiles[..., 2])), 0.5) if objects == "bright" else None
        grid, kind = threshold_grid(grid_shape, rows[passed], cols[passed], thresholds[passed],
                                    background[passed], quantiles[..., 2], noise)
        if objects == "bright":
            grid = faint_objects(grid, kind, quantiles)
    if objects == "bright" and fallback != "flat":
        grid = 256.0 - grid
    choices = AutoChoices(mapping, objects, why, dict(AUTO_LIMITS), MIN_SEPARATION, count,
                          int(passed.sum()), fallback, tuple(verdicts))
    return grid.astype(np.float32), choices


def run(image, stages=None, *, percent=10, region_size=32, objects=None, want_surface=False,
        threads=0):
    """The automatic default on a whole image.

    stages provides variance_map, region_quantiles, select_regions,
    analyse_regions and decide with the signatures of the engine, which is
    the default. The regions are analysed on the levels as they are (the
    judgement is the same for either side); settle() then votes the
    objects' side and builds the grid. Besides the stages, only reductions
    touch every pixel: the levels' minimum and maximum, and their histogram
    when the side or a fallback needs it. Returns (output uint8, surface
    float32 or None, AutoChoices, records, grid, variance grid) where
    records hold the fits to the levels and grid is the threshold grid in
    the input's level polarity.
    """
    if stages is None:
        from zentrel import _engine as stages
    if objects not in (None, "dark", "bright"):
        raise ValueError(f"objects: got {objects!r}; expected 'dark', 'bright' or None")
    levels, mapping = to_levels(np.asarray(image))
    variance = stages.variance_map(levels, region_size, threads=threads)
    count, rows, cols = choose_regions(variance, percent, stages.select_regions)
    records = stages.analyse_regions(levels, region_size, rows, cols, limits=AUTO_LIMITS,
                                     smooth=fit_smoothing(mapping), threads=threads)
    quantiles = stages.region_quantiles(levels, region_size, QUANTILE_SHARES, threads=threads)
    grid, choices = settle(variance.shape, count, rows, cols, records, quantiles, mapping, objects,
                           (int(levels.min()), int(levels.max())), lambda: level_histogram(levels))
    decided = stages.decide(levels, grid, region_size, threads=threads, want_surface=want_surface)
    output, surface = decided if want_surface else (decided, None)
    return output, surface, choices, records, grid, variance
