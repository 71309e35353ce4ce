"""Files of several pages (multi-page TIFF, animated GIF or WebP, ...), page by page.

    page_count(path) -> pages in the file (1 for a plain image)
    read_pages(path, ...) -> (number, grey array or ImageReadError), one page at a time
    write_pages(path, pages, bilevel, overwrite) -> pages written, into one TIFF
    paged_name(path, number) -> {stem}-p0001{suffix}: a page's own file
    remove_page_temporaries(path) -> temporaries of path and of its pages' files removed
    PAGED_FORMATS: the output formats that hold several pages

Pages are decoded and written one at a time, so a book of hundreds of pages
needs the memory of one page.
"""

from __future__ import annotations

import re
import warnings
from pathlib import Path
from typing import Iterable, Iterator, Union

import numpy as np

from zentrel.io.files import remove_temporaries, write_atomic
from zentrel.io.images import ImageReadError, _grey_of, open_image, image_format, one_line, size_error

__all__ = ["PAGED_FORMATS", "paged_name", "page_count", "read_pages", "remove_page_temporaries",
           "write_pages"]

# Output formats (as image_format names them) that hold several pages in one file.
PAGED_FORMATS = frozenset({"TIFF"})
# Digits of a page's number in its own file's name: {stem}-p0001.png.
PAGE_DIGITS = 4


def paged_name(path, number: int) -> Path:
    """The file of page ``number`` when the format holds one page: {stem}-p0001{suffix}."""
    path = Path(path)
    return path.with_name(f"{path.stem}-p{number:0{PAGE_DIGITS}d}{path.suffix}")


def remove_page_temporaries(path) -> int:
    """Remove what killed writers left of ``path`` and of its pages' own files."""
    path = Path(path)
    pages = re.compile(rf"{re.escape(path.stem)}-p[0-9]{{{PAGE_DIGITS},}}{re.escape(path.suffix)}")
    return remove_temporaries(path, lambda name: name == path.name or pages.fullmatch(name) is not None)


def page_count(path) -> int:
    """How many pages (frames) the image file holds; ImageReadError when it cannot be read."""
    with open_image(path, check_size=False) as image:
        return int(getattr(image, "n_frames", 1))


def read_pages(path, *, rescale: bool = False, max_pixels: int | None = None,
               keep_wide: bool = False) -> Iterator[tuple[int, Union[np.ndarray, ImageReadError]]]:
    """Each page of an image file as (number from 1, grey array), in order.

    A page that cannot be decoded, or is larger than ``max_pixels``, comes
    as (number, ImageReadError) and the next pages are still tried; a file
    that cannot be opened at all raises ImageReadError. The arrays are as
    read_grey makes them (luma, the ``rescale`` and ``keep_wide`` rules).
    """
    with open_image(path, check_size=False) as image:
        count = int(getattr(image, "n_frames", 1))
        for index in range(count):
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    image.seek(index)
                    _check_size(image, max_pixels)
                    image.load()
                    page = _grey_of(image, rescale, keep_wide)
            except ImageReadError as error:
                yield index + 1, error
                continue
            except MemoryError:
                yield index + 1, ImageReadError("not enough memory to decode the image")
                continue
            except Exception as error:  # Pillow raises many kinds for bad pages
                yield index + 1, ImageReadError(f"cannot read image: {one_line(error)}")
                continue
            yield index + 1, page


def _check_size(image, max_pixels) -> None:
    error = size_error(image.size, max_pixels)
    if error is not None:
        raise error


def write_pages(path, pages: Iterable[np.ndarray], *, bilevel: bool = False,
                overwrite: bool = False) -> int:
    """Write 2-D uint8 arrays as the pages of one TIFF, whole or not at all.

    ``pages`` is consumed one page at a time (it may compute each as it
    goes). Each page is compressed as write_image would (CCITT Group 4 with
    ``bilevel``, Deflate otherwise). Returns the number of pages written;
    with none, no file is written. Raises as write_image does.
    """
    from PIL import Image, TiffImagePlugin

    if image_format(path) not in PAGED_FORMATS:
        raise ValueError(f"{path}: only TIFF holds several pages")
    pages = iter(pages)
    first = next(pages, None)
    if first is None:
        return 0
    written = 0

    def write(file) -> None:
        nonlocal written
        with TiffImagePlugin.AppendingTiffWriter(file, new=True) as tiff:
            for values in _chain(first, pages):
                image = Image.fromarray(np.ascontiguousarray(values, dtype=np.uint8))
                if bilevel:
                    image = image.convert("1", dither=Image.Dither.NONE)
                image.save(tiff, format="TIFF",
                           compression="group4" if bilevel else "tiff_adobe_deflate")
                tiff.newFrame()
                written += 1

    write_atomic(path, write, overwrite=overwrite)
    return written


def _chain(first, rest):
    yield first
    yield from rest
