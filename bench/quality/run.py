#!/usr/bin/env python3
"""Quality benchmark: zentrel's default against tuned peers on scenes with exact truth.

For each scene family, every peer's parameters (its polarity included) are
tuned by grid search on a tuning split, maximising the mean F-measure, then
scored on a disjoint test split. zentrel runs with its defaults, untuned.
Prints a table per family, writes JSON, and draws a montage of the methods
on scikit-image's sample pictures.

    python3 bench/quality/run.py            # 512², 6 tuning + 10 test scenes per family
    python3 bench/quality/run.py --quick    # 256², 3 + 4
"""

from __future__ import annotations

import argparse
import functools
import json
import platform
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
BENCH = HERE.parent
sys.path.insert(0, str(BENCH))

from quality import families, make_scene  # noqa: E402
from quality.metrics import Reference, f_measure  # noqa: E402
from quality.peers import PIP_PACKAGES  # noqa: E402
from quality.protocol import evaluate, run_method  # noqa: E402
from bench_helpers import ensure_packages, format_table  # noqa: E402

DEFAULT_JSON = BENCH / "results" / "quality.json"
DEFAULT_MONTAGE = BENCH / "figures" / "quality-montage.png"
TUNE_SEED_BASE = 1000  # tuning seeds are TUNE_SEED_BASE + i; test seeds are test_seed_base + i
MONTAGE_METHODS = ("zentrel", "zentrel-classic", "sk-otsu", "sk-sauvola", "cv-gauss")


def ensure_peers() -> None:
    """Install the peers' libraries with pip when they are not importable."""
    ensure_packages(PIP_PACKAGES)


def versions() -> dict:
    from importlib import metadata

    out = {}
    for package in ("zentrel", "numpy", *PIP_PACKAGES.values()):
        try:
            out[package] = metadata.version(package)
        except metadata.PackageNotFoundError:
            out[package] = None
    return out


def tune(peer, scenes) -> list[tuple[dict, list[float]]]:
    """Every grid combination with its F-measure on each tuning scene."""
    trials = []
    for params in peer.combinations():
        method = peer.method(params)
        trials.append((params, [f_measure(run_method(method, image)[0], truth) for image, truth, _ in scenes]))
    return trials


def best_for_family(trials) -> tuple[dict, float]:
    """The combination, polarity included, with the highest mean F (the first one on ties)."""
    params, fs = max(trials, key=lambda t: np.mean(t[1]))
    return params, float(np.mean(fs))


def best_for_known_side(trials, scenes) -> tuple[dict, float]:
    """The best combination when each scene's polarity is given: ``invert`` follows the scene."""
    bright = [p["objects"] == "bright" for _, _, p in scenes]
    by_rest = {}
    for params, fs in trials:
        rest = {k: v for k, v in params.items() if k != "invert"}
        by_rest.setdefault(tuple(rest.items()), {})[params.get("invert", False)] = fs
    best, best_f = None, -1.0
    for rest, sides in by_rest.items():
        if set(sides) != {False, True}:
            continue
        f = float(np.mean([sides[b][i] for i, b in enumerate(bright)]))
        if f > best_f:
            best, best_f = dict(rest), f
    return best, best_f


def known_side_f(method_for_side, scenes) -> float:
    """Mean F-measure when the method is told each scene's polarity (``method_for_side(bright)``)."""
    fs = [f_measure(run_method(method_for_side(p["objects"] == "bright"), image)[0], truth)
          for image, truth, p in scenes]
    return float(np.mean(fs))


def param_text(params: dict | None) -> str:
    if not params:
        return "-"
    return " ".join(f"{k}={'y' if v is True else 'n' if v is False else v}" for k, v in params.items())


def family_table(rows: list[dict]) -> str:
    headers = ["method", "tuned parameters", "F", "PSNR", "DRD", "acc", "fail", "s/img", "F side given"]
    cells = [
        [r["method"], param_text(r.get("params")), f"{r['f_measure']:.3f}", f"{r['psnr']:.2f}",
         f"{r['drd']:.2f}", f"{r['accuracy']:.4f}", str(r["failures"]), f"{r['seconds_per_image']:.3f}",
         f"{r['known_side_f_measure']:.3f}"]
        for r in rows
    ]
    return format_table(headers, cells)


def summary_table(results: dict) -> str:
    fams = list(results)
    methods = [r["method"] for r in results[fams[0]]]
    headers = ["method"] + [f"F {f}" for f in fams] + ["mean F"]
    cells = []
    for m in methods:
        fs = [next(r["f_measure"] for r in results[f] if r["method"] == m) for f in fams]
        cells.append([m] + [f"{v:.3f}" for v in fs] + [f"{np.mean(fs):.3f}"])
    return format_table(headers, cells)


def run_family(family, args, peers, zentrel_methods) -> list[dict]:
    shape = (args.size, args.size)
    t0 = time.perf_counter()
    tune_scenes = [make_scene(family, TUNE_SEED_BASE + i, shape) for i in range(args.tune)]
    test_seeds = [args.test_seed_base + i for i in range(args.test)]
    test_scenes = [make_scene(family, s, shape) for s in test_seeds]
    references = [Reference(truth) for _, truth, _ in test_scenes]  # one per scene, for every method
    print(f"\n== {family}: {len(tune_scenes)} tuning, {len(test_scenes)} test scenes of {shape[0]}x{shape[1]} "
          f"({time.perf_counter() - t0:.1f} s to make)", flush=True)
    rows = []
    for name, (method, method_for_side) in zentrel_methods.items():
        row = evaluate(method, family, test_seeds, shape, test_scenes, references)
        rows.append(dict(method=name, params=None, known_side_f_measure=known_side_f(method_for_side, test_scenes),
                         **row))
    for peer in peers:
        t = time.perf_counter()
        trials = tune(peer, tune_scenes)
        best, tune_f = best_for_family(trials)
        row = evaluate(peer.method(best), family, test_seeds, shape, test_scenes, references)
        side_params, side_tune_f = best_for_known_side(trials, tune_scenes)
        side_f = known_side_f(lambda bright: peer.method(dict(side_params, invert=bright)), test_scenes)
        rows.append(dict(method=peer.name, library=peer.library, params=best, tuning_f_measure=tune_f,
                         known_side_params=side_params, known_side_f_measure=side_f,
                         tuning_seconds=time.perf_counter() - t, combinations=len(trials), **row))
    print(family_table(rows), flush=True)
    return rows


