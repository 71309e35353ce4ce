#!/usr/bin/env python3
"""Speed of the automatic default and the classic setting against peers, with
the default's stages, one thread against two, and peak memory.

    python3 bench/default_speed.py [--size 4096] [--repeats 5] [--threads 2]
        [--manifest /work/shared/realdata/manifest.json] [--page hdibco2012/hdibco2012_H10_img.png]

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
   Then the default, OpenCV's Gaussian and doxapy's Sauvola on two pages
   of thin strokes, where the default fits its regions at two sizes: a
   generated one (bench/quality's documents, seed 3) and a real one (the
   manifest's --page, as bench/quality reads it, mirrored tile by tile to
   the size; skipped when the manifest is missing), with the default's
   stages on each.
3. One thread against --threads, for the default on the scene and both
   pages and for classic 10 and 50 on the scene: the median over
   --ratio-runs runs of the ratio of the two best-of---repeats times.
4. Peak memory of one binarize call beyond its input and output, in a fresh
   interpreter (growth of its peak resident memory, VmHWM; Linux), in bytes
   per pixel: the default and classic 10 on the scene, the default on the
   pages, and on the generated page as 16-bit values (times 257).

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
image = np.empty((side, side), sys.argv[4])
with open(sys.argv[1], "rb", buffering=0) as file:  # straight into the array: no second copy
    file.readinto(memoryview(image).cast("B"))
zentrel.binarize(image[:256, :256], **kwargs)   # modules and threads loaded
before = peak()
out = zentrel.binarize(image, **kwargs)
after = peak()
print(json.dumps({"grown": (after - before) * 1024, "output": out.nbytes}))
"""


def peak_memory(path: Path, pixels: int, dtype="uint8", **kwargs) -> float:
    """Bytes per pixel one binarize call takes beyond its input and output."""
    side = int(round(pixels ** 0.5))
    done = subprocess.run([sys.executable, "-c", MEMORY_SNIPPET, str(path), json.dumps(kwargs), str(side), dtype],
                          capture_output=True, text=True, check=True)
    m = json.loads(done.stdout.strip().splitlines()[-1])
    return (m["grown"] - m["output"]) / pixels


def thread_ratios(one, many, runs: int, repeats: int) -> tuple:
    """(median ms on one thread, median ms on many, median ratio) over runs,
    each run the best of repeats of either call, interleaved."""
    done = []
    for _ in range(runs):
        best = best_of({"one": one, "many": many}, repeats)
        done.append((best["one"], best["many"], best["one"] / best["many"]))
    return tuple(float(np.median([d[k] for d in done])) for k in range(3))


