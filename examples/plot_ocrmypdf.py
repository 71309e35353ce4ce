"""
OCRmyPDF with the zentrel plugin
================================

``ocrmypdf --plugin zentrel.ocrmypdf`` hands Tesseract zentrel's black and
white instead of the grey page. Here a page of words lit from one corner
goes through OCRmyPDF twice, from Python (``ocrmypdf.ocr`` takes the same
options as the command line), and the text of each output is read back from
the text file OCRmyPDF writes beside it (``sidecar``).

Needs the ``ocr`` extra (``pip install "zentrel[ocr]"``) and Tesseract and
Ghostscript (Debian: ``tesseract-ocr tesseract-ocr-eng ghostscript``).
"""

import logging
import tempfile
from pathlib import Path

import img2pdf
import matplotlib
import matplotlib.pyplot as plt
import numpy as np
import ocrmypdf
from PIL import Image, ImageDraw, ImageFont

import zentrel

# sphinx_gallery_start_ignore
# OCRmyPDF's progress lines (and its PDF writer's) would fill the build's log.
for name in ("ocrmypdf", "fontTools"):
    logging.getLogger(name).setLevel(logging.WARNING)
# sphinx_gallery_end_ignore

# %%
# A page of three lines of words under a lamp at its top right: the far
# corner is dark, and the words there are barely darker than the paper.

WORDS = ["INVOICE", "Harbour", "Lantern", "Quarry", "Velvet", "Orchard", "Meadow", "Copper", "Thistle"]
height, width = 700, 1000
paper = Image.new("L", (width, height), 255)
font = ImageFont.truetype(str(Path(matplotlib.get_data_path()) / "fonts/ttf/DejaVuSans.ttf"), 34)
draw = ImageDraw.Draw(paper)
for line in range(3):
    draw.text((60, 80 + line * 180), "  ".join(WORDS[3 * line:3 * line + 3]), fill=0, font=font)
y, x = np.mgrid[0:height, 0:width]
light = 40 + 200 * np.clip(1 - np.hypot(x - 0.85 * width, y - 0.1 * height) / (1.1 * width), 0, 1)
noise = np.random.default_rng(0).normal(0, 4, (height, width))
page = np.clip(light * (0.35 + 0.65 * np.asarray(paper) / 255) + noise, 0, 255).astype(np.uint8)

# %%
# The page as a one-page PDF, OCRed without and with the plugin. The
# plugin's options are ``zentrel_...`` keywords here (``--zentrel-...`` on
# the command line).

folder = Path(tempfile.mkdtemp())
Image.fromarray(page).save(folder / "page.png", dpi=(300, 300))
(folder / "page.pdf").write_bytes(img2pdf.convert(str(folder / "page.png")))


for name, plugins in (("without", []), ("with zentrel", ["zentrel.ocrmypdf"])):
    ocrmypdf.ocr(folder / "page.pdf", folder / f"{name}.pdf", plugins=plugins, output_type="pdf",
                 optimize=0, progress_bar=False, sidecar=folder / f"{name}.txt")
    text = (folder / f"{name}.txt").read_text()
    found = [w for w in WORDS if w in text]
    print(f"{name}: {len(found)} of {len(WORDS)} words found: {', '.join(found) or 'none'}")

# %%
# What Tesseract sees: on its own it thresholds the grey page with one Otsu
# level, which the dark corner falls under; with the plugin it reads
# zentrel's result.

fig, axes = plt.subplots(1, 2, figsize=(10, 3.8), layout="constrained")
axes[0].imshow(page, cmap="gray", vmin=0, vmax=255)
axes[0].set_title("the page")
axes[1].imshow(zentrel.binarize(page), cmap="gray", vmin=0, vmax=255)
axes[1].set_title("what the plugin gives Tesseract")
for ax in axes:
    ax.set_axis_off()
plt.show()
