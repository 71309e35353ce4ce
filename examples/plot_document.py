"""
Binarize a document photo
=========================

A page photographed under a desk lamp: bright paper with dark, thin,
anti-aliased text, and a shadow over the left side. The picture is
scikit-image's ``page`` sample.
"""

from typing import Any

import matplotlib.pyplot as plt
import numpy as np
from skimage import data

import zentrel

page = data.page()

# %%
# The default limits describe objects of middling grey on a brighter
# background, and a page is not that: its text is darker, takes a smaller
# share of each region, and its anti-aliased strokes spread over many grey
# levels. ``analyse`` tells which limit the regions failed on.

first_look = zentrel.analyse(page)
print("default limits:", first_look.valid_count, "of", first_look.selected_count,
      "regions passed;", dict(first_look.failure_counts()))

# %%
# Limits that describe text on paper: a dark mean anywhere below 200, a dark
# share down to 5 %, and broad spreads. Every region is analysed
# (``percent=100``): the lines of text are close together, and regions
# between them simply fail. Regions of 24 pixels hold a line of text and
# the paper around it.
#
# These limits are needed with the current defaults; a version that adapts
# its limits to the picture will not need them.

text_on_paper: dict[str, Any] = {
    "mean1_range": (0.0, 200.0),
    "c1_range": (0.05, 0.95),
    "box_c1": (0.02, 0.98),
    "sigma_range": (1.0, 128.0),
    "box_sigma": (0.0, 128.0),
}
analysis = zentrel.analyse(page, percent=100, region_size=24, **text_on_paper)
binary = zentrel.binarize(page, percent=100, region_size=24, **text_on_paper)
print("text limits:", analysis.valid_count, "of", analysis.selected_count, "regions passed")
print(f"{float((binary == 0).mean()):.1%} of the page is black")

fig, axes = plt.subplots(2, 1, figsize=(8, 8.2), layout="constrained")
axes[0].imshow(page, cmap="gray", vmin=0, vmax=255)
axes[0].set_title("the photo")
axes[1].imshow(binary, cmap="gray", vmin=0, vmax=255)
axes[1].set_title("zentrel.binarize")
for ax in axes:
    ax.set_axis_off()
plt.show()

# %%
# The threshold follows the shadow: it is lower on the darker left side,
# where the paper is darker.

surface = zentrel.threshold_surface(page, percent=100, region_size=24, **text_on_paper)
print("threshold, mean of the left and right quarter:",
      f"{float(np.mean(surface[:, :96])):.0f} / {float(np.mean(surface[:, -96:])):.0f}")
