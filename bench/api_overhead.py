#!/usr/bin/env python3
"""What the zentrel package costs on top of the engine underneath it.

For each size, region size and percent, times (median of --repeats runs,
interleaved) and measures the peak memory (each call alone in a fresh
process) of zentrel_py.AdaptiveThreshold and of zentrel.binarize,
threshold_surface and analyse with preset="classic" (the same analysis)
on the same image. Memory is the growth of the
peak resident size during the call, beyond the caller's image (and, for
AdaptiveThreshold, beyond the caller's int16 output, which is touched
first), in bytes per pixel.

    python3 bench/api_overhead.py                       # 4096², R 8 and 32, percent 50
    python3 bench/api_overhead.py --sizes 1024 --repeats 3

It also times the package's automatic default (all defaults) against the
classic setting at percent 10 on the same images (a generated scene and
tiled scenes of the quality benchmark's families), interleaved.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_helpers import format_table  # noqa: E402

CALLS = ("engine", "binarize", "threshold_surface", "analyse")

# Runs one call in a fresh process forked from a small parent, so the peak
# resident size starts from the image alone.
SNIPPET = r"""
import os, sys, json, resource
pid = os.fork()
if pid:
    sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
import numpy as np, zentrel, zentrel_py
path, call, percent, region_size = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
image = np.load(path)
output = None
if call == "engine":
    output = np.empty(image.shape, dtype=np.int16)
    output.fill(0)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
if call == "engine":
    zentrel_py.AdaptiveThreshold(image, output, percent, region_size)
else:
    result = getattr(zentrel, call)(image, percent=percent, region_size=region_size, preset="classic")
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
sys.stderr.write("ZENTREL_MEMORY " + json.dumps([before, after]) + "\n")
"""


def run_call(call: str, image: np.ndarray, percent: int, region_size: int):
    import zentrel
    import zentrel_py

    if call == "engine":
        output = np.empty(image.shape, dtype=np.int16)
        saved = os.dup(1)
        devnull = os.open(os.devnull, os.O_WRONLY)
        sys.stdout.flush()
        os.dup2(devnull, 1)
        try:
            zentrel_py.AdaptiveThreshold(image, output, percent, region_size)
        finally:
            os.dup2(saved, 1)
            os.close(devnull)
            os.close(saved)
        return output
    return getattr(zentrel, call)(image, percent=percent, region_size=region_size, preset="classic")


def peak_bytes_per_pixel(path: Path, call: str, percent: int, region_size: int, pixels: int) -> float:
    proc = subprocess.run([sys.executable, "-c", SNIPPET, str(path), call, str(percent), str(region_size)],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, check=True)
    line = next(l for l in proc.stderr.splitlines() if l.startswith("ZENTREL_MEMORY "))
    before, after = json.loads(line.split(" ", 1)[1])
    return (after - before) * 1024 / pixels


def default_vs_classic(size: int, repeats: int) -> list[dict]:
    """Median seconds of binarize(image) and binarize(image, preset="classic", percent=10)."""
    import zentrel
    from bench_helpers import tile_to

    sys.path.insert(0, str(Path(__file__).resolve().parent))
    from quality import make_scene

    images = {"uneven_scene": zentrel.uneven_scene((size, size), seed=1, spacing=max(size // 8, 16))[0]}
    for family in ("documents", "objects", "fluorescence", "low_contrast"):
        images[family] = tile_to(make_scene(family, 2000, shape=(1024, 1024))[0], size)
    results = []
    for name, image in images.items():
        runs = {"default": [], "classic_p10": []}
        for _ in range(repeats):
            for key, kwargs in (("default", {}), ("classic_p10", {"preset": "classic", "percent": 10})):
                start = time.perf_counter()
                try:
                    zentrel.binarize(image, **kwargs)
                except zentrel.NoRegionPassedError:
                    pass  # the classic setting finds nothing here; its time still counts
                runs[key].append(time.perf_counter() - start)
        median = {k: statistics.median(v) for k, v in runs.items()}
        results.append({"image": name, "size": size, "seconds": median, "runs": runs,
                        "ratio": median["default"] / median["classic_p10"]})
    return results


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[4096])
    parser.add_argument("--region-sizes", type=int, nargs="+", default=[8, 32])
    parser.add_argument("--percents", type=int, nargs="+", default=[50])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--speed-only", action="store_true",
                        help="only the default against classic percent 10")
    parser.add_argument("--json", type=Path, default=Path(__file__).resolve().parent / "results" / "api_overhead.json")
    args = parser.parse_args(argv)

    import zentrel

    rows, results = [], []
    for size in ([] if args.speed_only else args.sizes):
        image, _ = zentrel.uneven_scene((size, size), seed=1, spacing=max(size // 8, 16))
        with tempfile.TemporaryDirectory() as tmp:
            path = Path(tmp) / "image.npy"
            np.save(path, image)
            for region_size in args.region_sizes:
                for percent in args.percents:
                    times = {call: [] for call in CALLS}
                    for _ in range(args.repeats):
                        for call in CALLS:  # interleaved, so load drifts hit all alike
                            start = time.perf_counter()
                            run_call(call, image, percent, region_size)
                            times[call].append(time.perf_counter() - start)
                    memory = {call: peak_bytes_per_pixel(path, call, percent, region_size, image.size)
                              for call in CALLS}
                    median = {call: statistics.median(t) for call, t in times.items()}
                    results.append({"size": size, "region_size": region_size, "percent": percent,
                                    "seconds": median, "runs": times, "bytes_per_pixel": memory})
                    rows.append([f"{size}²", str(region_size), str(percent)]
                                + [f"{median[c]:.3f} s ({median[c] / median['engine']:.2f}x)" for c in CALLS]
                                + [f"{memory[c]:.1f} ({memory[c] - memory['engine']:+.1f})" for c in CALLS])
                    print(format_table(["size", "R", "%"] + [f"{c} time" for c in CALLS]
                                       + [f"{c} B/px" for c in CALLS], rows[-1:]), flush=True)
    print()
    print(format_table(["size", "R", "%"] + [f"{c} time" for c in CALLS] + [f"{c} B/px" for c in CALLS], rows))
    speed = []
    for size in args.sizes:
        speed += default_vs_classic(size, args.repeats)
    print()
    print(format_table(["image", "size", "default s", "classic p10 s", "default / classic"],
                       [[r["image"], f"{r['size']}²", f"{r['seconds']['default']:.3f}",
                         f"{r['seconds']['classic_p10']:.3f}", f"{r['ratio']:.2f}"] for r in speed]))
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps({"load_average": os.getloadavg(), "results": results,
                                     "default_vs_classic": speed}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
