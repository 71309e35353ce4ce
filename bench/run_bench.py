#!/usr/bin/env python3
"""Benchmark zentrel's AdaptiveThreshold against OpenCV and scikit-image.

Times every method on the same images in the same run, times our own stages,
compares region analysis on one thread and on all, measures our peak memory
in a fresh process and, on generated scenes whose objects are known, scores
each method's result. Prints tables and writes everything to JSON.

    python3 bench/run_bench.py            # 1024², 2048², 4096²
    python3 bench/run_bench.py --quick    # 1024² only, 3 repeats
"""

from __future__ import annotations

import argparse
import ctypes
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from contextlib import contextmanager
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
DEFAULT_JSON = HERE / "results" / "latest.json"

# Import name -> pip package, for peers installed on demand.
PEERS = {"cv2": "opencv-python-headless", "skimage": "scikit-image"}
PICTURES = ("moon", "coins", "camera")
SCENE = "scene"
DEFAULT_SIZES = (1024, 2048, 4096)
PERCENTS = (10, 50)
REGION_SIZES = (32, 64)
SCENE_SEED = 1


from bench_helpers import (  # noqa: E402  (the script's own folder is on sys.path)
    METHODS,
    PEER_METHODS,
    SHORT,
    STAGE_SHORT,
    STAGES,
    detail_rows,
    ensure_packages,
    fmt,
    format_table,
    quality,
    ratio,
    repeats_for,
    rss_delta_bytes_per_pixel,
    tile_to,
    timing_rows,
)


# ------------------------------------------------------------------- runtime

def ensure_peers() -> None:
    """Install OpenCV and scikit-image from pip when they are not importable."""
    ensure_packages(PEERS)


_libc = ctypes.CDLL(None)


@contextmanager
def quiet_stdout():
    """Send fd 1 to /dev/null: the engine prints through C stdio, not sys.stdout."""
    sys.stdout.flush()
    _libc.fflush(None)
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        yield
    finally:
        _libc.fflush(None)
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


def time_runs(fn, repeats: int) -> tuple[list[float], object]:
    """Wall-clock seconds of each of `repeats` calls, and the last call's result."""
    times, result = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return times, result


def peer_functions(image: np.ndarray, region_size: int) -> dict:
    """Each peer as a call returning True where it says background (bright)."""
    import cv2
    from skimage.filters import threshold_local, threshold_sauvola

    block = region_size + 1  # odd, as all four require

    def cv_gauss():
        return cv2.adaptiveThreshold(image, 255, cv2.ADAPTIVE_THRESH_GAUSSIAN_C,
                                     cv2.THRESH_BINARY, block, 0) != 0

    def cv_mean():
        return cv2.adaptiveThreshold(image, 255, cv2.ADAPTIVE_THRESH_MEAN_C,
                                     cv2.THRESH_BINARY, block, 0) != 0

    def sauvola():
        return image > threshold_sauvola(image, window_size=block)

    def local():
        return image > threshold_local(image, block_size=block)

    return {"cv_gauss": cv_gauss, "cv_mean": cv_mean, "sauvola": sauvola, "local": local}


# A process keeps the peak memory of whatever it exec'd from (our big parent);
# a process forked from the small fresh interpreter starts its count anew.
MEMORY_SNIPPET = r"""
import json, os, resource, sys
pid = os.fork()
if pid:
    sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
import numpy as np
import zentrel_py
path, percent, region_size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
image = np.load(path)
output = np.empty(image.shape, dtype=np.int16)
output.fill(0)  # touch every page so the output counts before the call
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
passed = zentrel_py.AdaptiveThreshold(image, output, percent, region_size)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
sys.stderr.write("ZENTREL_MEMORY " + json.dumps(
    {"before_kib": before, "after_kib": after, "passed": bool(passed)}) + "\n")
"""


def measure_memory(image_path: Path, pixels: int, percent: int, region_size: int) -> dict:
    """Peak memory of one AdaptiveThreshold call in a fresh interpreter."""
    proc = subprocess.run(
        [sys.executable, "-c", MEMORY_SNIPPET, str(image_path), str(percent), str(region_size)],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, check=False,
    )
    for line in proc.stderr.splitlines():
        if line.startswith("ZENTREL_MEMORY "):
            m = json.loads(line[len("ZENTREL_MEMORY "):])
            m["delta_bytes"] = (m["after_kib"] - m["before_kib"]) * 1024
            m["bytes_per_pixel"] = rss_delta_bytes_per_pixel(m["before_kib"], m["after_kib"], pixels)
            return m
    return {"error": f"exit {proc.returncode}: {proc.stderr.strip()[-500:]}"}


