"""
scikit-image's sample pictures
==============================

zentrel next to OpenCV's Gaussian adaptive threshold and scikit-image's
Sauvola threshold on the grey sample pictures that ship with scikit-image.
Every method runs with one setting for all pictures; none is tuned to a
picture. zentrel's panel titles say which side it took the objects to be on,
and whether it fell back to one global threshold for want of regions with
two distinct classes of grey.
"""

import cv2
import matplotlib.pyplot as plt
import numpy as np
import numpy.typing as npt
from skimage import data
from skimage.filters import threshold_sauvola

import zentrel

pictures: dict[str, npt.NDArray[np.uint8]] = {
    "camera": data.camera()[::2, ::2],
    "coins": data.coins(),
    "moon": data.moon()[::2, ::2],
    "page": data.page(),
    "text": data.text(),
}

# %%
# Settings: zentrel analyses half of its 32-pixel regions with its defaults;
# the window methods use a 33-pixel window, the same size.

PERCENT, REGION_SIZE, WINDOW = 50, 32, 33


def zentrel_result(image: npt.NDArray[np.uint8]) -> tuple[npt.NDArray[np.uint8] | None, str]:
    """zentrel's result and a title that says what its analysis chose."""
    try:
        binary = zentrel.binarize(image, percent=PERCENT, region_size=REGION_SIZE)
    except zentrel.NoRegionPassedError as error:
        return None, f"no threshold:\n{error}"
    analysis = zentrel.analyse(image, percent=PERCENT, region_size=REGION_SIZE)
    label = f"zentrel ({analysis.objects} objects)"
    if analysis.auto is not None and analysis.auto.fallback is not None:
        label += f"\nfallback: {analysis.auto.fallback}"
    return binary, label


fig, axes = plt.subplots(len(pictures), 4, figsize=(11, 2.35 * len(pictures)),
                         layout="constrained")
for row, (name, image) in zip(axes, pictures.items()):
    binary, label = zentrel_result(image)
    opencv = cv2.adaptiveThreshold(image, 255, cv2.ADAPTIVE_THRESH_GAUSSIAN_C,
                                   cv2.THRESH_BINARY, WINDOW, 0)
    sauvola = image > threshold_sauvola(image, window_size=WINDOW)
    row[0].imshow(image, cmap="gray", vmin=0, vmax=255)
    row[0].set_title(name, fontsize=10)
    if binary is None:
        row[1].text(0.5, 0.5, label, ha="center", va="center", wrap=True, fontsize=8,
                    transform=row[1].transAxes)
        row[1].set_title("zentrel", fontsize=10)
    else:
        row[1].imshow(binary, cmap="gray", vmin=0, vmax=255)
        row[1].set_title(label, fontsize=10)
    row[2].imshow(opencv, cmap="gray", vmin=0, vmax=255)
    row[2].set_title("OpenCV Gaussian", fontsize=10)
    row[3].imshow(sauvola, cmap="gray")
    row[3].set_title("scikit-image Sauvola", fontsize=10)
    for ax in row:
        ax.set_axis_off()
    print(f"{name:7} {image.shape[0]}x{image.shape[1]}: {label.replace(chr(10), '; ')}")
plt.show()

# %%
# zentrel's default decides for each picture which side the objects are on
# and keeps them on that side: bright coins stay white.
