"""OCRmyPDF mode of the OCR benchmark: each image as a one-page PDF, OCRed with and without zentrel.

    python3 bench/ocr.py MANIFEST --ocrmypdf [--sets wildreceipt] [--workers 2]

Each image goes into a PDF as it is (its JPEG or PNG bytes, at a fixed
300 dpi so the rasterized page has the image's own pixels), and ``ocrmypdf``
runs on it at its defaults (``-O0 --output-type pdf`` only skip the
optimizer and PDF/A, which do not touch the text) twice: alone, where
Tesseract thresholds the page itself, and with ``--plugin zentrel.ocrmypdf``.
The score is the share of the image's scored boxes found in the output's
text layer (``pdftotext -raw``), by the page protocol's rule
(ocrbench/scoring.py). Texts are cached by what decides them: the input
image, the OCRmyPDF and Tesseract versions and, with the plugin, the plugin's
source and zentrel's result on the image.
"""

from __future__ import annotations

import hashlib
import json
import platform
import shutil
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from importlib import metadata
from pathlib import Path

import numpy as np

from bench_helpers import markdown_table
from ocrbench import scoring, tesseract
from ocrbench.cache import TextCache, digest

__all__ = ["MODES", "run"]

MODES = {"ocrmypdf": (), "ocrmypdf+zentrel": ("--plugin", "zentrel.ocrmypdf")}
DPI = 300
PROTOCOL = "pdf"


def missing_tools() -> list[str]:
    """What the mode needs and cannot find, as install hints."""
    out = []
    for program, package in (("tesseract", "tesseract-ocr tesseract-ocr-eng"), ("gs", "ghostscript"),
                             ("pdftotext", "poppler-utils")):
        if shutil.which(program) is None:
            out.append(f"{program}: apt-get install {package}")
    for module, hint in (("ocrmypdf", 'pip install ".[ocr]"'), ("img2pdf", 'pip install ".[ocr]"')):
        try:
            __import__(module)
        except ImportError:
            out.append(f"{module}: {hint}")
    return out


def make_pdf(image_path: Path, pdf_path: Path) -> None:
    import img2pdf

    layout = img2pdf.get_fixed_dpi_layout_fun((DPI, DPI))
    pdf_path.write_bytes(img2pdf.convert(str(image_path), layout_fun=layout))


def ocr_text(pdf_path: Path, options: tuple, folder: Path) -> str:
    """The text layer of ``ocrmypdf [options]`` on the PDF."""
    out = folder / f"out-{len(options)}.pdf"
    command = [sys.executable, "-m", "ocrmypdf", "-O0", "--output-type", "pdf", "--jobs", "1", "--quiet",
               *options, str(pdf_path), str(out)]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"ocrmypdf exited with {done.returncode}: {done.stderr.strip()[-500:]}")
    return subprocess.run(["pdftotext", "-raw", str(out), "-"], capture_output=True, text=True,
                          check=True).stdout


def plugin_digest(grey: np.ndarray) -> str:
    """What decides the plugin's OCR image: its source and zentrel's result on the page."""
    import zentrel
    import zentrel.ocrmypdf

    source = hashlib.sha256(Path(zentrel.ocrmypdf.__file__).read_bytes()).hexdigest()
    return digest(zentrel.binarize(grey), source)


