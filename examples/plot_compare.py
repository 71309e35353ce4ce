"""
Compared with OpenCV and scikit-image
=====================================

The same unevenly lit picture through zentrel, OpenCV's adaptive thresholds,
scikit-image's local thresholds, and a global Otsu threshold. The scene's
objects are known, so every result can be scored.
"""

import cv2
import matplotlib.pyplot as plt
import numpy as np
import numpy.typing as npt
from skimage.filters import threshold_local, threshold_otsu, threshold_sauvola

import zentrel

image, objects = zentrel.uneven_scene((512, 512), seed=11)

# %%
# The local methods look at a window around each pixel. The scene's objects
# are up to about 65 pixels across, and a window that fits inside one
# object cannot tell object from background, so every window method gets a
# 101-pixel window; zentrel's regions are 64 pixels.

window = 101
results: dict[str, npt.NDArray[np.bool_]] = {
    "zentrel": zentrel.binarize(image, region_size=64) == 255,
    "Otsu (global)": image > threshold_otsu(image),
    "OpenCV Gaussian": cv2.adaptiveThreshold(
        image, 255, cv2.ADAPTIVE_THRESH_GAUSSIAN_C, cv2.THRESH_BINARY, window, 0) == 255,
    "OpenCV mean": cv2.adaptiveThreshold(
        image, 255, cv2.ADAPTIVE_THRESH_MEAN_C, cv2.THRESH_BINARY, window, 0) == 255,
    "scikit-image Sauvola": image > threshold_sauvola(image, window_size=window),
    "scikit-image local": image > threshold_local(image, block_size=window),
}

# %%
# Scores: the share of pixels right, and the F-measure of the object class
# (objects are dark, so a method finds an object where its result is black).


def f_measure(found: npt.NDArray[np.bool_], truth: npt.NDArray[np.bool_]) -> float:
    hits = float(np.count_nonzero(found & truth))
    if hits == 0:
        return 0.0
    precision = hits / np.count_nonzero(found)
    recall = hits / np.count_nonzero(truth)
    return 2 * precision * recall / (precision + recall)


print(f"{'method':22} {'right':>7} {'F':>6}")
for name, white in results.items():
    right = float(((~white) == objects).mean())
    print(f"{name:22} {right:7.2%} {f_measure(~white, objects):6.3f}")

# %%
# A window method is only as good as its window fits the objects: too small
# and the insides of objects turn white, too large and the light changes
# within it. zentrel's regions need only to hold both classes somewhere in
# the picture; Otsu's single threshold follows the light instead of the
# objects.

fig, axes = plt.subplots(2, 4, figsize=(12, 6.4), layout="constrained")
flat = axes.ravel()
flat[0].imshow(image, cmap="gray", vmin=0, vmax=255)
flat[0].set_title("the scene")
flat[1].imshow(objects, cmap="gray_r")
flat[1].set_title("the objects (truth)")
for ax, (name, white) in zip(flat[2:], results.items()):
    ax.imshow(white, cmap="gray")
    ax.set_title(f"{name}: {float(((~white) == objects).mean()):.1%}", fontsize=10)
for ax in flat:
    ax.set_axis_off()
plt.show()
