"""
The threshold surface as a heat map
===================================

:func:`zentrel.threshold_surface` returns the threshold every pixel was
compared against. The passing regions set it at their centres; between them
it is interpolated, so it follows the light across the picture.

This example draws the classic analysis (``preset="classic"``), whose region
thresholds ``analyse`` lists one by one; the default's surface is built the
same way from its own region thresholds.
"""

import matplotlib.pyplot as plt
import numpy as np

import zentrel

image, objects = zentrel.uneven_scene((384, 384), seed=5)
percent, region_size = 20, 32
surface = zentrel.threshold_surface(image, percent=percent, region_size=region_size,
                                    preset="classic")
analysis = zentrel.analyse(image, percent=percent, region_size=region_size, preset="classic")

# %%
# Left: each passing region's threshold at its centre, the nodes of the
# threshold grid. Right: the surface every pixel gets from the completed grid.

half = analysis.region_size / 2
passed = [r for r in analysis.regions if r.threshold is not None]
rows = np.array([r.top + half for r in passed])
cols = np.array([r.left + half for r in passed])
values = np.array([r.threshold for r in passed])
low, high = float(surface.min()), float(surface.max())

fig, axes = plt.subplots(1, 2, figsize=(10, 4.3), layout="constrained")
axes[0].imshow(image, cmap="gray", vmin=0, vmax=255)
axes[0].scatter(cols, rows, c=values, cmap="viridis", vmin=low, vmax=high, s=40,
                edgecolors="white", linewidths=0.5)
axes[0].set_title(f"thresholds of the {len(passed)} passing regions")
shown = axes[1].imshow(surface, cmap="viridis", vmin=low, vmax=high)
axes[1].set_title("threshold surface")
for ax in axes:
    ax.set_axis_off()
fig.colorbar(shown, ax=axes, shrink=0.8, label="threshold (grey level)")
plt.show()

# %%
# Along one row: the grey levels and the threshold. Objects (dips) stay
# below the threshold on both sides, although the background on the left is
# darker than the objects on the right.

row = 200
fig, ax = plt.subplots(figsize=(10, 3.2), layout="constrained")
ax.plot(image[row], color="0.5", linewidth=0.8, label="grey level")
ax.plot(surface[row], color="tab:red", linewidth=1.5, label="threshold")
ax.fill_between(np.arange(image.shape[1]), 0, 255, where=objects[row], color="tab:blue",
                alpha=0.12, label="object pixels")
ax.set_xlim(0, image.shape[1] - 1)
ax.set_ylim(60, 255)
ax.set_xlabel("column")
ax.set_ylabel("grey level")
ax.set_title(f"row {row}")
ax.legend(loc="lower right", fontsize=8)
plt.show()

print(f"threshold from {low:.1f} to {high:.1f} across the picture")
