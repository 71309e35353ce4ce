"""Image files in and out, and files written safely.

    read_grey(path, rescale=False, max_pixels=None, keep_wide=False) -> 2-D array
    write_image(path, values, bilevel=False, overwrite=False, text=None)
    image_format(path, formats) -> format name (ValueError naming the accepted)
    luma(rgb), rescale_to_8bit(values), png_text(path)
    ImageReadError, one_line(error), failure_text(error, target)
    default_max_pixels(images_at_once), BINARY_FORMATS
    write_atomic(path, write, overwrite), exists_message(path), identity(path),
    remove_temporaries(path), TEMP_MARK                              (files)
    is_zarr(path)

Pillow is imported only when an image is read or written (the cli extra).
"""

from pathlib import Path

from zentrel.io.files import TEMP_MARK, exists_message, identity, remove_temporaries, write_atomic
from zentrel.io.images import (BINARY_FORMATS, ImageReadError, default_max_pixels, failure_text,
                               image_format, luma, one_line, png_text, read_grey, rescale_to_8bit,
                               write_image)

# A Zarr store: a folder named .zarr, or one holding Zarr's metadata files.
ZARR_MARKERS = ("zarr.json", ".zarray", ".zgroup")


def is_zarr(path) -> bool:
    """Whether path names a Zarr store (to be read or written chunk by chunk)."""
    path = Path(path)
    return path.suffix.lower() == ".zarr" or any((path / name).exists() for name in ZARR_MARKERS)


__all__ = [
    "BINARY_FORMATS",
    "ImageReadError",
    "TEMP_MARK",
    "default_max_pixels",
    "exists_message",
    "failure_text",
    "identity",
    "image_format",
    "is_zarr",
    "luma",
    "one_line",
    "png_text",
    "read_grey",
    "remove_temporaries",
    "rescale_to_8bit",
    "write_atomic",
    "write_image",
]
