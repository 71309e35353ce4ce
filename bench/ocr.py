#!/usr/bin/env python3
"""OCR benchmark: what each binarisation does for Tesseract on scanned and photographed documents.

    python3 bench/ocr.py /work/shared/ocrdata/manifest.json
    python3 bench/ocr.py MANIFEST --sets funsd --methods none zentrel --protocols box --max-boxes 10

The manifest lists images with ``set``, ``image`` and ``boxes`` (a JSON file
of ``[x0, y0, x1, y1, text]`` per text piece), paths relative to the
manifest. Every method (bench/ocrbench/methods.py) makes one page from the
image's grey (BT.601 luma), and Tesseract reads it two ways:

- page: the whole page with ``--psm 4``; the score is the share of the
  scored boxes whose text is not found in the page's text.
- box: each box, cropped from the method's whole page with PAD pixels of
  the page around it, read as one line with ``--psm 7``; the score is the
  character error rate, edits over ground-truth characters.

Texts are compared normalised (ocrbench/scoring.py). Prints a markdown table
per protocol, writes JSON with every image's scores, and keeps Tesseract's
texts in a cache so that a rerun reads only pages that changed.

``--ocrmypdf`` runs each image as a one-page PDF through OCRmyPDF instead,
with and without the zentrel plugin, and scores the boxes found in the
output's text layer (ocrbench/pdf.py).
"""

from __future__ import annotations

import argparse
import json
import platform
import resource
import shutil
import sys
import tempfile
import time
from collections import defaultdict
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from bench_helpers import ensure_packages, markdown_table  # noqa: E402
from ocrbench import scoring, tesseract  # noqa: E402
from ocrbench.cache import TextCache, digest  # noqa: E402
from ocrbench.methods import METHODS, page_for  # noqa: E402
from quality.peers import PIP_PACKAGES  # noqa: E402

DEFAULT_JSON = HERE / "results" / "ocr.json"
DEFAULT_CACHE = HERE / "results" / "ocr-cache.json"
PDF_JSON = HERE / "results" / "ocrmypdf.json"
PDF_CACHE = HERE / "results" / "ocrmypdf-cache.json"
PSM = {"page": 4, "box": 7}  # Tesseract's page segmentation: a column of text; a single line
PAD = 4  # pixels of page around a box: the ground-truth boxes are tight and Tesseract wants some margin
CHUNK = 200  # crops per Tesseract process: its model load (~0.2 s) is shared, the workers stay busy
BACKLOG = 2  # images prepared ahead of Tesseract, bounding the temporary files
SCORE_NAMES = {"page": "share of boxes not found on the page", "box": "character error rate"}


@dataclass
class ImageWork:
    """One image on its way through Tesseract."""

    entry: dict
    boxes: list
    scored: list  # indices of the boxes with a letter or digit
    sampled: list  # those read one by one
    objects: str | None
    folder: Path
    texts: dict = field(default_factory=dict)  # (method, protocol) -> page text | {box key: text}
    digests: dict = field(default_factory=dict)
    pending: list = field(default_factory=list)  # (future, slots)


def box_key(box) -> str:
    return ",".join(str(int(v)) for v in box[:4])


def crop(page, box):
    x0, y0, x1, y1 = (int(v) for v in box[:4])
    height, width = page.shape
    return page[max(0, y0 - PAD):min(height, y1 + PAD), max(0, x0 - PAD):min(width, x1 + PAD)]


def prepare(entry, root: Path, args, cache: TextCache, pool, folder: Path, version: str) -> ImageWork:
    """Make every method's page, take what the cache has, and send the rest to Tesseract."""
    from zentrel.io import read_grey

    grey = read_grey(root / entry["image"])
    boxes = json.loads((root / entry["boxes"]).read_text())
    scored = [i for i, box in enumerate(boxes) if scoring.eligible(box[4])]
    sampled = [scored[j] for j in scoring.sample(len(scored), args.max_boxes)]
    objects = zentrel_page = None
    if "zentrel" in args.methods:
        from quality.peers import zentrel_run

        zentrel_page, objects = zentrel_run(grey)
    folder.mkdir()
    work = ImageWork(entry, boxes, scored, sampled, objects, folder)
    name = entry["image"]
    groups = defaultdict(list)  # (psm, options) -> [(slot, path)]
    pages_written = {}  # none and tess-sauvola read the same grey page
    for m, method in enumerate(args.methods):
        page, options = page_for(method, grey, zentrel_page)
        for protocol in args.protocols:
            psm = PSM[protocol]
            page_digest = digest(page, version, psm, options, PAD if protocol == "box" else "")
            work.digests[(method, protocol)] = page_digest
            cached = cache.get(name, method, protocol, page_digest)
            if protocol == "page":
                if cached is not None:
                    work.texts[(method, "page")] = cached
                    continue
                key = digest(page)
                if key not in pages_written:
                    pages_written[key] = folder / f"page-{m}.pgm"
                    tesseract.write_pgm(pages_written[key], page)
                groups[(psm, options)].append(((method, "page", None), pages_written[key]))
            else:
                have = work.texts[(method, "box")] = dict(cached or {})
                for i in sampled:
                    if box_key(boxes[i]) not in have:
                        path = folder / f"box-{m}-{i}.pgm"
                        tesseract.write_pgm(path, crop(page, boxes[i]))
                        groups[(psm, options)].append(((method, "box", box_key(boxes[i])), path))
    for (psm, options), items in groups.items():
        for start in range(0, len(items), CHUNK):
            chunk = items[start:start + CHUNK]
            future = pool.submit(tesseract.read, [path for _, path in chunk], psm, options)
            work.pending.append((future, [slot for slot, _ in chunk]))
    return work


