"""Image files in and out, and files written safely.

    read_grey(path, rescale=False, max_pixels=None, keep_wide=False) -> 2-D array
    write_image(path, values, bilevel=False, overwrite=False, text=None)
    image_format(path, formats) -> format name (ValueError naming the accepted)
    open_image(path, max_pixels) (Pillow, not decoded), luma(rgb), rescale_to_8bit(values),
    png_text(path)
    ImageReadError, one_line(error), failure_text(error, target)
    default_max_pixels(images_at_once), BINARY_FORMATS
    write_atomic(path, write, overwrite), exists_message(path), identity(path),
    remove_temporaries(path), TEMP_MARK                              (files)
    is_zarr(path)
    read_pages(path, ...), write_pages(path, pages, ...), page_count(path), decoded_pages(path),
    paged_name(path, number), is_output_of(path, target), remove_page_temporaries(path),
    PAGED_FORMATS                                                    (pages)

Pillow is imported only when an image is read or written (the cli extra).
"""

from pathlib import Path

from zentrel.io.files import TEMP_MARK, exists_message, identity, remove_temporaries, write_atomic
from zentrel.io.images import (BINARY_FORMATS, ImageReadError, default_max_pixels, failure_text,
                               image_format, luma, one_line, open_image, png_text, read_grey, rescale_to_8bit,
                               write_image)
from zentrel.io.pages import (PAGED_FORMATS, decoded_pages, is_output_of, page_count, paged_name, read_pages,
                              remove_page_temporaries, write_pages)

# A Zarr store: a folder named .zarr, or one holding Zarr's metadata files.
ZARR_MARKERS = ("zarr.json", ".zarray", ".zgroup")


def is_zarr(path) -> bool:
    """Whether path names a Zarr store (to be read or written chunk by chunk)."""
    path = Path(path)
    return path.suffix.lower() == ".zarr" or any((path / name).exists() for name in ZARR_MARKERS)


__all__ = [
    "BINARY_FORMATS",
    "ImageReadError",
    "PAGED_FORMATS",
    "TEMP_MARK",
    "decoded_pages",
    "default_max_pixels",
    "exists_message",
    "failure_text",
    "identity",
    "image_format",
    "is_output_of",
    "is_zarr",
    "luma",
    "one_line",
    "open_image",
    "page_count",
    "paged_name",
    "png_text",
    "read_grey",
    "read_pages",
    "remove_page_temporaries",
    "remove_temporaries",
    "rescale_to_8bit",
    "write_atomic",
    "write_image",
    "write_pages",
]
