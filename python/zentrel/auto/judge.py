"""One verdict per analysed region, made here and nowhere else: does its fit
show two classes, and at what threshold.

    judge_regions(records) -> Judgement(passed, thresholds, means, status, test, verdicts, spreads)
    ink_contrast(ink, ground, ratios, passed) -> the picture's ink contrast, or None
    blurred_dark(means, spreads) -> bool per region: its dark class a ramp of greys, no peak
    backdrop_edges(ink, ground, basis) -> bool per region: the edge of a brighter backdrop
    on_support(judgement, ink, ground, ratios) -> the Judgement, a backdrop's edges thresholded on the support
    reject_faint(judgement, ink, ground, ratios) -> the Judgement, bleed-through rejected
    reject_blurred(judgement, ink, ground, ratios) -> the Judgement, blurred marks lighter than the strokes rejected
    keep_only(judgement, kept, test) -> the Judgement, the other passing regions failed on test
    judged_records(records, judgement) -> the records, carrying the verdict

A judged record has status 0 ("recorded") exactly where the region passed,
and then its threshold; a region that fails one of the default's own
judgements has status "failed_test" and its test code; one the engine
failed keeps the engine's status and test (codes: core.outcomes).
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

from zentrel.core.outcomes import AUTO_TEST_NAMES, NO_THRESHOLD, STATUS_NAMES, TEST_NAMES
from zentrel.auto.settings import DEFAULT, AutoSettings
from zentrel.auto.strokes import median_ratio, stroke_regions

_RECORDED = STATUS_NAMES.index("recorded")
_FAILED_TEST = STATUS_NAMES.index("failed_test")
_PASSED_TEST = TEST_NAMES.index("passed")
# Verdict words: every status, every test, and the two passing splits
# without a fit: two clean levels, and a histogram split at its mean.
_VERDICT_WORDS = np.array(STATUS_NAMES + AUTO_TEST_NAMES + ("two_levels", "split"), dtype=object)


class Judgement(NamedTuple):
    """The verdict on each analysed region, in analysis order."""

    passed: np.ndarray      # bool, per region
    thresholds: np.ndarray  # float64; 0.0 where not passed
    means: np.ndarray       # (n, 2) float64: dark and bright class mean; 0.0 where not passed
    status: np.ndarray      # uint8 codes into STATUS_NAMES; 0 exactly where passed
    test: np.ndarray        # uint8 codes into AUTO_TEST_NAMES
    verdicts: list          # each region's outcome in words: a status or test name, or "two_levels"
    spreads: np.ndarray     # (n, 2) float64: dark and bright class spread; 0.0 where not passed


def judge_regions(records, settings: AutoSettings = DEFAULT) -> Judgement:
    """Which analysed regions give a threshold, and what.

    records: structured array with fields start, fitted (c1, mean1, sigma1,
    mean2, sigma2), chi_ratio, status and test, as the engine's region
    analysis returns them under settings.limits. A region passes when the
    engine recorded it, one component is peaked (peak) and its components lie
    settings.min_separation pooled spreads apart (separation), or when its
    histogram holds two clean levels (a start spread of 0 on both sides, as
    in an already binary image), which then split halfway ("two_levels"),
    or when its fit failed but its histogram split at its mean shows two
    classes (see AutoSettings.split_separation), which split halfway too
    ("split"). The judgement does not depend on which class the objects are.
    """
    s = settings
    engine_status = np.asarray(records["status"])
    fitted = np.asarray(records["fitted"], np.float64).reshape(-1, 5)
    start = np.asarray(records["start"], np.float64).reshape(-1, 5)
    m1, s1, m2, s2 = fitted[:, 1], fitted[:, 2], fitted[:, 3], fitted[:, 4]
    recorded = engine_status == _RECORDED
    flat_peak = recorded & (m2 - m1 < s.peak_ratio * np.minimum(s1, s2))
    pooled = np.sqrt((s1 * s1 + s2 * s2) / 2)
    separated = recorded & ~flat_peak & (m2 - m1 >= s.min_separation * pooled)
    too_close = recorded & ~flat_peak & ~separated
    two_levels = ((engine_status == STATUS_NAMES.index("flat")) & (start[:, 2] == 0.0)
                  & (start[:, 4] == 0.0) & (start[:, 3] > start[:, 1]))
    split = ~separated & ~two_levels & split_classes(start, settings)
    split &= recorded | np.isin(engine_status, _FIT_FAILURES)
    unfitted = two_levels | split  # passing on their start values
    passed = separated | unfitted
    shifted = (m1 - s.spread_shift * s1 + m2 + s.spread_shift * s2) / 2
    thresholds = np.where(unfitted, (start[:, 1] + start[:, 3]) / 2, np.minimum(np.maximum(shifted, m1), m2))
    thresholds = np.where(passed, thresholds, 0.0)
    kept = np.where(passed[:, None], np.where(unfitted[:, None], start, fitted), 0.0)
    means, spreads = kept[:, [1, 3]], kept[:, [2, 4]]

    status = engine_status.astype(np.uint8)  # a copy
    test = np.asarray(records["test"]).astype(np.uint8)
    status[flat_peak | too_close] = _FAILED_TEST
    for failed, name in ((flat_peak, "peak"), (too_close, "separation")):
        test[failed] = AUTO_TEST_NAMES.index(name)
    status[passed], test[passed] = _RECORDED, _PASSED_TEST
    # Outcomes as indices into one table of words: comparing and listing
    # words per region would cost more than all the arithmetic here.
    word = np.where(status == _FAILED_TEST, len(STATUS_NAMES) + test.astype(np.int64), status)
    word[two_levels] = len(_VERDICT_WORDS) - 2
    word[split] = len(_VERDICT_WORDS) - 1
    return Judgement(passed, thresholds, means, status, test, _VERDICT_WORDS[word].tolist(), spreads)


# Engine outcomes of a fit that went wrong on a histogram that may still
# hold two classes; "flat" and "empty" histograms hold none.
_FIT_FAILURES = [STATUS_NAMES.index(name) for name in ("left_box", "no_crossing", "failed_test")]


def split_classes(start: np.ndarray, settings: AutoSettings) -> np.ndarray:
    """Whether the histogram split at its mean (the fit's start values)
    gives two classes settings.split_separation pooled spreads apart, one
    of them peaked (see AutoSettings.split_separation)."""
    m1, s1, m2, s2 = start[:, 1], start[:, 2], start[:, 3], start[:, 4]
    with np.errstate(invalid="ignore"):
        pooled = np.sqrt((s1 * s1 + s2 * s2) / 2)
        gap = m2 - m1
        return (np.isfinite(pooled) & (gap >= settings.split_separation * pooled)
                & (gap >= settings.peak_ratio * np.minimum(s1, s2)))


def ink_contrast(ink: np.ndarray, ground: np.ndarray, ratios: np.ndarray, passed: np.ndarray,
                 settings: AutoSettings = DEFAULT):
    """The picture's ink contrast, for dark objects: the
    settings.ink_quantile quantile of ground - ink (each region's bright and
    dark class mean) over the passing regions whose ratio shows strokes,
    less those that edge a brighter backdrop (backdrop_edges: that step
    says nothing of the ink on the support); None where fewer than
    settings.stroke_basis of them show strokes."""
    basis = stroke_regions(ratios, passed, settings)
    if not basis.any():
        return None
    return float(np.quantile((ground - ink)[basis & ~backdrop_edges(ink, ground, basis)], settings.ink_quantile))


def blurred_dark(means: np.ndarray, spreads: np.ndarray, settings: AutoSettings = DEFAULT) -> np.ndarray:
    """Per region: whether its dark class is no peak (see
    AutoSettings.peak_ratio): its classes' gap is under settings.peak_ratio
    times its spread. Ink blurred into the paper gives a ramp of greys; the
    inside of a wide object a flat tone as narrow as the paper's."""
    return (means[:, 1] - means[:, 0]) < settings.peak_ratio * spreads[:, 0]


def backdrop_edges(ink: np.ndarray, ground: np.ndarray, basis: np.ndarray) -> np.ndarray:
    """Per region, for dark objects: whether its ground (bright class mean)
    stands above the median ground of the basis regions (the strokes) by
    more than their median contrast (ground - ink): the edge of a brighter
    backdrop around the ground the marks lie on, such as a papyrus or a
    dark page on a white board. None where basis is empty."""
    if not basis.any():
        return np.zeros(len(ground), bool)
    return ground - np.median(ground[basis]) > _typical_contrast(ink, ground, basis)


def on_support(judgement: Judgement, ink: np.ndarray, ground: np.ndarray, ratios: np.ndarray,
               settings: AutoSettings = DEFAULT) -> Judgement:
    """The judgement with the passing regions that edge a brighter
    backdrop (backdrop_edges, against the passing regions whose ratio
    shows strokes) thresholded on the support they edge: their dark class
    is that support, the ground of its marks, and their threshold lies half
    the strokes' median contrast below it, as the strokes' own thresholds
    lie about halfway between paper and ink. Split between the backdrop
    and the support, the support would be ink along its whole edge.
    Unchanged where fewer than settings.stroke_basis regions show strokes."""
    basis = stroke_regions(ratios, judgement.passed, settings)
    edges = judgement.passed & backdrop_edges(ink, ground, basis)
    if not edges.any():
        return judgement
    thresholds = judgement.thresholds.copy()
    thresholds[edges] = ink[edges] - _typical_contrast(ink, ground, basis) / 2
    return judgement._replace(thresholds=thresholds)


def _typical_contrast(ink: np.ndarray, ground: np.ndarray, basis: np.ndarray) -> float:
    """The basis regions' median contrast (ground - ink)."""
    return float(np.median((ground - ink)[basis]))


def reject_faint(judgement: Judgement, ink: np.ndarray, ground: np.ndarray, ratios: np.ndarray,
                 settings: AutoSettings = DEFAULT) -> Judgement:
    """The judgement with the passing regions whose dark class holds no ink
    of the picture's own failed ("faint"). For dark objects: ink and ground
    are each region's dark and bright class mean, ratios its stroke ratio
    (strokes.stroke_ratios). The picture's ink contrast is the
    settings.ink_quantile quantile of ground - ink over the passing regions
    whose ratio shows strokes; with fewer than settings.stroke_basis of them
    the picture shows no ink level and nothing is rejected. Nor is anything
    when the lighter classes' median ratio reaches settings.sharp_ratio:
    they are sharp print of a lighter ink, not writing diffused through
    the paper."""
    s = settings
    passed = judgement.passed
    level = ink_contrast(ink, ground, ratios, passed, settings)
    if level is None:
        return judgement
    faint = passed & (ground - ink < s.faint_ratio * level)
    if not faint.any() or median_ratio(ratios, faint) >= s.sharp_ratio:
        return judgement  # none, or sharp print of a lighter ink (a receipt's grey print)
    return keep_only(judgement, ~faint, "faint")


def reject_blurred(judgement: Judgement, ink: np.ndarray, ground: np.ndarray, ratios: np.ndarray,
                   settings: AutoSettings = DEFAULT) -> Judgement:
    """The judgement with the passing regions that hold blurred marks
    lighter than the page's strokes failed ("faint"), for dark objects:
    measured to show no strokes themselves (ratio under
    settings.stroke_ratio), their dark class a ramp of greys
    (blurred_dark), and their contrast (ground - ink) under the stroke
    regions' median one. Writing seen through from the back of the page:
    the paper blurs it and takes some of its depth, though not always
    enough for reject_faint. Unchanged where fewer than
    settings.stroke_basis regions show strokes."""
    basis = stroke_regions(ratios, judgement.passed, settings)
    if not basis.any():
        return judgement
    blurred = (judgement.passed & (ratios < settings.stroke_ratio)  # NaN, not measured: no
               & blurred_dark(judgement.means, judgement.spreads, settings)
               & (ground - ink < _typical_contrast(ink, ground, basis)))
    return keep_only(judgement, ~blurred, "faint")


def keep_only(judgement: Judgement, kept: np.ndarray, test: str) -> Judgement:
    """The judgement with every passing region outside kept failed on the
    default's own test of that name (core.outcomes.AUTO_TEST_NAMES)."""
    failed = judgement.passed & ~kept
    status, tests = judgement.status.copy(), judgement.test.copy()
    status[failed], tests[failed] = _FAILED_TEST, AUTO_TEST_NAMES.index(test)
    verdicts = list(judgement.verdicts)
    for i in np.flatnonzero(failed).tolist():
        verdicts[i] = test
    return Judgement(judgement.passed & ~failed, np.where(failed, 0.0, judgement.thresholds),
                     np.where(failed[:, None], 0.0, judgement.means), status, tests, verdicts,
                     np.where(failed[:, None], 0.0, judgement.spreads))


def judged_records(records, judgement: Judgement) -> np.ndarray:
    """A copy of the engine's records whose status, test and threshold hold
    the verdict (the engine's marker for no threshold where none passed);
    the start values and fits stay as the engine gave them."""
    judged = np.array(records, copy=True)
    judged["status"] = judgement.status
    judged["test"] = judgement.test
    judged["threshold"] = np.where(judgement.passed, judgement.thresholds, NO_THRESHOLD)
    return judged
