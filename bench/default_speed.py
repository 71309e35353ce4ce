#!/usr/bin/env python3
"""Speed of the automatic default and the classic setting against peers, with
the default's stages, one thread against two, and peak memory.

    python3 bench/default_speed.py [--size 4096] [--repeats 5] [--threads 2]

On a generated scene (zentrel.uneven_scene, seed 2) in one process, every
call interleaved with the others so that the machine's load falls on all
alike, best of --repeats each:

1. The table: zentrel.binarize with its defaults, the classic setting at
   percent 10 and 50 (region size 32), OpenCV's Gaussian and mean adaptive
   thresholds (block 51, C 0), doxapy's Sauvola and scikit-image's Sauvola
   (window 51, k 0.2, the comparison included) and copying the image once;
   each time and its ratio to OpenCV's Gaussian. Peers run on their own
   default thread counts, zentrel on --threads.
2. The default's stages, timed around the engine's calls and the Python
   steps of zentrel.auto.pipeline (each stage's best over the repeats); the
   image-sized stages (every pass over pixels) together against OpenCV's
   mean; and the Python glue between them as a share of the call. The
   classic setting's stages from Analysis.stage_seconds.
   Then the default, OpenCV's Gaussian and doxapy's Sauvola on a generated
   page of thin strokes (bench/quality's documents, seed 3), where the
   default fits its regions at two sizes.
3. One thread against --threads, for the default and classic 10 and 50.
4. Peak memory of one binarize call beyond its input and output, in a fresh
   interpreter (growth of its peak resident memory, VmHWM; Linux), in bytes
   per pixel: the default and classic 10 on the scene, the default on the
   page.

Installs opencv-python-headless, doxapy and scikit-image when missing.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
import time
from collections import defaultdict
from pathlib import Path

import numpy as np

from bench_helpers import ensure_packages

# The default's steps as zentrel.auto.pipeline names them: (name there, label,
# reads every pixel). Engine calls are wrapped on the pipeline's engine.
PIPELINE_STEPS = (
    ("to_levels", "levels (mapping)", True),
    ("sample_histogram", "level sample (beside the next two)", True),
    ("quiet_variance", "quiet level", False),
    ("choose", "selection (scores and ranking)", False),
    ("fit_smoothing", "fit smoothing", False),
    ("square_variances", "stroke squares", False),
    ("judge_regions", "judgement", False),
    ("settle", "settle (side, grid)", False),
    ("judged_records", "records", False),
)
# In memory the level sample is counted on a thread of its own while the
# quiet level and the selection are taken: its seconds overlap theirs and
# are left out of the glue.
BESIDE = {"sample_histogram"}
ENGINE_STEPS = (
    ("region_grids", "region grids (one pass)", True),
    ("analyse_regions", "region fits", False),
    ("decide", "pixel decision", True),
)


class Timer:
    """Wraps named functions of a module and adds their seconds per call."""

    def __init__(self):
        self.seconds = defaultdict(float)
        self._undo = []

    def wrap(self, owner, name: str, key: str) -> None:
        original = getattr(owner, name)  # a step renamed in the pipeline fails here, not silently
        seconds = self.seconds

        def timed(*args, **kwargs):
            started = time.perf_counter()
            try:
                return original(*args, **kwargs)
            finally:
                seconds[key] += time.perf_counter() - started

        setattr(owner, name, timed)
        self._undo.append((owner, name, original))

    def restore(self) -> None:
        for owner, name, original in reversed(self._undo):
            setattr(owner, name, original)
        self._undo.clear()


class EngineProxy:
    """zentrel.core.engine with some functions replaced (the pipeline reads it by
    attribute, so the engine's own module stays untouched)."""

    def __init__(self, engine):
        self._engine = engine

    def __getattr__(self, name):
        return getattr(self._engine, name)


def timed_default(image, threads: int) -> dict:
    """One default binarize with the seconds of each step, 'total' and 'glue'
    (the call less every timed step)."""
    import zentrel
    from zentrel.auto import pipeline

    timer = Timer()
    engine = pipeline.engine
    pipeline.engine = EngineProxy(engine)
    try:
        for name, _, _ in PIPELINE_STEPS:
            timer.wrap(pipeline, name, name)
        for name, _, _ in ENGINE_STEPS:
            timer.wrap(pipeline.engine, name, name)
        started = time.perf_counter()
        zentrel.binarize(image, threads=threads)
        total = time.perf_counter() - started
    finally:
        timer.restore()
        pipeline.engine = engine
    steps = dict(timer.seconds)
    # square_variances runs inside fits, not inside analyse_regions: no overlap.
    steps["glue"] = total - sum(seconds for name, seconds in steps.items() if name not in BESIDE)
    steps["total"] = total
    return steps


def best_of(calls: dict, repeats: int) -> dict:
    best = dict.fromkeys(calls, float("inf"))
    for _ in range(repeats):
        for name, call in calls.items():
            started = time.perf_counter()
            call()
            best[name] = min(best[name], time.perf_counter() - started)
    return best


# VmHWM, the peak of this process's own memory: ru_maxrss would carry the
# parent's peak over into the child.
MEMORY_SNIPPET = r"""
import json, sys
import numpy as np
import zentrel
def peak():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
kwargs = json.loads(sys.argv[2])
side = int(sys.argv[3])
image = np.empty((side, side), np.uint8)
with open(sys.argv[1], "rb", buffering=0) as file:  # straight into the array: no second copy
    file.readinto(memoryview(image).cast("B"))
zentrel.binarize(image[:256, :256], **kwargs)   # modules and threads loaded
before = peak()
out = zentrel.binarize(image, **kwargs)
after = peak()
print(json.dumps({"grown": (after - before) * 1024, "output": out.nbytes}))
"""


def peak_memory(path: Path, pixels: int, **kwargs) -> float:
    """Bytes per pixel one binarize call takes beyond its input and output."""
    side = int(round(pixels ** 0.5))
    done = subprocess.run([sys.executable, "-c", MEMORY_SNIPPET, str(path), json.dumps(kwargs), str(side)],
                          capture_output=True, text=True, check=True)
    m = json.loads(done.stdout.strip().splitlines()[-1])
    return (m["grown"] - m["output"]) / pixels


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--threads", type=int, default=2, help="zentrel's threads (against 1)")
    args = parser.parse_args()
    ensure_packages({"cv2": "opencv-python-headless", "doxapy": "doxapy", "skimage": "scikit-image"})
    import cv2
    import doxapy
    import skimage.filters
    import zentrel

    image, _ = zentrel.uneven_scene((args.size, args.size), seed=2)
    target = np.empty_like(image)
    t = args.threads

    def classic(percent, threads):
        return lambda: zentrel.binarize(image, preset="classic", percent=percent, threads=threads)

    def doxa_sauvola(picture=image):
        out = np.empty_like(picture)
        sauvola = doxapy.Binarization(doxapy.Binarization.Algorithms.SAUVOLA)
        sauvola.initialize(picture)
        sauvola.to_binary(out, {"window": 51, "k": 0.2})

    calls = {
        "zentrel.binarize (default)": lambda: zentrel.binarize(image, threads=t),
        "classic, percent 10, R 32": classic(10, t),
        "classic, percent 50, R 32": classic(50, t),
        "OpenCV Gaussian adaptive (51)": lambda: cv2.adaptiveThreshold(
            image, 255, cv2.ADAPTIVE_THRESH_GAUSSIAN_C, cv2.THRESH_BINARY, 51, 0),
        "OpenCV mean adaptive (51)": lambda: cv2.adaptiveThreshold(
            image, 255, cv2.ADAPTIVE_THRESH_MEAN_C, cv2.THRESH_BINARY, 51, 0),
        "doxapy Sauvola (51)": doxa_sauvola,
        "scikit-image Sauvola (51)": lambda: image > skimage.filters.threshold_sauvola(
            image, window_size=51, k=0.2),
        "copying the image once (np.copyto)": lambda: np.copyto(target, image),
    }
    # A page of thin strokes: the default fits its regions at two scales.
    from quality import make_scene

    page = make_scene("documents", 3, (args.size, args.size))[0]
    page_calls = {
        "zentrel.binarize (default)": lambda: zentrel.binarize(page, threads=t),
        "OpenCV Gaussian adaptive (51)": lambda: cv2.adaptiveThreshold(
            page, 255, cv2.ADAPTIVE_THRESH_GAUSSIAN_C, cv2.THRESH_BINARY, 51, 0),
        "doxapy Sauvola (51)": lambda: doxa_sauvola(page),
    }
    one_thread = {
        "default, 1 thread": lambda: zentrel.binarize(image, threads=1),
        "classic 10, 1 thread": classic(10, 1),
        "classic 50, 1 thread": classic(50, 1),
    }
    stage_runs = []
    classic_stages = {10: [], 50: []}

    def staged():
        stage_runs.append(timed_default(image, t))
        for percent, runs in classic_stages.items():
            runs.append(zentrel.analyse(image, preset="classic", percent=percent, threads=t).stage_seconds)

    for call in calls.values():  # warm-up: caches, pages, thread stacks
        call()
    pages = {f"page: {name}": call for name, call in page_calls.items()}
    best = best_of({**calls, **one_thread, **pages, "stages": staged}, args.repeats)
    base = best["OpenCV Gaussian adaptive (51)"]
    mean = best["OpenCV mean adaptive (51)"]
    print(f"{args.size}² uneven_scene seed 2, one process, best of {args.repeats}, "
          f"zentrel on {t} threads (peers on their defaults)\n")
    print("| call | ms | × OpenCV Gaussian (51) |\n|---|---:|---:|")
    for name in calls:
        print(f"| {name} | {best[name] * 1e3:.1f} | {best[name] / base:.2f} |")

    page_base = best["page: OpenCV Gaussian adaptive (51)"]
    print(f"\nA generated page ({args.size}², bench/quality documents seed 3, thin strokes: the "
          "default fits them at two region sizes), same run:\n")
    print("| call | ms | × OpenCV Gaussian (51) on the page |\n|---|---:|---:|")
    for name in page_calls:
        print(f"| {name} | {best['page: ' + name] * 1e3:.1f} | {best['page: ' + name] / page_base:.2f} |")

    stage = {key: min(run.get(key, 0.0) for run in stage_runs) for run in stage_runs for key in run}
    labels = [*PIPELINE_STEPS, *ENGINE_STEPS]
    print(f"\nThe default's stages ({t} threads, each its best over the repeats; "
          "* reads every pixel):\n")
    print("| stage | ms | share of the call |\n|---|---:|---:|")
    image_sized = 0.0
    for name, label, every_pixel in sorted(labels, key=lambda s: -stage.get(s[0], 0.0)):
        if stage.get(name, 0.0) <= 0.0:
            continue
        image_sized += stage[name] if every_pixel else 0.0
        print(f"| {label}{' *' if every_pixel else ''} | {stage[name] * 1e3:.1f} | "
              f"{stage[name] / stage['total']:.1%} |")
    print(f"| Python glue between the steps | {stage['glue'] * 1e3:.1f} | {stage['glue'] / stage['total']:.1%} |")
    print(f"| the whole call | {stage['total'] * 1e3:.1f} | |")
    print(f"\nImage-sized stages together: {image_sized * 1e3:.1f} ms = "
          f"{image_sized / mean:.2f} × OpenCV mean adaptive (51).")

    print("\nThe classic setting's stages (Analysis.stage_seconds, best over the repeats, ms):\n")
    names = list(classic_stages[10][0])
    print("| percent | " + " | ".join(names) + " |\n|---|" + "---:|" * len(names))
    for percent, runs in classic_stages.items():
        print(f"| {percent} | " + " | ".join(f"{min(r[n] for r in runs) * 1e3:.1f}" for n in names) + " |")

    print(f"\nOne thread against {t}:\n")
    print(f"| call | 1 thread ms | {t} threads ms | speed-up |\n|---|---:|---:|---:|")
    for one, many in (("default, 1 thread", "zentrel.binarize (default)"),
                      ("classic 10, 1 thread", "classic, percent 10, R 32"),
                      ("classic 50, 1 thread", "classic, percent 50, R 32")):
        print(f"| {one.split(',')[0]} | {best[one] * 1e3:.1f} | {best[many] * 1e3:.1f} | "
              f"{best[one] / best[many]:.2f} |")

    with tempfile.TemporaryDirectory() as scratch:
        path, page_path = Path(scratch) / "image.raw", Path(scratch) / "page.raw"
        image.tofile(path)
        page.tofile(page_path)
        print("\nPeak memory of one binarize call beyond its input and output (fresh interpreter):\n")
        print("| call | bytes per pixel |\n|---|---:|")
        for label, where, kwargs in (("default", path, {}),
                                     ("classic, percent 10", path, {"preset": "classic", "percent": 10}),
                                     ("default, the generated page (two scales, faint marks)", page_path, {})):
            print(f"| {label} | {peak_memory(where, image.size, threads=t, **kwargs):.2f} |")


if __name__ == "__main__":
    main()
