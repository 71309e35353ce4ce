"""Reading grey images from files and writing results, through Pillow."""

from __future__ import annotations

import contextlib
import os
import warnings
from pathlib import Path

import numpy as np

from zentrel.io.files import write_atomic

__all__ = [
    "BINARY_FORMATS",
    "ImageReadError",
    "decode_grey",
    "default_max_pixels",
    "failure_text",
    "image_format",
    "luma",
    "one_line",
    "open_image",
    "png_text",
    "read_grey",
    "rescale_to_8bit",
    "write_image",
]

# Pillow modes whose values do not fit in 8 bits.
_WIDE_MODES = frozenset({"I", "F", "I;16", "I;16L", "I;16B", "I;16N", "I;16S", "I;32", "I;32B"})

# What the results can be written as, by file extension.
BINARY_FORMATS = {".png": "PNG", ".tif": "TIFF", ".tiff": "TIFF", ".pbm": "PPM"}

# Peak memory of reading, thresholding and writing one image, in bytes per
# pixel, measured for an 8-bit RGB PNG (the widest common input), with room to spare.
PEAK_BYTES_PER_PIXEL = 16

# Pixels converted at a time, so conversions need little memory beyond the image.
_CHUNK_PIXELS = 1 << 20


class ImageReadError(ValueError):
    """The file could not be read as an image zentrel can threshold."""


def image_format(path, formats=BINARY_FORMATS) -> str:
    """The format ``path`` is written in, by its extension; ValueError naming the supported ones."""
    suffix = Path(path).suffix.lower()
    if suffix not in formats:
        shown = f"the extension {suffix}" if suffix else "a name without extension"
        raise ValueError(f"{path}: cannot write {shown}; use one of {', '.join(formats)}")
    return formats[suffix]


def default_max_pixels(images_at_once: int = 1) -> int:
    """The largest image (in pixels) that fits in memory ``images_at_once`` times."""
    return max(1, _memory_bytes() // (PEAK_BYTES_PER_PIXEL * max(1, images_at_once)))


def _memory_bytes() -> int:
    """Physical memory, or the control group's limit when that is lower."""
    try:
        memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError, AttributeError):
        memory = 8 << 30
    for limit_file in ("/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"):
        try:
            with open(limit_file) as file:
                memory = min(memory, int(file.read().strip()))
        except (OSError, ValueError):
            continue
    return memory