def make_montage(results, peers, zentrel_methods, path: Path) -> dict:
    """Montage of zentrel, zentrel classic, Otsu, Sauvola, OpenCV Gaussian and the best doxapy peer.

    Peers use the parameters tuned on the documents family for the pictures
    of text (page, text) and those tuned on the objects family for all other
    pictures (falling back to the first family run when one is missing).
    """
    from quality.montage import DOCUMENT_PICTURES, load_pictures, montage

    fams = list(results)
    doxa = [p.name for p in peers if p.library == "doxapy"]
    best_doxa = max(doxa, key=lambda n: np.mean(
        [next(r["f_measure"] for r in results[f] if r["method"] == n) for f in fams])) if doxa else None
    names = [m for m in MONTAGE_METHODS if m in set(zentrel_methods) | {p.name for p in peers}]
    names += [best_doxa] if best_doxa else []
    by_name = {p.name: p for p in peers}
    methods = {name: m for name, (m, _) in zentrel_methods.items()}

    def params_for(peer_name, picture):
        fam = "documents" if picture in DOCUMENT_PICTURES else "objects"
        fam = fam if fam in results else fams[0]
        return next(r["params"] for r in results[fam] if r["method"] == peer_name)

    pictures, skipped = load_pictures()
    rows = []
    for pic, image in pictures:
        masks = []
        for name in names:
            method = methods.get(name) or by_name[name].method(params_for(name, pic))
            mask, error, _ = run_method(method, image)
            masks.append(None if error else mask)
        rows.append((pic, image, masks))
    path.parent.mkdir(parents=True, exist_ok=True)
    montage(rows, names, path)
    print(f"\nmontage: {path} ({path.stat().st_size // 1024} KiB; skipped: {', '.join(skipped) or 'none'})")
    return {"path": str(path), "methods": names, "pictures": [p for p, _ in pictures], "skipped": skipped}


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="256², 3 tuning and 4 test scenes per family")
    p.add_argument("--size", type=int, default=None, help="scene side in pixels (default 512)")
    p.add_argument("--tune", type=int, default=None, help="tuning scenes per family (default 6)")
    p.add_argument("--test", type=int, default=None, help="test scenes per family (default 10)")
    p.add_argument("--test-seed-base", type=int, default=0, help="first test seed (default 0)")
    p.add_argument("--families", nargs="+", choices=families(), default=list(families()))
    p.add_argument("--peers", nargs="+", default=None, help="only these peers (names as in the tables)")
    p.add_argument("--json", type=Path, default=DEFAULT_JSON)
    p.add_argument("--montage", type=Path, default=DEFAULT_MONTAGE)
    p.add_argument("--no-montage", action="store_true")
    args = p.parse_args(argv)
    quick = args.quick
    args.size = args.size or (256 if quick else 512)
    args.tune = args.tune if args.tune is not None else (3 if quick else 6)
    args.test = args.test if args.test is not None else (4 if quick else 10)
    if args.tune < 1 or args.test < 1:
        p.error("--tune and --test need at least one scene")
    if args.test_seed_base <= TUNE_SEED_BASE < args.test_seed_base + args.test or \
            TUNE_SEED_BASE <= args.test_seed_base < TUNE_SEED_BASE + args.tune:
        p.error(f"test seeds overlap the tuning seeds ({TUNE_SEED_BASE}..{TUNE_SEED_BASE + args.tune - 1})")
    return args


def main(argv=None) -> int:
    args = parse_args(argv)
    ensure_peers()
    from quality.peers import PEERS, classic_keywords, zentrel_classic, zentrel_default

    peers = [p for p in PEERS if args.peers is None or p.name in args.peers]
    # name -> (method, method reading its result on a given side: bright objects or not)
    zentrel_methods = {
        "zentrel": (zentrel_default, lambda bright: functools.partial(zentrel_default, white_objects=bright)),
        "zentrel-classic": (zentrel_classic, lambda bright: functools.partial(zentrel_classic, white_objects=bright)),
    }
    start = time.perf_counter()
    results = {}
    payload = {
        "settings": {"size": args.size, "tune": args.tune, "test": args.test, "tune_seed_base": TUNE_SEED_BASE,
                     "test_seed_base": args.test_seed_base, "classic_keywords": classic_keywords()},
        "machine": {"python": platform.python_version(), "platform": platform.platform(),
                    "versions": versions()},
        "results": results,
    }
    args.json.parent.mkdir(parents=True, exist_ok=True)
    for family in args.families:
        results[family] = run_family(family, args, peers, zentrel_methods)
        args.json.write_text(json.dumps(payload, indent=1, default=str))
    print("\n== F-measure by family (test split)")
    print(summary_table(results))
    if not args.no_montage:
        payload["montage"] = make_montage(results, peers, zentrel_methods, args.montage)
    payload["seconds"] = time.perf_counter() - start
    args.json.write_text(json.dumps(payload, indent=1, default=str))
    print(f"\n{payload['seconds']:.0f} s in all; JSON: {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
