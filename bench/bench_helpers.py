"""Pure helpers of the benchmarks: scores, tiling, memory arithmetic and tables.

Kept apart from the scripts so that tests import them as a plain module.
"""

from __future__ import annotations

import importlib
import math
import subprocess
import sys

import numpy as np
from zentrel.core import engine

STAGES = engine.STAGE_NAMES

PEER_METHODS = ("cv_gauss", "cv_mean", "sauvola", "local")
METHODS = ("ours",) + PEER_METHODS
SHORT = {"ours": "ours", "cv_gauss": "cv-gauss", "cv_mean": "cv-mean", "sauvola": "sauvola", "local": "local"}
STAGE_SHORT = ("varmap", "select", "regions", "grid", "pixels")


def repeats_for(size: int, requested: int | None) -> int:
    """Runs per timing: as requested, else 5 (3 from 4096² up, where runs are long)."""
    if requested is not None:
        return requested
    return 3 if size >= 4096 else 5


def tile_to(image: np.ndarray, size: int) -> np.ndarray:
    """Repeat a picture in both directions and crop it to size x size."""
    reps = (math.ceil(size / image.shape[0]), math.ceil(size / image.shape[1]))
    return np.ascontiguousarray(np.tile(image, reps)[:size, :size])


def quality(predicted_object: np.ndarray, truth: np.ndarray) -> dict:
    """Fraction of pixels right and the object class's precision, recall and F-measure."""
    predicted_object = np.asarray(predicted_object, dtype=bool)
    truth = np.asarray(truth, dtype=bool)
    if predicted_object.shape != truth.shape:
        raise ValueError(f"shapes differ: {predicted_object.shape} vs {truth.shape}")
    tp = int(np.count_nonzero(predicted_object & truth))
    fp = int(np.count_nonzero(predicted_object & ~truth))
    fn = int(np.count_nonzero(~predicted_object & truth))
    total = truth.size
    precision = tp / (tp + fp) if tp + fp else 0.0
    recall = tp / (tp + fn) if tp + fn else 0.0
    f = 2 * precision * recall / (precision + recall) if precision + recall else 0.0
    return {
        "accuracy": (total - fp - fn) / total if total else 0.0,
        "precision": precision,
        "recall": recall,
        "f_measure": f,
    }


def ratio(ours: float | None, peer: float | None) -> float | None:
    """Our time over the peer's (below 1: we are faster); None when either is missing."""
    if ours is None or peer is None or peer <= 0:
        return None
    return ours / peer


def rss_delta_bytes_per_pixel(before_kib: int, after_kib: int, pixels: int) -> float:
    """Growth of peak resident memory (Linux ru_maxrss is in KiB) per image pixel."""
    return (after_kib - before_kib) * 1024.0 / pixels


def fmt(value, kind: str = "s") -> str:
    """One table cell: seconds, milliseconds, a ratio, a fraction, or '-' when missing."""
    if value is None:
        return "-"
    if isinstance(value, str):
        return value
    if kind == "s":
        return f"{value:.4f}" if value < 1 else f"{value:.3f}"
    if kind == "ms":
        return f"{value * 1000:.1f}"
    if kind == "x":
        return f"{value:.2f}"
    if kind == "frac":
        return f"{value:.3f}"
    if kind == "int":
        return str(int(value))
    if kind == "f1":
        return f"{value:.1f}"
    raise ValueError(f"unknown cell kind {kind!r}")


def format_table(headers: list[str], rows: list[list[str]]) -> str:
    """Columns padded to their widest cell; text columns left, the rest right aligned."""
    widths = [len(h) for h in headers]
    for row in rows:
        if len(row) != len(headers):
            raise ValueError(f"row has {len(row)} cells, headers {len(headers)}")
        widths = [max(w, len(c)) for w, c in zip(widths, row)]
    # A column is text when any of its cells does not read as a number or '-'.
    def numeric(cell: str) -> bool:
        if cell == "-":
            return True
        try:
            float(cell.split("/")[0])
            return True
        except ValueError:
            return False

    left = [not all(numeric(r[i]) for r in rows) if rows else True for i in range(len(headers))]
    def line(cells):
        return "  ".join(c.ljust(w) if l else c.rjust(w) for c, w, l in zip(cells, widths, left)).rstrip()

    out = [line(headers), line(["-" * w for w in widths])]
    out += [line(r) for r in rows]
    return "\n".join(out)


def markdown_table(headers: list[str], rows: list[list[str]]) -> str:
    """A markdown table, columns of numbers (bold or not) right aligned."""
    for row in rows:
        if len(row) != len(headers):
            raise ValueError(f"row has {len(row)} cells, headers {len(headers)}")

    def numeric(column: int) -> bool:
        return all(r[column] == "-" or r[column].strip("*").replace(".", "", 1).lstrip("-").isdigit()
                   for r in rows)

    align = ["---:" if rows and numeric(i) else "---" for i in range(len(headers))]
    out = ["| " + " | ".join(headers) + " |", "|" + "|".join(align) + "|"]
    out += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(out)


def timing_rows(cases: list[dict]) -> tuple[list[str], list[list[str]]]:
    headers = ["image", "size", "pct", "R", "ok"]
    headers += [f"{SHORT[m]} s" for m in METHODS]
    headers += [f"/{SHORT[m]}" for m in PEER_METHODS]
    rows = []
    for c in cases:
        row = [c["image"], str(c["size"]), str(c["percent"]), str(c["region_size"]),
               "yes" if c["ours_passed"] else "NO"]
        row += [fmt(c["seconds"].get(m)) for m in METHODS]
        row += [fmt(c["ratios"].get(m), "x") for m in PEER_METHODS]
        rows.append(row)
    return headers, rows


def detail_rows(cases: list[dict]) -> tuple[list[str], list[list[str]]]:
    headers = ["image", "size", "pct", "R"]
    headers += [f"{s} ms" for s in STAGE_SHORT]
    headers += ["reg 1thr ms", "reg all ms", "speedup", "mem B/px"]
    headers += [f"{SHORT[m]} acc/F" for m in METHODS]
    rows = []
    for c in cases:
        stages = c.get("stage_seconds") or {}
        ra = c.get("region_analysis") or {}
        mem = c.get("memory") or {}
        q = c.get("quality") or {}
        row = [c["image"], str(c["size"]), str(c["percent"]), str(c["region_size"])]
        row += [fmt(stages.get(s), "ms") for s in STAGES]
        row += [fmt(ra.get("one_thread_seconds"), "ms"), fmt(ra.get("all_threads_seconds"), "ms"),
                fmt(ra.get("speedup"), "x"), fmt(mem.get("bytes_per_pixel"), "f1")]
        for m in METHODS:
            mq = q.get(m)
            row.append(f"{mq['accuracy']:.3f}/{mq['f_measure']:.3f}" if mq else "-")
        rows.append(row)
    return headers, rows


def ensure_packages(packages: dict) -> None:
    """pip-install the packages ({import name: pip name}) that are not importable."""
    missing = []
    for module, package in packages.items():
        try:
            importlib.import_module(module)
        except ImportError:
            missing.append(package)
    if missing:
        print(f"installing {' '.join(missing)}", flush=True)
        subprocess.check_call([sys.executable, "-m", "pip", "install", "--quiet", *missing])
        importlib.invalidate_caches()
