"""The OCRmyPDF plugin through the real ocrmypdf command, on a page of words under a lamp."""

import glob
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

for _program, _package in (("tesseract", "tesseract-ocr"), ("gs", "ghostscript"), ("pdftotext", "poppler-utils")):
    if shutil.which(_program) is None:
        pytest.skip(f"{_program} missing (Debian's {_package})", allow_module_level=True)
pytest.importorskip("ocrmypdf", reason='ocrmypdf missing: pip install "zentrel[ocr]"')

import img2pdf  # noqa: E402  (comes with ocrmypdf)
import matplotlib  # noqa: E402
import pikepdf  # noqa: E402
from PIL import Image, ImageDraw, ImageFont  # noqa: E402

import zentrel  # noqa: E402

WORDS = ["INVOICE", "Harbour", "Lantern", "Quarry", "Velvet", "Orchard", "Meadow", "Copper", "Thistle"]


def make_page(folder, lamp=True):
    """Three lines of words on a page lit from the top right, dark and noisy at the far
    corner (or, without the lamp, evenly), as page.pdf in folder."""
    height, width = 700, 1000
    paper = Image.new("L", (width, height), 255)
    font = ImageFont.truetype(str(Path(matplotlib.get_data_path()) / "fonts/ttf/DejaVuSans.ttf"), 34)
    draw = ImageDraw.Draw(paper)
    boxes = []
    for line in range(3):
        x = 60
        for word in WORDS[3 * line:3 * line + 3]:
            boxes.append([*draw.textbbox((x, 80 + line * 180), word, font=font), word])
            draw.text((x, 80 + line * 180), word, fill=0, font=font)
            x = boxes[-1][2] + 30
    y, x = np.mgrid[0:height, 0:width]
    light = 40 + 200 * np.clip(1 - np.hypot(x - 0.85 * width, y - 0.1 * height) / (1.1 * width), 0, 1)
    if not lamp:
        light = np.full(light.shape, 230.0)
    noise = np.random.default_rng(0).normal(0, 4, (height, width))
    grey = np.clip(light * (0.35 + 0.65 * np.asarray(paper) / 255) + noise, 0, 255).astype(np.uint8)
    Image.fromarray(grey).save(folder / "page.png", dpi=(300, 300))
    (folder / "page.pdf").write_bytes(img2pdf.convert(str(folder / "page.png")))
    # The same page for the benchmark's OCRmyPDF mode, a box per word.
    (folder / "page.boxes.json").write_text(json.dumps(boxes))
    (folder / "manifest.json").write_text(json.dumps([{"set": "made", "image": "page.png",
                                                        "boxes": "page.boxes.json"}]))
    return folder / "page.pdf"


@pytest.fixture(scope="module")
def page_pdf(tmp_path_factory):
    return make_page(tmp_path_factory.mktemp("page"))


def ocrmypdf(page_pdf, tmp_path, *options):
    """Run the command with the plugin, keeping its work files in tmp_path; (output, stderr, work folder)."""
    out = tmp_path / "out.pdf"
    done = subprocess.run(
        [sys.executable, "-m", "ocrmypdf", "--plugin", "zentrel.ocrmypdf", "-O0", "--output-type", "pdf",
         "--keep-temporary-files", *options, str(page_pdf), str(out)],
        capture_output=True, text=True, env=dict(os.environ, TMPDIR=str(tmp_path)))
    assert done.returncode == 0, done.stderr[-2000:]
    (work,) = glob.glob(str(tmp_path / "ocrmypdf.io.*"))
    return out, done.stderr, Path(work)


def page_images(pdf):
    with pikepdf.Pdf.open(pdf) as document:
        return [pikepdf.PdfImage(image).as_pil_image() for image in document.pages[0].get_images().values()]


def rasterized(work):
    return np.asarray(Image.open(work / "000001_rasterize.png").convert("L"))


def sent_to_ocr(work):
    return np.asarray(Image.open(work / "000001_ocr.png"))


def test_text_layer_holds_the_words_and_the_page_stays(page_pdf, tmp_path):
    out, _, work = ocrmypdf(page_pdf, tmp_path)
    text = subprocess.run(["pdftotext", str(out), "-"], capture_output=True, text=True, check=True).stdout
    assert [w for w in WORDS if w not in text] == []
    assert np.array_equal(sent_to_ocr(work), zentrel.binarize(rasterized(work)))
    (image,) = page_images(out)
    (original,) = page_images(page_pdf)
    assert image.mode == "L" and np.array_equal(np.asarray(image), np.asarray(original))


@pytest.mark.parametrize("options, kwargs", [
    (["--zentrel-region-size", "48", "--zentrel-percent", "20"], {"region_size": 48, "percent": 20}),
    (["--zentrel-objects", "bright"], {"objects": "bright"}),
])
def test_options_reach_the_analysis(page_pdf, tmp_path, options, kwargs):
    _, _, work = ocrmypdf(page_pdf, tmp_path, *options)
    grey = rasterized(work)
    assert np.array_equal(sent_to_ocr(work), zentrel.binarize(grey, **kwargs))
    assert not np.array_equal(sent_to_ocr(work), zentrel.binarize(grey))


def test_clean_page_puts_the_black_and_white_page_in_the_output(page_pdf, tmp_path):
    out, _, work = ocrmypdf(page_pdf, tmp_path, "--zentrel-clean-page")
    (image,) = page_images(out)
    assert image.mode == "1"
    assert np.array_equal(np.asarray(image.convert("L")), zentrel.binarize(rasterized(work)))


@pytest.mark.parametrize("options, binarized", [([], False), (["--zentrel-every-page"], True)])
def test_an_evenly_lit_page_goes_to_ocr_as_it_is(tmp_path, options, binarized):
    even = make_page(tmp_path, lamp=False)
    out, log, work = ocrmypdf(even, tmp_path, *options)
    assert ("page 1: evenly lit" in log) != binarized
    grey = rasterized(work)
    assert np.array_equal(sent_to_ocr(work), zentrel.binarize(grey) if binarized else grey)
    text = subprocess.run(["pdftotext", str(out), "-"], capture_output=True, text=True, check=True).stdout
    assert [w for w in WORDS if w not in text] == []


def test_a_page_zentrel_cannot_binarize_is_read_grey_with_a_warning(page_pdf, tmp_path):
    # Regions larger than the page: nothing to analyse.
    out, log, work = ocrmypdf(page_pdf, tmp_path, "--zentrel-region-size", "2000", "--zentrel-clean-page")
    assert "page 1: zentrel cannot binarize it" in log
    assert np.array_equal(sent_to_ocr(work), rasterized(work))
    (image,) = page_images(out)
    assert image.mode == "L"


def test_benchmark_mode_scores_the_text_layers_and_caches_them(page_pdf, tmp_path):
    import ocr

    def run():
        out = tmp_path / "ocrmypdf.json"
        assert ocr.main([str(page_pdf.with_name("manifest.json")), "--ocrmypdf", "--json", str(out),
                         "--cache", str(tmp_path / "cache.json")]) == 0
        return json.loads(out.read_text())

    first = run()
    (image,) = first["images"]
    assert image["boxes"] == len(WORDS) and image["ocrmypdf+zentrel"] == len(WORDS)
    assert first["ocrmypdf_runs"] == 2
    again = run()
    assert again["ocrmypdf_runs"] == 0 and again["sets"] == first["sets"]
