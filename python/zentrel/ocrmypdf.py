"""OCRmyPDF plugin: Tesseract reads each page as zentrel binarized it.

    ocrmypdf --plugin zentrel.ocrmypdf scan.pdf scan-ocr.pdf
    ocrmypdf --plugin zentrel.ocrmypdf --zentrel-clean-page --zentrel-region-size 48 in.pdf out.pdf

or from Python: ``ocrmypdf.ocr(..., plugins=["zentrel.ocrmypdf"], zentrel_preset="classic")``.

- ``filter_ocr_image``: the image sent to OCR becomes zentrel's black and
  white (grey by BT.601 luma first). The page shown in the output is left
  as it was.
- ``--zentrel-clean-page`` also puts the black-and-white page into the
  output (``filter_page_image``), which needs the page redrawn from its
  image: the default mode becomes ``--mode force``.
- ``--zentrel-preset auto|classic``, ``--zentrel-objects dark|bright``,
  ``--zentrel-region-size R``, ``--zentrel-percent P``: the analysis options
  of :func:`zentrel.binarize`.
- An evenly lit page (a scan) goes to OCR as it is, said in the log:
  thresholding under uneven light has nothing to add there, and Tesseract
  reads the soft edges of grey print better than any black and white of
  them. ``--zentrel-every-page`` binarizes these too.
- A page zentrel cannot binarize (no region passed, a page smaller than a
  region) keeps its grey image, with a warning in OCRmyPDF's log; the
  document goes on.

Needs the ``ocr`` extra: ``pip install "zentrel[ocr]"``; Tesseract and
Ghostscript come from the system.
"""

from __future__ import annotations

import logging
from pathlib import Path
from typing import Literal, Optional

import numpy as np
from ocrmypdf import hookimpl
from ocrmypdf.exceptions import BadArgsError
from PIL import Image
from pydantic import BaseModel, Field

import zentrel
from zentrel.core import Settings, preset_conflict

__all__ = ["ZentrelOptions"]

log = logging.getLogger(__name__)

NAMESPACE = "zentrel"

# A page is evenly lit when the level of its paper varies across it by less
# than this share of its contrast. Paper level: the 90th percentile of each
# square tile (PAPER_TILES along the shorter side); variation: its 5-95 %
# range; contrast: the page's 1-99 % range. Set on the receipts and forms of
# the OCR benchmark (75 pages): scans measure 0.000-0.014 (a scanner lights
# the page evenly and clips the paper white), phone photos 0.05-0.97; any
# value from 0.02 to 0.05 sorts them alike. Sent grey, the scans lost no
# box; binarized, FUNSD lost 45 % of its boxes and SROIE 5 %.
EVEN_PAPER = 0.03
PAPER_TILES = 16


class ZentrelOptions(BaseModel):
    """The plugin's options, reached as ``options.zentrel`` inside OCRmyPDF."""

    preset: Literal["auto", "classic"] = "auto"
    objects: Optional[Literal["dark", "bright"]] = None
    region_size: int = Field(Settings.region_size, ge=1)
    percent: int = Field(Settings.percent, ge=0, le=100)
    clean_page: bool = False
    every_page: bool = False

    def analysis_options(self) -> dict:
        """Keyword arguments of zentrel.binarize."""
        return {"preset": self.preset, "objects": self.objects, "region_size": self.region_size,
                "percent": self.percent}


def _int_in(name: str, low: int, high: Optional[int] = None):
    """An argparse type: an integer from low to high; argparse refuses others in one line naming ``name``."""
    def parse(text: str) -> int:
        value = int(text)
        if value < low or (high is not None and value > high):
            raise ValueError(text)
        return value

    parse.__name__ = name
    return parse


@hookimpl
def register_options():
    return {NAMESPACE: ZentrelOptions}


