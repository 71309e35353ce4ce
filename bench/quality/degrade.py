"""Harm done to a real page whose ink is known, the ground truth left as it was.

    contrast(image, ink)                 median paper level less median ink level
    degrade(kind, image, ink, seed, back=None, bleed_depth=0.4) -> uint8 image
    KINDS                                the harms, in table order ("none" first)

Each harm is scaled to the page's own contrast c, so that a faint page and
a bold one are made about equally hard:

- ``bleed``: the ink of another page (``back``), mirrored as the back of a
  sheet shows through, blurred (sigma 1.5) by the paper, 0.4 c deep on the
  paper (``bleed_depth``; where the front's ink lies, the back cannot be
  seen);
- ``stain``: four round stains, smooth, 0.45 c deep at their centres and
  8-20 % of the page's shorter side in radius;
- ``fibre``: noise drawn out along the rows (sigma 0.8 by 6) like the grain
  of papyrus or coarse paper, 0.12 c in spread;
- ``shade``: light falling off across the page by 0.9 c in all (0.6 c
  quadratically along the rows, 0.3 c linearly down the columns).
"""

from __future__ import annotations

import numpy as np

__all__ = ["KINDS", "contrast", "degrade"]

KINDS = ("none", "bleed", "stain", "fibre", "shade")


def contrast(image: np.ndarray, ink: np.ndarray) -> float:
    """The median level of the paper less that of the ink (at least 1)."""
    if not ink.any() or ink.all():
        return 1.0
    return max(float(np.median(image[~ink])) - float(np.median(image[ink])), 1.0)


def degrade(kind: str, image: np.ndarray, ink: np.ndarray, seed: int, back: np.ndarray | None = None,
            bleed_depth: float = 0.4) -> np.ndarray:
    """``image`` (uint8, dark ink ``ink``) with the harm ``kind`` added, from ``seed``."""
    if kind == "none":
        return image
    from scipy import ndimage

    grey = image.astype(np.float64)
    c = contrast(grey, ink)
    rows, cols = grey.shape
    rng = np.random.default_rng(seed)
    if kind == "bleed":
        if back is None:
            raise ValueError("bleed: the ink of another page (back) is required")
        shown = np.zeros((rows, cols))
        mirrored = back[:, ::-1]
        h, w = min(rows, mirrored.shape[0]), min(cols, mirrored.shape[1])
        shown[:h, :w] = mirrored[:h, :w]
        grey -= bleed_depth * c * ndimage.gaussian_filter(shown, 1.5) * ~ink
    elif kind == "stain":
        y, x = np.ogrid[:rows, :cols]
        stains = np.zeros((rows, cols))
        for _ in range(4):
            cy, cx = rng.integers(0, rows), rng.integers(0, cols)
            radius = rng.uniform(0.08, 0.2) * min(rows, cols)
            stains += np.exp(-((y - cy) ** 2 + (x - cx) ** 2) / (2 * radius * radius))
        grey -= 0.45 * c * np.minimum(stains, 1.0)
    elif kind == "fibre":
        grain = ndimage.gaussian_filter(rng.normal(size=(rows, cols)), (0.8, 6))
        grey += 0.12 * c * grain / max(float(grain.std()), 1e-12)
    elif kind == "shade":
        y, x = np.mgrid[:rows, :cols]
        grey -= 0.6 * c * (x / cols) ** 2 + 0.3 * c * (y / rows)
    else:
        raise ValueError(f"unknown harm {kind!r}; known: {', '.join(KINDS)}")
    return np.clip(np.rint(grey), 0, 255).astype(np.uint8)
