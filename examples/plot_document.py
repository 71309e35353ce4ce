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
# The default finds out which side the text is on and which regions hold
# two classes of grey, and builds its thresholds from those.

analysis = zentrel.analyse(page)
binary = zentrel.binarize(page)
print("objects:", analysis.objects)
print("regions with a threshold:", analysis.valid_count, "of", analysis.selected_count)
print(f"{float((binary == 0).mean()):.1%} of the page is black")

# %%
# The classic analysis instead takes fixed limits, made for objects of
# middling grey. For text on paper they have to be given: a dark mean
# anywhere below 200, a dark share down to 5 %, broad spreads. Every region
# is analysed (``percent=100``), and regions of 24 pixels hold a line of text
# with the paper around it.

text_on_paper: dict[str, Any] = {
    "preset": "classic",
    "mean1_range": (0.0, 200.0),
    "c1_range": (0.05, 0.95),
    "box_c1": (0.02, 0.98),
    "sigma_range": (1.0, 128.0),
    "box_sigma": (0.0, 128.0),
}
classic = zentrel.binarize(page, percent=100, region_size=24, **text_on_paper)

fig, axes = plt.subplots(3, 1, figsize=(8, 11.5), layout="constrained")
panels = [
    (page, "the photo"),
    (binary, "zentrel.binarize, default"),
    (classic, "classic analysis with limits for text"),
]
for ax, (picture, title) in zip(axes, panels):
    ax.imshow(picture, cmap="gray", vmin=0, vmax=255)
    ax.set_title(title)
    ax.set_axis_off()
plt.show()

# %%
# Compare the two where the page is hardest: the deep shadow at the left
# edge and the shaded bottom corner.
#
# The default's threshold follows the shadow: it is lower on the darker left
# side.

surface = zentrel.threshold_surface(page)
print("threshold, mean of the left and right quarter:",
      f"{float(np.mean(surface[:, :96])):.0f} / {float(np.mean(surface[:, -96:])):.0f}")
