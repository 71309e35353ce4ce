"""Synthetic test scenes: dark objects on a brighter background under uneven light.

The scenes are made so that no single global threshold separates objects from
background (objects on the bright side are brighter than the background on the
dark side), while every busy region holds two grey modes that a local
bimodal analysis accepts.
"""

from __future__ import annotations

import numpy as np

__all__ = ["best_global_accuracy", "uneven_scene"]


def uneven_scene(
    shape: tuple[int, int] = (512, 512),
    *,
    object_level: float = 122.0,
    background_level: float = 178.0,
    light_range: tuple[float, float] = (-38.0, 36.0),
    noise: float = 5.0,
    spacing: int = 96,
    seed: int = 0,
) -> tuple[np.ndarray, np.ndarray]:
    """Make an unevenly lit scene of dark discs and rectangles.

    Parameters
    ----------
    shape : tuple of int
        Rows and columns of the image.
    object_level, background_level : float
        Grey levels of objects and background under unit light.
    light_range : tuple of float
        Grey levels the light adds at the darkest and at the brightest
        corner; it grows along the diagonal with a gentle bend. The default
        lifts objects on the bright side above the background on the dark
        side.
    noise : float
        Standard deviation of the Gaussian noise added to every pixel.
    spacing : int
        Objects sit on a jittered lattice with this pitch, so every part of
        the image has objects nearby.
    seed : int
        Seed of the random generator; equal seeds give equal scenes.

    Returns
    -------
    image : ndarray of uint8
        The grey image, values in 0..255.
    objects : ndarray of bool
        True on object pixels.

    Examples
    --------
    >>> image, objects = uneven_scene((256, 256), seed=1)
    >>> image.dtype, image.shape, objects.dtype
    (dtype('uint8'), (256, 256), dtype('bool'))
    >>> bool(objects.any() and (~objects).any())
    True
    """
    if not noise >= 0:
        raise ValueError(f"noise: got {noise!r}; it must be at least 0")
    rows, cols = shape
    rng = np.random.default_rng(seed)
    objects = np.zeros(shape, dtype=bool)
    for cy in range(spacing // 2, rows + spacing // 2, spacing):
        for cx in range(spacing // 2, cols + spacing // 2, spacing):
            # The random draws come in the same order for every object, drawn or not,
            # so a seed gives the same scene whatever the image size cuts off.
            jy, jx = rng.uniform(-0.25, 0.25, size=2) * spacing
            y0, x0 = cy + jy, cx + jx
            size = rng.uniform(0.22, 0.34) * spacing
            if rng.random() < 0.5:
                _draw(objects, y0, x0, size, size,
                      lambda yy, xx: (yy - y0) ** 2 + (xx - x0) ** 2 <= size**2)
            else:
                width = size * rng.uniform(0.6, 1.0)
                _draw(objects, y0, x0, size, width,
                      lambda yy, xx: (np.abs(yy - y0) <= size) & (np.abs(xx - x0) <= width))
    lo, hi = light_range
    # The light grows along the diagonal with a gentle bend; computed in place to
    # spare the large temporaries, with the same operations in the same order.
    t = np.arange(rows, dtype=np.float64)[:, None] / max(rows - 1, 1) + (
        np.arange(cols, dtype=np.float64)[None, :] / max(cols - 1, 1))
    t /= 2.0
    light = np.multiply(t, np.pi)
    np.sin(light, out=light)
    light *= 0.15
    light += t
    light *= hi - lo
    light += lo
    np.clip(light, lo, hi, out=light)
    image = np.add(light, background_level, out=t)
    np.add(light, object_level, out=image, where=objects)
    del light
    # The same draws as rng.normal(0.0, noise, shape), scaled in place.
    jitter = rng.standard_normal(size=shape)
    jitter *= noise
    image += jitter
    del jitter
    np.rint(image, out=image)
    np.clip(image, 0, 255, out=image)
    return image.astype(np.uint8), objects


def _draw(objects: np.ndarray, y0: float, x0: float, half_height: float, half_width: float,
          inside) -> None:
    """Set ``inside(yy, xx)`` into ``objects`` within the object's bounding box.

    The box gets one pixel of margin, so the test decides every pixel it
    could accept, exactly as over the whole image.
    """
    rows, cols = objects.shape
    top, bottom = max(int(np.floor(y0 - half_height)) - 1, 0), min(int(np.ceil(y0 + half_height)) + 2, rows)
    left, right = max(int(np.floor(x0 - half_width)) - 1, 0), min(int(np.ceil(x0 + half_width)) + 2, cols)
    if top >= bottom or left >= right:
        return
    yy = np.arange(top, bottom, dtype=np.float64)[:, None]
    xx = np.arange(left, right, dtype=np.float64)[None, :]
    objects[top:bottom, left:right] |= inside(yy, xx)


def best_global_accuracy(image, objects) -> tuple[int, float]:
    """The best share of pixels right by one global threshold t (white where image >= t)."""
    image = np.asarray(image, dtype=np.uint8)
    object_counts = np.bincount(image[objects], minlength=256)
    background_counts = np.bincount(image[~objects], minlength=256)
    # At threshold t: objects below t are right (black), background at or above t is right.
    objects_below = np.concatenate(([0], np.cumsum(object_counts)))
    background_at_or_above = background_counts.sum() - np.concatenate(([0], np.cumsum(background_counts)))
    right = objects_below + background_at_or_above
    best = int(np.argmax(right))
    return best, float(right[best]) / image.size
