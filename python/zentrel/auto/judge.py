"""One verdict per analysed region: does its fit show two classes, and at
what threshold.

    judge_regions(records) -> (passed, thresholds, means, verdicts)
"""

from __future__ import annotations

import numpy as np

from zentrel.auto.settings import DEFAULT, AutoSettings


def judge_regions(records, settings: AutoSettings = DEFAULT) -> tuple:
    """Which analysed regions give a threshold, and what.

    records: structured array with fields start, fitted (c1, mean1, sigma1,
    mean2, sigma2), status and threshold, as the engine's region analysis
    returns them under settings.limits. Returns (passed, thresholds,
    means, verdicts): a region passes when the engine recorded it and
    its components lie settings.min_separation pooled spreads apart, or when its
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

    s = settings
    fitted = np.asarray(records["fitted"], np.float64).reshape(-1, 5)
    start = np.asarray(records["start"], np.float64).reshape(-1, 5)
    m1, s1, m2, s2 = fitted[:, 1], fitted[:, 2], fitted[:, 3], fitted[:, 4]
    recorded = named("recorded")
    chi_bad = recorded & ~((records["chi_ratio"] <= s.max_chi_ratio) | (np.maximum(s1, s2) < s.narrow_spread))
    flat_peak = recorded & ~chi_bad & (m2 - m1 < s.peak_ratio * np.minimum(s1, s2))
    pooled = np.sqrt((s1 * s1 + s2 * s2) / 2)
    separated = recorded & ~chi_bad & ~flat_peak & (m2 - m1 >= s.min_separation * pooled)
    two_levels = named("flat") & (start[:, 2] == 0.0) & (start[:, 4] == 0.0) & (start[:, 3] > start[:, 1])
    passed = separated | two_levels
    shifted = (m1 - s.spread_shift * s1 + m2 + s.spread_shift * s2) / 2
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