def load_images(names: list[str], size: int, skipped: list) -> list[tuple[str, np.ndarray, np.ndarray | None]]:
    """(name, uint8 image, object mask or None) for each requested image at this size."""
    import zentrel

    images = []
    for name in names:
        if name == SCENE:
            image, mask = zentrel.uneven_scene((size, size), seed=SCENE_SEED, spacing=size // 8)
            images.append((name, np.ascontiguousarray(image), mask))
            continue
        try:
            from skimage import data

            picture = np.asarray(getattr(data, name)())
        except Exception as exc:  # a picture that needs a download: skip it
            if not any(s["image"] == name for s in skipped):
                skipped.append({"image": name, "reason": f"{type(exc).__name__}: {exc}"})
                print(f"skipping {name}: {exc}", flush=True)
            continue
        if picture.ndim != 2 or picture.dtype != np.uint8:
            skipped.append({"image": name, "reason": f"not a 2-D uint8 picture ({picture.dtype}, {picture.shape})"})
            continue
        images.append((name, tile_to(picture, size), None))
    return images


def warm_up() -> None:
    """One small call of every method so first-call set-up is not timed."""
    import zentrel
    import zentrel_py

    image, _ = zentrel.uneven_scene((128, 128), seed=0, spacing=32)
    out = np.zeros(image.shape, dtype=np.int16)
    with quiet_stdout():
        zentrel_py.AdaptiveThreshold(image, out, 50, 32)
    zentrel.analyse(image, percent=50, region_size=32)
    for fn in peer_functions(image, 32).values():
        fn()


def bench_case(name, image, mask, percent, region_size, repeats, peer_cache, image_path) -> dict:
    import zentrel
    import zentrel_py

    size = image.shape[0]
    case = {"image": name, "size": size, "percent": percent, "region_size": region_size,
            "repeats": repeats}

    output = np.zeros(image.shape, dtype=np.int16)
    with quiet_stdout():
        times, passed = time_runs(
            lambda: zentrel_py.AdaptiveThreshold(image, output, percent, region_size), repeats)
    case["ours_passed"] = bool(passed)
    run_times = {"ours": times}
    background = {"ours": output == 255 if passed else None}

    # Peers do not depend on percent: time them once per image, size and R.
    key = (name, size, region_size)
    if key not in peer_cache:
        peer_times, peer_background = {}, {}
        for method, fn in peer_functions(image, region_size).items():
            peer_times[method], peer_background[method] = time_runs(fn, repeats)
        peer_cache.clear()  # keep only the current key's masks in memory
        peer_cache[key] = (peer_times, peer_background)
        case["peer_times_shared"] = False
    else:
        case["peer_times_shared"] = True
    peer_times, peer_background = peer_cache[key]
    run_times.update(peer_times)
    background.update(peer_background)

    case["run_seconds"] = run_times
    case["seconds"] = {m: statistics.median(t) for m, t in run_times.items()}
    case["ratios"] = {m: ratio(case["seconds"]["ours"], case["seconds"][m]) for m in PEER_METHODS}

    # Stage times from one all-thread analysis; region analysis also on one thread.
    count = max(1, min(3, repeats))
    all_threads = [zentrel.analyse(image, percent=percent, region_size=region_size, threads=None)
                   for _ in range(count)]
    one_thread = [zentrel.analyse(image, percent=percent, region_size=region_size, threads=1)
                  for _ in range(count)]
    first = all_threads[0]
    case["stage_seconds"] = dict(first.stage_seconds)
    case["selected_regions"] = first.selected_count
    case["passed_regions"] = first.valid_count
    one = statistics.median(a.stage_seconds["region_analysis"] for a in one_thread)
    every = statistics.median(a.stage_seconds["region_analysis"] for a in all_threads)
    case["region_analysis"] = {"one_thread_seconds": one, "all_threads_seconds": every,
                               "speedup": one / every if every > 0 else None, "runs": count}

    case["memory"] = measure_memory(image_path, image.size, percent, region_size)

    if mask is not None:
        case["quality"] = {m: (quality(~bg, mask) if bg is not None else None)
                           for m, bg in background.items()}
    return case


def machine_info() -> dict:
    import cv2
    import skimage

    info = {
        "python": sys.version.split()[0],
        "platform": platform.platform(),
        "cpu_count": os.cpu_count(),
        "numpy": np.__version__,
        "opencv": cv2.__version__,
        "opencv_threads": cv2.getNumThreads(),
        "scikit_image": skimage.__version__,
        "ZENTREL_THREADS": os.environ.get("ZENTREL_THREADS"),
        # Other work on the machine skews timings, threading most of all.
        "load_average_at_start": list(os.getloadavg()),
    }
    try:
        from importlib.metadata import version

        info["zentrel"] = version("zentrel")
    except Exception:
        info["zentrel"] = None
    return info


def write_json(path: Path, payload: dict) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(path.suffix + ".tmp")
    tmp.write_text(json.dumps(payload, indent=1))
    tmp.replace(path)


def parse_args(argv=None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="1024² only, 3 repeats")
    p.add_argument("--sizes", type=int, nargs="+", help="image sides (default 1024 2048 4096)")
    p.add_argument("--repeats", type=int, help="runs per timing (default 5; 3 from 4096²)")
    p.add_argument("--images", nargs="+", choices=(SCENE,) + PICTURES, help="images to use (default all)")
    p.add_argument("--percents", type=int, nargs="+", default=list(PERCENTS), help="default 10 50")
    p.add_argument("--region-sizes", type=int, nargs="+", default=list(REGION_SIZES), help="default 32 64")
    p.add_argument("--json", type=Path, default=DEFAULT_JSON, help=f"default {DEFAULT_JSON.relative_to(HERE.parent)}")
    args = p.parse_args(argv)
    if args.sizes is None:
        args.sizes = [1024] if args.quick else list(DEFAULT_SIZES)
    if args.repeats is None and args.quick:
        args.repeats = 3
    if args.repeats is not None and args.repeats < 1:
        p.error("--repeats must be at least 1")
    if args.images is None:
        args.images = [SCENE, *PICTURES]
    return args


def main(argv=None) -> int:
    args = parse_args(argv)
    ensure_peers()
    warm_up()
    payload = {"machine": machine_info(), "args": {k: str(v) if isinstance(v, Path) else v
                                                   for k, v in vars(args).items()},
               "skipped": [], "cases": []}
    total = len(args.sizes) * len(args.images) * len(args.percents) * len(args.region_sizes)
    done = 0
    with tempfile.TemporaryDirectory(prefix="zentrel-bench-") as tmp:
        for size in args.sizes:
            repeats = repeats_for(size, args.repeats)
            for name, image, mask in load_images(args.images, size, payload["skipped"]):
                image_path = Path(tmp) / f"{name}-{size}.npy"
                np.save(image_path, image)
                peer_cache: dict = {}
                for region_size in args.region_sizes:
                    for percent in args.percents:
                        start = time.perf_counter()
                        case = bench_case(name, image, mask, percent, region_size, repeats,
                                          peer_cache, image_path)
                        payload["cases"].append(case)
                        write_json(args.json, payload)
                        done += 1
                        print(f"[{done}/{total}] {name} {size}² {percent}% R={region_size}: "
                              f"ours {case['seconds']['ours']:.4f} s"
                              f"{'' if case['ours_passed'] else ' (no region passed)'}"
                              f" ({time.perf_counter() - start:.1f} s)", flush=True)
                image_path.unlink()

    payload["machine"]["load_average_at_end"] = list(os.getloadavg())
    write_json(args.json, payload)
    cases = payload["cases"]
    print("\nMedian wall-clock seconds; /peer = our time over the peer's (below 1: ours faster).")
    print("ok = AdaptiveThreshold found a threshold (NO: it returned False, no region passed).")
    print(format_table(*timing_rows(cases)))
    print("\nOur stages (one all-thread run), region analysis on 1 vs all threads (median),")
    print("peak memory beyond the caller's arrays, and accuracy/F-measure of the object class")
    print("on generated scenes ('-' elsewhere, or where no region passed).")
    print(format_table(*detail_rows(cases)))
    for s in payload["skipped"]:
        print(f"skipped {s['image']}: {s['reason']}")
    m = payload["machine"]
    print(f"\n{m['cpu_count']} cores; load average {m['load_average_at_start'][0]:.2f} at start, "
          f"{m['load_average_at_end'][0]:.2f} at end")
    print(f"wrote {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
