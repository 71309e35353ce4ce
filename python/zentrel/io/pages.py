"""Files of several pages (multi-page TIFF, animated GIF or WebP, ...), page by page.

    page_count(path) -> pages in the file (1 for a plain image)
    read_pages(path, ...) -> (number, grey array or ImageReadError), one page at a time
    decoded_pages(path) -> pages that decode, or None when one does not
    write_pages(path, pages, bilevel, overwrite) -> pages written, into one TIFF
    paged_name(path, number) -> {stem}-p0001{suffix}: a page's own file
    is_output_of(path, target) -> whether path is target or one of its pages' own files
    remove_page_temporaries(path) -> temporaries of path and of its pages' files removed
    PAGED_FORMATS: the output formats that hold several pages

Pages are decoded and written one at a time, so a book of hundreds of pages
needs the memory of one page.
"""

from __future__ import annotations

import itertools
import re
from pathlib import Path
from typing import Iterable, Iterator, Union

import numpy as np

from zentrel.io.files import remove_temporaries, write_atomic
from zentrel.io.images import ImageReadError, decode_grey, default_max_pixels, image_format, open_image

__all__ = ["PAGED_FORMATS", "decoded_pages", "is_output_of", "paged_name", "page_count", "read_pages",
           "remove_page_temporaries", "write_pages"]

# Output formats (as image_format names them) that hold several pages in one file.
PAGED_FORMATS = frozenset({"TIFF"})
# Digits of a page's number in its own file's name: {stem}-p0001.png.
PAGE_DIGITS = 4


def paged_name(path, number: int) -> Path:
    """The file of page ``number`` when the format holds one page: {stem}-p0001{suffix}."""
    path = Path(path)
    return path.with_name(f"{path.stem}-p{number:0{PAGE_DIGITS}d}{path.suffix}")


def _own_name(target: Path):
    """Whether a file name in target's folder is target's or one of its pages' own."""
    pages = re.compile(rf"{re.escape(target.stem)}-p[0-9]{{{PAGE_DIGITS},}}{re.escape(target.suffix)}")
    return lambda name: name == target.name or pages.fullmatch(name) is not None


def is_output_of(path, target) -> bool:
    """Whether ``path`` is ``target`` or one of its pages' own files."""
    path, target = Path(path), Path(target)
    return path.parent == target.parent and _own_name(target)(path.name)


def remove_page_temporaries(path) -> int:
    """Remove what killed writers left of ``path`` and of its pages' own files."""
    return remove_temporaries(path, _own_name(Path(path)))


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
    limit = default_max_pixels() if max_pixels is None else max_pixels
    with open_image(path, check_size=False) as image:
        for index in range(int(getattr(image, "n_frames", 1))):
            try:
                page = decode_grey(image, rescale, keep_wide, index, limit)
            except ImageReadError as error:
                page = error
            yield index + 1, page


def decoded_pages(path) -> int | None:
    """How many pages the file holds when every one of them decodes, else None."""
    try:
        with open_image(path, check_size=False) as image:
            count = int(getattr(image, "n_frames", 1))
            for index in range(count):
                image.seek(index)
                image.load()
    except Exception:  # anything that does not decode
        return None
    return count


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
            for values in itertools.chain([first], pages):
                image = Image.fromarray(np.ascontiguousarray(values, dtype=np.uint8))
                if bilevel:
                    image = image.convert("1", dither=Image.Dither.NONE)
                image.save(tiff, format="TIFF",
                           compression="group4" if bilevel else "tiff_adobe_deflate")
                tiff.newFrame()
                written += 1

    write_atomic(path, write, overwrite=overwrite)
    return written
