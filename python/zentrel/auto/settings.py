"""The automatic default's tuned numbers, each with its reason."""

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