def finish(work: ImageWork, args, cache: TextCache) -> dict:
    """Wait for the image's texts, cache them, and score them."""
    read = 0
    for future, slots in work.pending:
        for (method, protocol, key), text in zip(slots, future.result()):
            read += 1
            if protocol == "page":
                work.texts[(method, "page")] = text
            else:
                work.texts[(method, "box")][key] = text
    shutil.rmtree(work.folder)
    for (method, protocol), page_digest in work.digests.items():
        cache.put(work.entry["image"], method, protocol, page_digest, work.texts[(method, protocol)])
    result = {"set": work.entry["set"], "image": work.entry["image"], "size_wh": work.entry.get("size_wh"),
              "zentrel_objects": work.objects, "tesseract_reads": read}
    truths = [work.boxes[i][4] for i in work.scored]
    for protocol in args.protocols:
        result[protocol] = {}
        for method in args.methods:
            text = work.texts[(method, protocol)]
            if protocol == "page":
                missed = sum(scoring.page_misses(text, truths))
                result["page"][method] = {"missed": missed, "boxes": len(truths)}
            else:
                errors = [scoring.box_errors(text[box_key(work.boxes[i])], work.boxes[i][4]) for i in work.sampled]
                result["box"][method] = {"edits": sum(e for e, _ in errors), "chars": sum(c for _, c in errors),
                                         "boxes": len(errors)}
    add_rates(result, args.protocols)
    return result


def add_rates(scores: dict, protocols) -> None:
    """The protocol's score from its counts (None when nothing was scored)."""
    for protocol in protocols:
        for counts in scores[protocol].values():
            if protocol == "page":
                counts["miss_rate"] = counts["missed"] / counts["boxes"] if counts["boxes"] else None
            else:
                counts["cer"] = counts["edits"] / counts["chars"] if counts["chars"] else None


def pooled(images: list, protocols, methods) -> dict:
    """Counts summed over the images (so every box weighs the same), then the rates."""
    out = {}
    for protocol in protocols:
        out[protocol] = {}
        for method in methods:
            counts = defaultdict(int)
            for image in images:
                for k, v in image[protocol][method].items():
                    if k not in ("miss_rate", "cer"):
                        counts[k] += v
            out[protocol][method] = dict(counts)
    add_rates(out, protocols)
    return out


def table(groups: dict, protocol: str, methods) -> str:
    """Sets as rows, methods as columns, the lowest score of each row in bold."""
    rate = "miss_rate" if protocol == "page" else "cer"
    rows = []
    for name, scores in groups.items():
        cells = [None if scores[protocol][m][rate] is None else f"{scores[protocol][m][rate]:.3f}" for m in methods]
        best = min((c for c in cells if c is not None), key=float, default=None)
        boxes = scores[protocol][methods[0]]["boxes"]
        rows.append([name, str(boxes)] + ["-" if c is None else f"**{c}**" if c == best else c for c in cells])
    return markdown_table(["set", "boxes", *methods], rows)