def _by_rows(values: np.ndarray, convert) -> np.ndarray:
    """uint8 ``convert(block)`` over blocks of rows, so temporaries stay small."""
    out = np.empty(values.shape[:2], dtype=np.uint8)
    step = max(1, _CHUNK_PIXELS // max(1, values.shape[1]))
    for top in range(0, values.shape[0], step):
        out[top:top + step] = convert(values[top:top + step])
    return out


def luma(rgb: np.ndarray) -> np.ndarray:
    """ITU-R BT.601 luma of 8-bit RGB, in float, rounded to the nearest uint8."""

    def convert(block):
        block = block.astype(np.float64)
        grey = 0.299 * block[..., 0] + 0.587 * block[..., 1] + 0.114 * block[..., 2]
        return np.clip(np.rint(grey), 0, 255)

    return _by_rows(np.asarray(rgb), convert)


def rescale_to_8bit(values: np.ndarray) -> np.ndarray:
    """Map the min..max range of ``values`` linearly onto 0..255, rounded to nearest."""
    values = np.asarray(values)
    if values.dtype.kind == "f" and not np.isfinite(values).all():
        raise ImageReadError("the image holds values that are not finite")
    low, high = float(values.min()), float(values.max())
    if high == low:
        return np.zeros(values.shape, dtype=np.uint8)
    scale = 255.0 / (high - low)
    return _by_rows(values, lambda block: np.clip(np.rint((block.astype(np.float64) - low) * scale), 0, 255))


def read_grey(path, *, rescale: bool = False, max_pixels: int | None = None,
              keep_wide: bool = False) -> np.ndarray:
    """Read an image file as a 2-D grey array: uint8, or the file's own values.

    Colour becomes BT.601 luma and alpha is dropped. Images wider than 8 bits
    (16-bit, 32-bit integer, float) raise ImageReadError unless ``rescale``,
    which maps their min..max range onto 0..255, or ``keep_wide``, which
    returns their values as they are (for the automatic default, which maps
    their robust range itself). An image of more than
    ``max_pixels`` pixels (default: what memory holds, see
    default_max_pixels) is refused before it is decoded. Raises
    ImageReadError for anything Pillow cannot decode. Of a file of several
    pages this is the first; zentrel.io.pages reads them all.
    """
    with open_image(path, max_pixels) as image:
        return decode_grey(image, rescale, keep_wide)


def decode_grey(image, rescale: bool = False, keep_wide: bool = False, frame: int = 0,
                limit: int | None = None) -> np.ndarray:
    """Frame ``frame`` of an opened Pillow image, decoded as read_grey makes
    it; ImageReadError for whatever keeps it from being decoded, and, with
    ``limit``, for a frame of more pixels."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            if image.tell() != frame:
                image.seek(frame)
            error = size_error(image.size, limit) if limit is not None else None
            if error is not None:
                raise error
            image.load()
            return _grey_of(image, rescale, keep_wide)
    except ImageReadError:
        raise
    except MemoryError:
        raise ImageReadError("not enough memory to decode the image") from None
    except Exception as error:  # Pillow raises many kinds for bad files
        raise ImageReadError(f"cannot read image: {one_line(error)}") from error


def size_error(size, max_pixels: int | None = None) -> ImageReadError | None:
    """The error for an image of ``size`` (width, height) above ``max_pixels``
    (default: what memory holds), or None."""
    limit = default_max_pixels() if max_pixels is None else max_pixels
    width, height = size
    if width * height > limit:
        return ImageReadError(f"{width}x{height} is {width * height} pixels, above the limit of "
                              f"{limit}; pass --max-pixels to raise it")
    return None


@contextlib.contextmanager
def open_image(path, max_pixels: int | None = None, *, check_size: bool = True):
    """The Pillow image of ``path``, opened but not decoded; ImageReadError
    when it cannot be opened or (``check_size``) its first page is above
    ``max_pixels``."""
    from PIL import Image

    # Pillow's own guard warns from 89 Mpx on and refuses twice that; the limit
    # above replaces it, checked from the header before any pixel is decoded.
    saved_limit, Image.MAX_IMAGE_PIXELS = Image.MAX_IMAGE_PIXELS, None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            image = Image.open(path)
    except MemoryError:
        raise ImageReadError("not enough memory to decode the image") from None
    except Exception as error:  # Pillow raises many kinds for bad files
        raise ImageReadError(f"cannot read image: {one_line(error)}") from error
    finally:
        Image.MAX_IMAGE_PIXELS = saved_limit
    with image:
        error = size_error(image.size, max_pixels) if check_size else None
        if error is not None:
            raise error
        yield image


def _grey_of(image, rescale: bool, keep_wide: bool = False) -> np.ndarray:
    mode = image.mode
    if mode in _WIDE_MODES:
        if keep_wide and not rescale:
            return np.asarray(image)
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


def write_image(path, values: np.ndarray, *, bilevel: bool = False, overwrite: bool = False,
                text: dict | None = None) -> None:
    """Write a 2-D uint8 array atomically, in the format of the extension of ``path``.

    PNG and TIFF hold 8-bit grey, or 1 bit per pixel with ``bilevel`` (then
    only 0 and 255 may occur; TIFF is then CCITT Group 4 compressed, Deflate
    otherwise). PBM is always 1 bit. ``text`` goes into PNG text chunks.
    Raises ValueError for another extension, FileExistsError for an existing
    ``path`` without ``overwrite``, OSError when writing fails.
    """
    from PIL import Image
    from PIL.PngImagePlugin import PngInfo

    fmt = image_format(path)
    image = Image.fromarray(np.ascontiguousarray(values, dtype=np.uint8))
    options = {}
    if bilevel or fmt == "PPM":
        image = image.convert("1", dither=Image.Dither.NONE)
    if fmt == "TIFF":
        options["compression"] = "group4" if image.mode == "1" else "tiff_adobe_deflate"
    if fmt == "PNG" and text:
        info = PngInfo()
        for key, value in text.items():
            info.add_text(key, value)
        options["pnginfo"] = info
    write_atomic(path, lambda file: image.save(file, format=fmt, **options), overwrite=overwrite)


def png_text(path) -> dict:
    """The text chunks of a PNG file, or {} when it is no readable PNG."""
    from PIL import Image

    try:
        with Image.open(path) as image:
            return dict(getattr(image, "text", {})) if image.format == "PNG" else {}
    except Exception:  # not ours to judge: any unreadable file simply has no text
        return {}


def one_line(error: BaseException, limit: int = 200) -> str:
    """The first line of an error's message, cut to ``limit`` characters."""
    text = str(error).strip().splitlines()
    line = text[0] if text else type(error).__name__
    return line if len(line) <= limit else line[:limit - 3] + "..."


def failure_text(error: Exception, target) -> str:
    """The one-line report of a file whose thresholding failed: a read or
    collision message as it stands, a write error with the target named,
    memory, or the first line of anything else (the engine's ValueError,
    NoRegionPassedError, or the unforeseen)."""
    if isinstance(error, (ImageReadError, FileExistsError)):
        return str(error)
    if isinstance(error, OSError):
        return f"cannot write {target}: {error.strerror or one_line(error)}"
    if isinstance(error, MemoryError):
        return "not enough memory"
    return one_line(error)