@hookimpl
def add_options(parser):
    group = parser.add_argument_group("zentrel", "Binarization of the page before OCR by zentrel")
    defaults = ZentrelOptions()
    group.add_argument("--zentrel-preset", choices=["auto", "classic"], default=defaults.preset,
                       help="analysis preset (default %(default)s)")
    group.add_argument("--zentrel-objects", choices=["dark", "bright"], default=None,
                       help="the text's side; found per page when not given")
    group.add_argument("--zentrel-region-size", type=_int_in("region size (1 or more)", 1), metavar="R",
                       default=defaults.region_size, help="side of the square regions in pixels (default %(default)s)")
    group.add_argument("--zentrel-percent", type=_int_in("percent (0 to 100)", 0, 100), metavar="P",
                       default=defaults.percent, help="share of regions fitted, 0..100 (default %(default)s)")
    group.add_argument("--zentrel-every-page", action="store_true",
                       help="binarize evenly lit pages (scans) too; by default they go to OCR as they are")
    group.add_argument("--zentrel-clean-page", action="store_true",
                       help="also put the black-and-white page into the output PDF (implies --mode force)")


@hookimpl
def check_options(options):
    ours = options.zentrel
    if preset_conflict(ours.preset, ours.objects, False, {}) == ("objects", "auto"):
        raise BadArgsError("--zentrel-objects applies to --zentrel-preset auto only")
    if ours.clean_page and options.lossless_reconstruction:
        if options.mode != "default":
            raise BadArgsError(f"--zentrel-clean-page replaces the page image, which --mode {options.mode} "
                               "keeps; use --mode force")
        log.info("--zentrel-clean-page: pages are redrawn from their images (--mode force)")
        options.mode = type(options.mode)("force")  # OCRmyPDF's ProcessingMode, not exported


def _grey(image: Image.Image) -> Image.Image:
    """The page as an "L" image, keeping its info (the DPI places the text layer)."""
    grey = image if image.mode == "L" else image.convert("L")
    grey.info.update(image.info)
    return grey


def _binarize(grey: Image.Image, pageno: int, options: ZentrelOptions, instead: str) -> Optional[Image.Image]:
    """zentrel's result on a grey page, as an "L" image of 0 and 255; None, with a
    warning, when zentrel cannot help."""
    try:
        binary = zentrel.binarize(np.asarray(grey), **options.analysis_options())
    except ValueError as error:  # NoRegionPassedError, a page smaller than a region
        log.warning("page %d: zentrel cannot binarize it (%s); %s", pageno + 1, error, instead)
        return None
    out = Image.fromarray(binary)
    out.info.update(grey.info)  # the DPI places the text layer
    return out


def paper_spread(grey: np.ndarray) -> float:
    """How much the paper's level varies across a page, as a share of its contrast (see EVEN_PAPER)."""
    low, high = np.percentile(grey, [1, 99])
    side = max(1, min(grey.shape) // PAPER_TILES)
    rows, cols = grey.shape[0] // side, grey.shape[1] // side
    tiles = grey[:rows * side, :cols * side].reshape(rows, side, cols, side).swapaxes(1, 2)
    paper = np.percentile(tiles.reshape(rows * cols, side * side), 90, axis=1)
    spread = np.percentile(paper, 95) - np.percentile(paper, 5)
    return float(spread / max(high - low, 1.0))


@hookimpl(wrapper=True)
def filter_ocr_image(page, image):
    # Wraps the other filters (Tesseract's own shrinks pages too large for it) and binarizes their result.
    image = (yield) or image
    if image.mode == "1":
        return image  # already black and white
    options, grey = page.options.zentrel, _grey(image)
    if not options.every_page:
        spread = paper_spread(np.asarray(grey))
        if spread < EVEN_PAPER:
            log.info("page %d: evenly lit (paper varies by %.3f of the contrast); OCR reads it as it is",
                     page.pageno + 1, spread)
            return image
    return _binarize(grey, page.pageno, options, "OCR reads the grey page") or grey


@hookimpl
def filter_page_image(page, image_filename: Path) -> Path:
    options = page.options.zentrel
    if not options.clean_page:
        return image_filename
    with Image.open(image_filename) as image:
        if image.mode == "1":
            return image_filename
        dpi = image.info.get("dpi")
        binary = _binarize(_grey(image), page.pageno, options, "the output keeps the page as it was")
    if binary is None:
        return image_filename  # the page as it was
    out = image_filename.with_name(image_filename.stem + "_zentrel.png")
    # One bit per pixel: the small clean page users ask for; the same DPI keeps the page's size.
    binary.convert("1").save(out, **({"dpi": tuple(round(v) for v in dpi)} if dpi else {}))
    return out