def mirrored_page(manifest: Path, name: str, size: int):
    """The manifest's picture `name` (as bench/quality reads it: colour to
    BT.601 luma) mirrored tile by tile over size x size, or None when the
    manifest is missing. Read where it lies: never copied."""
    if not manifest.exists():
        return None
    from quality.realdata import load_manifest, load_picture

    entry = next((e for e in load_manifest(manifest) if e["name"] == name), None)
    if entry is None:
        raise SystemExit(f"{name}: not in {manifest}")
    tile = load_picture(entry).peer_image
    reps = (-(-size // tile.shape[0]), -(-size // tile.shape[1]))
    rows = [[tile[::-1 if i % 2 else 1, ::-1 if j % 2 else 1] for j in range(reps[1])] for i in range(reps[0])]
    return np.ascontiguousarray(np.block(rows)[:size, :size])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--threads", type=int, default=2, help="zentrel's threads (against 1)")
    parser.add_argument("--ratio-runs", type=int, default=5, help="runs of one thread against --threads")
    parser.add_argument("--manifest", type=Path, default=Path("/work/shared/realdata/manifest.json"))
    parser.add_argument("--page", default="hdibco2012/hdibco2012_H10_img.png", help="the real page, by its name there")
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
    # Pages of thin strokes: the default fits their regions at two scales.
    from quality import make_scene

    pictures = {"scene": image, "generated page": make_scene("documents", 3, (args.size, args.size))[0]}
    real = mirrored_page(args.manifest, args.page, args.size)
    if real is not None:
        pictures[f"real page ({args.page}, mirrored)"] = real
    page_names = [name for name in pictures if name != "scene"]
    page_calls = {}
    for name in page_names:
        picture = pictures[name]
        page_calls[f"{name}: zentrel.binarize (default)"] = lambda p=picture: zentrel.binarize(p, threads=t)
        page_calls[f"{name}: OpenCV Gaussian adaptive (51)"] = lambda p=picture: cv2.adaptiveThreshold(
            p, 255, cv2.ADAPTIVE_THRESH_GAUSSIAN_C, cv2.THRESH_BINARY, 51, 0)
        page_calls[f"{name}: doxapy Sauvola (51)"] = lambda p=picture: doxa_sauvola(p)
    stage_runs = {name: [] for name in pictures}
    classic_stages = {10: [], 50: []}

    def staged():
        for name, picture in pictures.items():
            stage_runs[name].append(timed_default(picture, t))
        for percent, runs in classic_stages.items():
            runs.append(zentrel.analyse(image, preset="classic", percent=percent, threads=t).stage_seconds)

    for call in calls.values():  # warm-up: caches, pages, thread stacks
        call()
    best = best_of({**calls, **page_calls, "stages": staged}, args.repeats)
    base = best["OpenCV Gaussian adaptive (51)"]
    mean = best["OpenCV mean adaptive (51)"]
    print(f"{args.size}² uneven_scene seed 2, one process, best of {args.repeats}, "
          f"zentrel on {t} threads (peers on their defaults)\n")
    print("| call | ms | × OpenCV Gaussian (51) |\n|---|---:|---:|")
    for name in calls:
        print(f"| {name} | {best[name] * 1e3:.1f} | {best[name] / base:.2f} |")

    for name in page_names:
        page_base = best[f"{name}: OpenCV Gaussian adaptive (51)"]
        print(f"\nThe {name} ({args.size}², thin strokes: the default fits them at two region sizes), "
              "same run:\n")
        print("| call | ms | × OpenCV Gaussian (51) on the page |\n|---|---:|---:|")
        for call in ("zentrel.binarize (default)", "OpenCV Gaussian adaptive (51)", "doxapy Sauvola (51)"):
            ms = best[f"{name}: {call}"]
            print(f"| {call} | {ms * 1e3:.1f} | {ms / page_base:.2f} |")

    stages = {name: {key: min(run.get(key, 0.0) for run in runs) for run in runs for key in run}
              for name, runs in stage_runs.items()}
    labels = [*PIPELINE_STEPS, *ENGINE_STEPS]
    print(f"\nThe default's stages ({t} threads, each its best over the repeats, ms; * reads every pixel; "
          "on the pages both region sizes' calls together):\n")
    print("| stage | " + " | ".join(pictures) + " |\n|---|" + "---:|" * len(pictures))
    for name, label, every_pixel in sorted(labels, key=lambda s: -stages["scene"].get(s[0], 0.0)):
        if all(stage.get(name, 0.0) <= 0.0 for stage in stages.values()):
            continue
        print(f"| {label}{' *' if every_pixel else ''} | "
              + " | ".join(f"{stage.get(name, 0.0) * 1e3:.1f}" for stage in stages.values()) + " |")
    print("| Python glue between the steps | " + " | ".join(f"{stage['glue'] * 1e3:.1f}" for stage in stages.values())
          + " |")
    print("| the whole call | " + " | ".join(f"{stage['total'] * 1e3:.1f}" for stage in stages.values()) + " |")
    stage = stages["scene"]
    image_sized = sum(stage.get(name, 0.0) for name, _, every_pixel in labels if every_pixel)
    print(f"\nOn the scene the image-sized stages together take {image_sized * 1e3:.1f} ms = "
          f"{image_sized / mean:.2f} × OpenCV mean adaptive (51); the glue is "
          f"{stage['glue'] / stage['total']:.1%} of the call.")

    print("\nThe classic setting's stages (Analysis.stage_seconds, best over the repeats, ms):\n")
    names = list(classic_stages[10][0])
    print("| percent | " + " | ".join(names) + " |\n|---|" + "---:|" * len(names))
    for percent, runs in classic_stages.items():
        print(f"| {percent} | " + " | ".join(f"{min(r[n] for r in runs) * 1e3:.1f}" for n in names) + " |")

    print(f"\nOne thread against {t} (median over {args.ratio_runs} runs, each the best of {args.repeats}):\n")
    print(f"| call | 1 thread ms | {t} threads ms | speed-up |\n|---|---:|---:|---:|")
    ratio_calls = [(f"default, {name}", lambda p=picture: zentrel.binarize(p, threads=1),
                    lambda p=picture: zentrel.binarize(p, threads=t)) for name, picture in pictures.items()]
    ratio_calls += [(f"classic {percent}, scene", classic(percent, 1), classic(percent, t)) for percent in (10, 50)]
    for label, one, many in ratio_calls:
        one_ms, many_ms, ratio = thread_ratios(one, many, args.ratio_runs, args.repeats)
        print(f"| {label} | {one_ms * 1e3:.1f} | {many_ms * 1e3:.1f} | {ratio:.2f} |")

    with tempfile.TemporaryDirectory() as scratch:
        print("\nPeak memory of one binarize call beyond its input and output (fresh interpreter):\n")
        print("| call | bytes per pixel |\n|---|---:|")
        rows = [("default, scene", image, {}), ("classic, percent 10, scene", image, {"preset": "classic", "percent": 10})]
        rows += [(f"default, {name}", pictures[name], {}) for name in page_names]
        wide = pictures["generated page"].astype(np.uint16) * np.uint16(257)
        rows.append(("default, the generated page as 16-bit values", wide, {}))
        for k, (label, picture, kwargs) in enumerate(rows):
            path = Path(scratch) / f"{k}.raw"
            picture.tofile(path)
            print(f"| {label} | {peak_memory(path, picture.size, picture.dtype.name, threads=t, **kwargs):.2f} |")


if __name__ == "__main__":
    main()
