"""Every tuned number of the automatic default, in one frozen object.

    AutoSettings(...)   the numbers, each with its reason
    DEFAULT             the ones zentrel runs with

Every stage takes a settings object (DEFAULT unless given) instead of
reading constants, so a variant is one ``dataclasses.replace(DEFAULT, ...)``
away and an AutoChoices says which numbers made it. The values were set by
measuring on the generated scene families of bench/quality (documents,
objects, fluorescence, low_contrast; bench/quality/scenes.py).
"""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class AutoSettings:
    """The automatic default's numbers (see each field's comment)."""

    # --- levels: values wider than 8 bits are mapped to levels from a
    # histogram of fine_bins bins between their minimum and maximum (one bin
    # per value of 16-bit input); the robust range is the span from
    # robust_share to 1 - robust_share of the pixels, taken at bin edges, so
    # a few hot or dead pixels do not squeeze the rest. Set on the
    # bench/quality families.
    fine_bins: int = 1 << 16
    robust_share: float = 0.001

    # --- regions: the grid is cut into about count/2 tiles and each region
    # scores its variance relative to the best in its tile; a tile whose best
    # region is no busier than quiet_factor times the image's quiet level
    # (the quiet_share quantile of the region spreads) holds nothing and
    # scores 0. Set on the bench/quality families.
    quiet_share: float = 0.1
    quiet_factor: float = 4.0

    # --- fits: the engine's limits for the default. The fit may take any
    # shape it likes within a wide box; whether a region is two-peaked is
    # judged by the separation of its components (judge) instead of the
    # fixed grey-level windows. stop_ratio: a fit that follows its histogram
    # to 1.5 chi-square per pixel is refined no further: the judgement
    # accepts up to max_chi_ratio, and the steps past that point cost most
    # of the analysis time while hardly moving the threshold. Set on the
    # bench/quality families.
    engine_limits: tuple = (
        ("box_c1", (0.02, 0.98)),
        ("box_mean", (-64.0, 319.0)),
        ("box_sigma", (0.0, 128.0)),
        ("c1_range", (0.05, 0.95)),
        ("mean1_range", (-64.0, 319.0)),
        ("mean2_range", (-64.0, 319.0)),
        ("sigma_range", (0.0, 128.0)),
        ("max_chi_ratio", float("inf")),
        ("valley_ratio", float("inf")),
        ("stop_ratio", 1.5),
    )

    # --- judge: the fit must follow the histogram: chi-square per counted
    # pixel at most max_chi_ratio, unless both components are narrower than
    # narrow_spread levels, as in a clean image, where sampling Gaussians at
    # whole levels inflates it. Set on the bench/quality families.
    max_chi_ratio: float = 4.0
    narrow_spread: float = 2.0
    # A fit counts as two object classes when its means lie at least this
    # many pooled spreads apart: (m2 - m1) / sqrt((s1^2 + s2^2) / 2). It
    # replaces the valley test, which rejects a broad mode (ink with its
    # blurred edges) next to a narrow one (paper) although the two are well
    # apart. Set on the bench/quality families.
    min_separation: float = 1.5
    # One component must be peaked: the gap between the means at least
    # peak_ratio times the narrower spread. A smooth ramp of light gives a
    # flat histogram that two wide, well separated components fit; it holds
    # no objects. Set on the bench/quality families.
    peak_ratio: float = 4.0
    # The threshold of a passing region lies halfway between the two
    # classes' levels, each taken spread_shift spreads beyond its mean:
    # blurred edges pull a thin stroke's mean toward the background, and the
    # midpoint of the fitted means would then make strokes bold. Set on the
    # bench/quality families.
    spread_shift: float = 1.0

    # --- fallback: with fewer passing regions than this share of the
    # analysed ones the local evidence is too thin to build a surface on (a
    # picture without distinct objects); the whole image then gets Otsu's
    # threshold. Set on the bench/quality families.
    min_passed_share: float = 0.05

    # --- polarity: each passing region compares its two classes with the
    # median of the region medians vote_reach regions around it, which
    # follows the local light; a vote needs no more than vote_limit voters,
    # taken evenly (a bound on its time). Set on the bench/quality families.
    vote_reach: int = 3
    vote_limit: int = 1024

    # --- surface: a bright region standing step_evidence background spreads
    # above the ground around it is an object (see threshold_grid). Set on
    # the bench/quality families.
    step_evidence: float = 4.0
    # Regions band_reach apart on either side of a dark region tell a band
    # (a fold's shade) from the inside of a large object (see
    # threshold_grid). Set on the bench/quality families.
    band_reach: int = 2
    # The typical background spread of bright objects' ground is taken as at
    # least min_ground_spread levels: levels are whole numbers, and a ground
    # without spread would make any step count. Set on the bench/quality
    # families.
    min_ground_spread: float = 0.5

    # --- quantiles: per-region levels gathered in one pass: far dark tail,
    # one spread below the median, the median, one spread above, far bright
    # tail (symmetric about the median, which mirror_quantiles relies on).
    # Set on the bench/quality families.
    quantile_shares: tuple = (0.02, 0.16, 0.5, 0.84, 0.98)

    # --- faint objects (bright objects only): a region's own dark tail marks
    # an object when it lies faint_evidence background spreads below its
    # median (noise alone reaches about two). Its threshold then lies
    # faint_split of the way from the median to that tail: the far tail is
    # the object's level pushed out by noise, so the halfway point would cut
    # into the object. It counts only where its neighbours' threshold would
    # miss it: the tail reaches less than faint_missed times as far below
    # the median as that threshold. A region's spread is taken as at least
    # min_region_spread levels (a spread under one level is the levels'
    # rounding, not the ground's calm). Set on the bench/quality families.
    faint_evidence: float = 4.0
    faint_split: float = 0.35
    faint_missed: float = 2.0
    min_region_spread: float = 1.0

    @property
    def limits(self) -> dict:
        """The engine limits as the keyword dict analyse_regions takes."""
        return dict(self.engine_limits)


DEFAULT = AutoSettings()