def one_image(entry: dict, root: Path, cache: TextCache, versions: str, folder: Path) -> tuple[dict, list]:
    """The image's score with each mode, and the texts read afresh as (mode, digest, text) for the cache."""
    from PIL import Image

    image_path = root / entry["image"]
    folder.mkdir()
    pdf = folder / "in.pdf"
    make_pdf(image_path, pdf)
    # The image's bytes, not the PDF's: img2pdf stamps each PDF with the time it was made.
    base = digest(np.frombuffer(image_path.read_bytes(), np.uint8), versions, DPI)
    boxes = json.loads((root / entry["boxes"]).read_text())
    truths = [b[4] for b in boxes if scoring.eligible(b[4])]
    result = {"set": entry["set"], "image": entry["image"], "boxes": len(truths), "ocrmypdf_runs": 0}
    fresh = []
    for mode, options in MODES.items():
        key = base
        if options:
            with Image.open(image_path) as im:
                key = digest(np.zeros(0, np.uint8), base, plugin_digest(np.asarray(im.convert("L"))))
        text = cache.get(entry["image"], mode, PROTOCOL, key)
        if text is None:
            text = ocr_text(pdf, options, folder)
            fresh.append((mode, key, text))
            result["ocrmypdf_runs"] += 1
        result[mode] = len(truths) - sum(scoring.page_misses(text, truths))
    shutil.rmtree(folder)
    return result, fresh


def table(groups: dict) -> str:
    """Sets as rows; the share of boxes found with each mode, the higher of each row in bold."""
    rows = []
    for name, counts in groups.items():
        shares = [counts[m] / counts["boxes"] if counts["boxes"] else None for m in MODES]
        best = max((s for s in shares if s is not None), default=None)
        cells = ["-" if s is None else f"**{s:.3f}**" if s == best else f"{s:.3f}" for s in shares]
        rows.append([name, str(counts["boxes"]), str(counts["images"]), *cells])
    return markdown_table(["set", "boxes", "images", *MODES], rows)


def run(args, manifest: list, root: Path, sets: list) -> int:
    problems = missing_tools()
    if problems:
        print("the OCRmyPDF mode needs:\n  " + "\n  ".join(problems), file=sys.stderr)
        return 2
    import ocrmypdf

    tesseract_version = tesseract.version()
    if tesseract_version is None:
        print(tesseract.INSTALL_HINT, file=sys.stderr)
        return 2
    versions = {"ocrmypdf": ocrmypdf.__version__, "tesseract": tesseract_version,
                "zentrel": metadata.version("zentrel")}
    entries = [e for e in manifest if e["set"] in sets]
    cache = TextCache(args.cache)
    start = time.perf_counter()
    results = []
    with tempfile.TemporaryDirectory(prefix="zentrel-ocrmypdf-") as tmp, ThreadPoolExecutor(args.workers) as pool:
        version_key = f"{versions['ocrmypdf']}|{versions['tesseract']}"
        futures = [pool.submit(one_image, e, root, cache, version_key, Path(tmp) / str(n))
                   for n, e in enumerate(entries)]
        for future, entry in zip(futures, entries):
            result, fresh = future.result()
            for mode, key, text in fresh:  # only this thread touches the cache's entries
                cache.put(entry["image"], mode, PROTOCOL, key, text)
            cache.save()
            results.append(result)
            r = results[-1]
            print(f"[{len(results)}/{len(entries)}] {r['image']}: "
                  + ", ".join(f"{m} {r[m]}/{r['boxes']}" for m in MODES)
                  + f", {time.perf_counter() - start:.0f} s", flush=True)
    seconds = time.perf_counter() - start

    def pooled(rs):
        return {"images": len(rs), "boxes": sum(r["boxes"] for r in rs), **{m: sum(r[m] for r in rs) for m in MODES}}

    groups = {s: pooled([r for r in results if r["set"] == s]) for s in sets}
    if len(sets) > 1:
        groups["all"] = pooled(results)
    text = table(groups)
    print("\nOCRmyPDF: share of boxes found in the text layer, higher is better\n")
    print(text)
    runs = sum(r["ocrmypdf_runs"] for r in results)
    print(f"\n{len(results)} images, {runs} ocrmypdf runs, {seconds:.0f} s")
    out = args.json
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps({
        "manifest": str(args.manifest), "date": time.strftime("%Y-%m-%d %H:%M:%S"),
        "machine": {"platform": platform.platform(), "python": platform.python_version()},
        "versions": versions, "dpi": DPI, "seconds": seconds, "ocrmypdf_runs": runs,
        "sets": groups, "table": text, "images": results,
    }, indent=1))
    print(f"wrote {out}")
    return 0
