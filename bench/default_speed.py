#!/usr/bin/env python3
"""The automatic default's time against OpenCV's Gaussian adaptive threshold.

    python3 bench/default_speed.py [--size 4096] [--repeats 5]

On a generated scene (zentrel.uneven_scene, seed 2) in one process: the
best of --repeats calls of zentrel.binarize with its defaults, of the
classic setting (percent 10, region size 32), of
cv2.adaptiveThreshold(GAUSSIAN, block 51) and of copying the image once,
interleaved so that the machine's load falls on all alike; prints each
time and its ratio to OpenCV's. Installs opencv-python-headless when
missing.
"""

from __future__ import annotations

import argparse
import time

import numpy as np

from bench_helpers import ensure_packages


def best_of(calls: dict, repeats: int) -> dict:
    best = dict.fromkeys(calls, float("inf"))
    for _ in range(repeats):
        for name, call in calls.items():
            started = time.perf_counter()
            call()
            best[name] = min(best[name], time.perf_counter() - started)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    ensure_packages({"cv2": "opencv-python-headless"})
    import cv2
    import zentrel

    image, _ = zentrel.uneven_scene((args.size, args.size), seed=2)
    target = np.empty_like(image)
    calls = {
        "zentrel.binarize (default)": lambda: zentrel.binarize(image),
        "classic, percent 10, R 32": lambda: zentrel.binarize(image, preset="classic", percent=10),
        "OpenCV Gaussian adaptive (51)": lambda: cv2.adaptiveThreshold(
            image, 255, cv2.ADAPTIVE_THRESH_GAUSSIAN_C, cv2.THRESH_BINARY, 51, 0),
        "copying the image once": lambda: np.copyto(target, image),
    }
    best = best_of(calls, args.repeats)
    base = best["OpenCV Gaussian adaptive (51)"]
    print(f"{args.size}², best of {args.repeats}, all threads\n")
    print("| call | ms | × OpenCV Gaussian (51) |\n|---|---|---|")
    for name, seconds in best.items():
        print(f"| {name} | {seconds * 1e3:.1f} | {seconds / base:.2f} |")


if __name__ == "__main__":
    main()
