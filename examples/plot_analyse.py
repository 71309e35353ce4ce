"""
Reading the diagnostics of ``analyse``
======================================

:func:`zentrel.analyse` tells, region by region, what the analysis saw: which
regions were selected, what their fits found, which passed, and why the
others failed. This is where to look before changing a parameter.

The region-by-region story below is the classic analysis
(``preset="classic"``), whose fixed limits the tests name; the last section
reads what the automatic default chose for the same picture.
"""

from collections import Counter

import matplotlib.pyplot as plt
import numpy as np
from matplotlib.patches import Patch, Rectangle

import zentrel
from zentrel.report import fitted_components, region_histogram

# %%
# A scene with objects far apart, analysed with a large ``percent``: some
# selected regions then hold background only, and fail.

image, _ = zentrel.uneven_scene((384, 384), spacing=128, noise=6.0, seed=7)
analysis = zentrel.analyse(image, percent=30, region_size=32, preset="classic")

print("region grid:", analysis.grid_shape)
print("selected:", analysis.selected_count, " passed:", analysis.valid_count)
print("failures by reason:", dict(analysis.failure_counts()))

# %%
# Every selected region, highest variance first. ``fitted`` holds the dark
# share c1, the dark mean and spread, and the bright mean and spread.

print(f"{'row':>3} {'col':>3} {'variance':>8}  {'c1':>5} {'mean1':>6} {'sd1':>5} "
      f"{'mean2':>6} {'sd2':>5}  outcome")
for region in analysis.regions[::12]:
    c1, mean1, sigma1, mean2, sigma2 = region.fitted
    outcome = (f"threshold {region.threshold:.1f}" if region.threshold is not None
               else f"{region.status} {region.failed_test or ''}")
    print(f"{region.row:3d} {region.col:3d} {region.variance:8.1f}  {c1:5.2f} {mean1:6.1f} "
          f"{sigma1:5.1f} {mean2:6.1f} {sigma2:5.1f}  {outcome}")

# %%
# Where the selected regions lie: green passed (with its threshold), red
# failed. The failing regions here sit at the rim of an object and hold only
# a sliver of it.

size = analysis.region_size
fig, ax = plt.subplots(figsize=(6.4, 6.4), layout="constrained")
ax.imshow(image, cmap="gray", vmin=0, vmax=255)
for region in analysis.regions:
    colour = "tab:green" if region.passed else "tab:red"
    ax.add_patch(Rectangle((region.left - 0.5, region.top - 0.5), size, size,
                           facecolor=colour, edgecolor=colour, alpha=0.25))
    label = f"{region.threshold:.0f}" if region.threshold is not None else "x"
    ax.text(region.left + size / 2, region.top + size / 2, label, ha="center", va="center",
            fontsize=6, color="white")
ax.legend(handles=[Patch(color="tab:green", label=f"passed ({analysis.valid_count})"),
                   Patch(color="tab:red",
                         label=f"failed ({analysis.selected_count - analysis.valid_count})")],
          loc="upper right")
ax.set_title(f"{analysis.selected_count} selected regions of a "
             f"{analysis.grid_shape[0]}x{analysis.grid_shape[1]} grid")
ax.set_axis_off()
plt.show()

# %%
# One passing and one failing region: the histogram, the two weighted
# components of the fit, and the threshold where they cross.

passing = next(r for r in analysis.regions if r.passed)
failing = next((r for r in analysis.regions if not r.passed), passing)

fig, axes = plt.subplots(1, 2, figsize=(10, 3.6), layout="constrained")
levels = np.linspace(0, 255, 1021)
for ax, region in zip(axes, (passing, failing)):
    counts = region_histogram(image, region.top, region.left, size)
    dark, bright = fitted_components(levels, region.fitted, float(counts.sum()))
    ax.stairs(counts, np.arange(257) - 0.5, fill=True, color="0.75", label="histogram")
    ax.plot(levels, dark, label="dark component")
    ax.plot(levels, bright, label="bright component")
    if region.threshold is not None:
        ax.axvline(region.threshold, color="tab:green", label=f"threshold {region.threshold:.1f}")
        title = "passed"
    else:
        title = f"failed: {region.failed_test or region.status}"
    ax.set_xlim(60, 255)
    ax.set_title(f"region ({region.row}, {region.col}): {title}")
    ax.set_xlabel("grey level")
    ax.legend(fontsize=8)
plt.show()

# %%
# Reading the reasons. ``failure_counts`` counts the first limit each failing
# region broke. Here most failed on ``c1``: a sliver of object is a dark
# share below the lower end of ``c1_range``. Such failures are harmless; the
# grid takes those regions' thresholds from their neighbours. If instead
# nearly every region failed on one limit, compare that limit
# with the fitted values above: a dark mean far below ``mean1_range`` asks for
# a lower range (see the document example), many ``left_box`` failures for a
# wider ``box_sigma``.

reasons: Counter[str] = analysis.failure_counts()
most_common = reasons.most_common(1)
print("most frequent reason:", most_common[0] if most_common else "none")

# %%
# The automatic default
# ---------------------
#
# Without ``preset="classic"``, ``analyse`` also says what the automatic
# default chose: which side the objects are on and why, how grey levels were
# mapped, how many regions gave a threshold, and each region's verdict. Its
# test of a region is the separation of the two components rather than the
# classic grey-level windows.

default = zentrel.analyse(image, percent=30, region_size=32)
if default.auto is not None:
    print("objects:", default.objects, "-", default.auto.objects_reason)
    print("level mapping:", default.auto.mapping.kind)
    print("regions with a threshold:", default.auto.passed_count, "of", default.selected_count)
    print("verdicts:", dict(Counter(default.auto.verdicts)))
