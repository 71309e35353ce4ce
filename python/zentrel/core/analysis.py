"""What an analysis saw, region by region, and the error when nothing passed.

    Analysis              grid, counts, records (numpy), regions (RegionInfo), choices
    RegionInfo            one selected region: position, fit, outcome, threshold
    NoRegionPassedError   a ValueError carrying its Analysis
    no_region_error(analysis) -> NoRegionPassedError, with what to try
"""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field
from functools import cached_property
from typing import Any, Optional

import numpy as np

from zentrel.core import lattice, outcomes

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
    auto: Any = None  # zentrel.auto.AutoChoices, or None for classic

    status_names = outcomes.STATUS_NAMES
    status_words = outcomes.STATUS_WORDS

    @property
    def test_names(self) -> tuple:
        """Names of the test codes in ``records["test"]``."""
        return outcomes.TEST_NAMES if self.auto is None else outcomes.AUTO_TEST_NAMES

    @property
    def test_words(self) -> tuple:
        """What each test code's failure means, in words."""
        return outcomes.TEST_WORDS if self.auto is None else outcomes.AUTO_TEST_WORDS

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
        statuses = [self.status_names[s] for s in r["status"].tolist()]
        tests = [self.test_names[t] for t in r["test"].tolist()]
        thresholds = r["threshold"].tolist()
        tops = lattice.origins(r["row"], self.region_size).tolist()
        lefts = lattice.origins(r["col"], self.region_size).tolist()
        return [
            RegionInfo(
                row=row, col=col, top=top, left=left, variance=variance,
                start=tuple(start), fitted=tuple(fitted), chi_ratio=chi, fitter_calls=calls,
                status=status, failed_test=test if status == "failed_test" else None,
                threshold=threshold if status == "recorded" else None,
            )
            for row, col, top, left, variance, start, fitted, chi, calls, status, test, threshold in zip(
                r["row"].tolist(), r["col"].tolist(), tops, lefts, self.variances.tolist(), r["start"].tolist(),
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


# What to try when the classic analysis finds no threshold, by the reason
# most regions failed. Option names are the keywords; the command line spells
# them with dashes (--mean1-range).
_HINT_AUTO = "the automatic default (preset='auto', or no --classic) derives limits from the image"
_HINT_PERCENT = f"try a higher percent, or {_HINT_AUTO}"
_HINTS = {
    **{name: f"try widening the limit named, or {_HINT_AUTO}" for name in outcomes.TEST_NAMES},
    "left_box": f"try widening box_c1, box_mean or box_sigma, or {_HINT_AUTO}",
    "flat": _HINT_PERCENT,
    "empty": _HINT_PERCENT,
}


def no_region_error(analysis: Analysis) -> NoRegionPassedError:
    """The error for an analysis where no region passed: how many were
    selected, the reason most failed on, and what to try."""
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
