"""
A fluorescence image
====================

Fluorescent cells shine on a black background, and the illumination falls
off towards the edges of the field. The classes are the other way round from
what the default limits expect (bright objects, a very dark background), so
this example either describes them with limits or inverts the picture.

The picture is made here: a field of cells with photon (Poisson) noise,
whose true outlines are known.
"""

import matplotlib.pyplot as plt
import numpy as np
import numpy.typing as npt
from skimage.filters import gaussian, threshold_otsu

import zentrel


def fluorescence_field(
    shape: tuple[int, int], cells: int, seed: int
) -> tuple[npt.NDArray[np.uint8], npt.NDArray[np.bool_]]:
    """Elliptic cells of varied brightness under an illumination that fades outwards."""
    rng = np.random.default_rng(seed)
    rows, cols = shape
    yy, xx = np.mgrid[0:rows, 0:cols].astype(np.float64)
    mask = np.zeros(shape, dtype=bool)
    stain = np.zeros(shape)
    for _ in range(cells):
        cy, cx = rng.uniform(0, rows), rng.uniform(0, cols)
        a, b = rng.uniform(6, 13, size=2)
        angle = rng.uniform(0, np.pi)
        u = (xx - cx) * np.cos(angle) + (yy - cy) * np.sin(angle)
        v = -(xx - cx) * np.sin(angle) + (yy - cy) * np.cos(angle)
        inside = (u / a) ** 2 + (v / b) ** 2 <= 1
        mask |= inside
        stain = np.maximum(stain, inside * rng.uniform(0.6, 1.0))
    stain = gaussian(stain, sigma=1.2)  # the optics blur the edges
    distance2 = ((yy - 0.4 * rows) ** 2 + (xx - 0.35 * cols) ** 2) / (0.75 * max(shape)) ** 2
    illumination = np.exp(-1.5 * distance2)
    photons = rng.poisson((10 + 200 * stain) * illumination + 8)
    return np.clip(photons, 0, 255).astype(np.uint8), mask


image, cells = fluorescence_field((384, 384), cells=60, seed=3)

# %%
# With the default limits no region passes: the fits find a dark mean near
# 15, far below the dark-mean range the defaults accept.

try:
    zentrel.binarize(image)
except zentrel.NoRegionPassedError as error:
    print(error)

# %%
# Two ways to describe the picture. Either give the limits of its classes
# (a dark background mean below 100, a bright mean from 20 up), or invert it
# so that the cells are dark on a bright background, which the defaults
# accept. The first keeps the cells white in the result. With limits that
# adapt to the picture, neither will be needed.

by_limits = zentrel.binarize(image, mean1_range=(0.0, 100.0), mean2_range=(20.0, 254.0))
by_inverting = zentrel.binarize(255 - image) == 0  # cells come out black: invert back
otsu = image > threshold_otsu(image)


def share_right(found: npt.NDArray[np.bool_]) -> float:
    return float((found == cells).mean())


print(f"limits for bright objects: {share_right(by_limits == 255):.2%} of pixels right")
print(f"inverted picture:          {share_right(by_inverting):.2%} of pixels right")
print(f"global Otsu threshold:     {share_right(otsu):.2%} of pixels right")

# %%
# Otsu's single threshold is set by the bright centre of the field and
# loses the dim cells at the edges; the local thresholds keep them.

fig, axes = plt.subplots(1, 3, figsize=(11, 4), layout="constrained")
axes[0].imshow(image, cmap="magma", vmin=0, vmax=120)  # brightened to show the dim cells
axes[0].set_title("fluorescence (brightened for display)", fontsize=10)
axes[1].imshow(otsu, cmap="gray")
axes[1].set_title(f"global Otsu: {share_right(otsu):.1%}", fontsize=10)
axes[2].imshow(by_limits, cmap="gray", vmin=0, vmax=255)
axes[2].set_title(f"zentrel, limits for bright cells: {share_right(by_limits == 255):.1%}",
                  fontsize=10)
for ax in axes:
    ax.set_axis_off()
plt.show()
