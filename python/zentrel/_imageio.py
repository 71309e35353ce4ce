"""Reading grey images from files and writing binary PNGs, through Pillow."""

from __future__ import annotations

import numpy as np

__all__ = ["ImageReadError", "luma", "read_grey", "rescale_to_8bit", "write_png"]

# Pillow modes whose values do not fit in 8 bits.
_WIDE_MODES = frozenset({"I", "F", "I;16", "I;16L", "I;16B", "I;16N", "I;16S", "I;32", "I;32B"})


class ImageReadError(ValueError):
    """The file could not be read as an image zentrel can threshold."""


def luma(rgb: np.ndarray) -> np.ndarray:
    """ITU-R BT.601 luma of 8-bit RGB, in float, rounded to the nearest uint8."""
    rgb = np.asarray(rgb, dtype=np.float64)
    grey = 0.299 * rgb[..., 0] + 0.587 * rgb[..., 1] + 0.114 * rgb[..., 2]
    return np.clip(np.rint(grey), 0, 255).astype(np.uint8)


def rescale_to_8bit(values: np.ndarray) -> np.ndarray:
    """Map the min..max range of ``values`` linearly onto 0..255, rounded to nearest."""
    values = np.asarray(values, dtype=np.float64)
    if not np.isfinite(values).all():
        raise ImageReadError("the image holds values that are not finite")
    low, high = float(values.min()), float(values.max())
    if high == low:
        return np.zeros(values.shape, dtype=np.uint8)
    return np.clip(np.rint((values - low) * (255.0 / (high - low))), 0, 255).astype(np.uint8)


def read_grey(path, *, rescale: bool = False) -> np.ndarray:
    """Read an image file as a 2-D uint8 grey array.

    Colour becomes BT.601 luma and alpha is dropped. Images wider than 8 bits
    (16-bit, 32-bit integer, float) raise ImageReadError unless ``rescale``,
    which maps their min..max range onto 0..255. Raises ImageReadError for
    anything Pillow cannot decode.
    """
    from PIL import Image

    try:
        with Image.open(path) as image:
            image.load()
            mode = image.mode
            if mode in _WIDE_MODES:
                if not rescale:
                    raise ImageReadError(
                        f"values wider than 8 bits (mode {mode}); pass --rescale to map "
                        "their range onto 0..255"
                    )
                return rescale_to_8bit(np.asarray(image))
            if mode == "L":
                return np.array(image, dtype=np.uint8)
            if mode in ("LA", "La"):
                return np.array(image.getchannel("L"), dtype=np.uint8)
            if mode == "1":
                return np.array(image.convert("L"), dtype=np.uint8)
            if mode in ("P", "PA"):
                # RGBA keeps palette transparency from being flattened with a warning.
                return luma(np.asarray(image.convert("RGBA"))[..., :3])
            if mode != "RGB":
                image = image.convert("RGB")
            return luma(np.asarray(image))
    except ImageReadError:
        raise
    except Exception as error:  # Pillow raises many kinds for bad files
        raise ImageReadError(f"cannot read image: {_describe(error)}") from error


def write_png(path, binary: np.ndarray) -> None:
    """Write a 2-D uint8 array as an 8-bit grey PNG."""
    from PIL import Image

    Image.fromarray(np.ascontiguousarray(binary, dtype=np.uint8)).save(path, format="PNG")


def _describe(error: Exception) -> str:
    text = str(error).strip().splitlines()
    return text[0] if text else type(error).__name__