def versions(tesseract_version: str) -> dict:
    from importlib import metadata

    out = {"tesseract": tesseract_version}
    for package in ("zentrel", "numpy", "Pillow", "opencv-python-headless", "doxapy"):
        try:
            out[package] = metadata.version(package)
        except metadata.PackageNotFoundError:
            out[package] = None
    return out


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("manifest", type=Path, help="manifest.json of the OCR data")
    parser.add_argument("--sets", nargs="+", help="sets to run (default: all in the manifest)")
    parser.add_argument("--methods", nargs="+", choices=METHODS, default=list(METHODS))
    parser.add_argument("--protocols", nargs="+", choices=list(PSM), default=list(PSM))
    parser.add_argument("--max-boxes", type=int, metavar="N",
                        help="box protocol: read at most N boxes per image, evenly spread over its scored boxes")
    parser.add_argument("--workers", type=int, default=2, help="Tesseract processes at once (default 2)")
    parser.add_argument("--ocrmypdf", action="store_true",
                        help="each image as a one-page PDF through OCRmyPDF, with and without the zentrel plugin")
    parser.add_argument("--json", type=Path, help=f"default {DEFAULT_JSON} ({PDF_JSON} with --ocrmypdf)")
    parser.add_argument("--cache", type=Path, help=f"default {DEFAULT_CACHE} ({PDF_CACHE} with --ocrmypdf)")
    args = parser.parse_args(argv)
    args.json = args.json or (PDF_JSON if args.ocrmypdf else DEFAULT_JSON)
    args.cache = args.cache or (PDF_CACHE if args.ocrmypdf else DEFAULT_CACHE)
    if args.max_boxes is not None and args.max_boxes < 1:
        parser.error("--max-boxes must be at least 1")
    return args


def main(argv=None) -> int:
    args = parse_args(argv)
    if args.ocrmypdf:
        return run_ocrmypdf(args)
    tesseract_version = tesseract.version()
    if tesseract_version is None:
        print(tesseract.INSTALL_HINT, file=sys.stderr)
        return 2
    libraries = {"cv-": "cv2", "dx-": "doxapy"}  # only what the chosen methods import
    needed = {"PIL"} | {module for prefix, module in libraries.items()
                        if any(m.startswith(prefix) for m in args.methods)}
    ensure_packages({k: v for k, v in PIP_PACKAGES.items() if k in needed})
    manifest, sets = chosen_sets(args)
    if sets is None:
        return 2
    root = args.manifest.resolve().parent
    entries = [e for e in manifest if e["set"] in sets]
    cache = TextCache(args.cache)
    start = time.perf_counter()
    results, queue = [], []
    with tempfile.TemporaryDirectory(prefix="zentrel-ocr-") as tmp, ThreadPoolExecutor(args.workers) as pool:

        def finish_oldest():
            results.append(finish(queue.pop(0), args, cache))
            cache.save()
            r = results[-1]
            print(f"[{len(results)}/{len(entries)}] {r['image']}: {r['tesseract_reads']} read, "
                  f"{time.perf_counter() - start:.0f} s", flush=True)

        for n, entry in enumerate(entries):
            queue.append(prepare(entry, root, args, cache, pool, Path(tmp) / str(n), tesseract_version))
            while len(queue) > BACKLOG:
                finish_oldest()
        while queue:
            finish_oldest()
    seconds = time.perf_counter() - start
    children = resource.getrusage(resource.RUSAGE_CHILDREN)

    groups = {s: pooled([r for r in results if r["set"] == s], args.protocols, args.methods) for s in sets}
    if len(sets) > 1:
        groups["all"] = pooled(results, args.protocols, args.methods)
    tables = {p: table(groups, p, args.methods) for p in args.protocols}
    for protocol in args.protocols:
        print(f"\n{protocol} (--psm {PSM[protocol]}): {SCORE_NAMES[protocol]}, lower is better\n")
        print(tables[protocol])
    reads = sum(r["tesseract_reads"] for r in results)
    print(f"\n{len(results)} images, {reads} Tesseract reads, {seconds:.0f} s "
          f"(Tesseract CPU {children.ru_utime + children.ru_stime:.0f} s)")

    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps({
        "manifest": str(args.manifest), "date": time.strftime("%Y-%m-%d %H:%M:%S"),
        "machine": {"platform": platform.platform(), "python": platform.python_version()},
        "versions": versions(tesseract_version), "methods": args.methods, "protocols": args.protocols,
        "psm": PSM, "pad": PAD, "max_boxes": args.max_boxes, "workers": args.workers,
        "seconds": seconds, "tesseract_reads": reads,
        "tesseract_cpu_seconds": children.ru_utime + children.ru_stime,
        "sets": groups, "tables": tables, "images": results,
    }, indent=1))
    print(f"wrote {args.json}")
    return 0


def run_ocrmypdf(args) -> int:
    from ocrbench import pdf

    manifest, sets = chosen_sets(args)
    if sets is None:
        return 2
    return pdf.run(args, manifest, args.manifest.resolve().parent, sets)


def chosen_sets(args) -> tuple:
    """(the manifest's entries, the sets to run); sets is None, said in one line, for an unknown one."""
    manifest = json.loads(args.manifest.read_text())
    all_sets = list(dict.fromkeys(e["set"] for e in manifest))
    sets = args.sets or all_sets
    unknown = set(sets) - set(all_sets)
    if unknown:
        print(f"unknown sets {', '.join(sorted(unknown))}; the manifest has {', '.join(all_sets)}", file=sys.stderr)
        return manifest, None
    return manifest, sets


if __name__ == "__main__":
    sys.exit(main())
