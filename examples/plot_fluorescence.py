"""
A fluorescence image
====================

Fluorescent cells shine on a black background, and the illumination falls
off towards the edges of the field. The objects are bright on a very dark background, the other way
round from a page of text.

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
# The default tells from the histogram that the objects are the bright
# side and keeps them white. ``objects="bright"`` says so instead of letting
# it guess. The classic analysis, made for dark objects of middling grey,
# needs the picture's classes described by limits (a dark background mean
# below 100, a bright mean from 20 up).

analysis = zentrel.analyse(image)
print("objects:", analysis.objects)
by_default = zentrel.binarize(image)
told = zentrel.binarize(image, objects="bright")
classic = zentrel.binarize(image, preset="classic", mean1_range=(0.0, 100.0),
                           mean2_range=(20.0, 254.0))
otsu = image > threshold_otsu(image)


def share_right(found: npt.NDArray[np.bool_]) -> float:
    return float((found == cells).mean())


print(f"default:                  {share_right(by_default == 255):.2%} of pixels right")
print(f'objects="bright":         {share_right(told == 255):.2%} of pixels right')
print(f"classic with limits:      {share_right(classic == 255):.2%} of pixels right")
print(f"global Otsu threshold:    {share_right(otsu):.2%} of pixels right")

# %%
# Otsu's single threshold is set by the bright centre of the field and
# loses the dim cells at the edges; the local thresholds keep them.

fig, axes = plt.subplots(1, 3, figsize=(11, 4), layout="constrained")
axes[0].imshow(image, cmap="magma", vmin=0, vmax=120)  # brightened to show the dim cells
axes[0].set_title("fluorescence (brightened for display)", fontsize=10)
axes[1].imshow(otsu, cmap="gray")
axes[1].set_title(f"global Otsu: {share_right(otsu):.1%}", fontsize=10)
axes[2].imshow(by_default, cmap="gray", vmin=0, vmax=255)
axes[2].set_title(f"zentrel.binarize: {share_right(by_default == 255):.1%}", fontsize=10)
for ax in axes:
    ax.set_axis_off()
plt.show()
