#!/usr/bin/env python3
"""Real pages made harder: zentrel's default and the peers at their defaults on pages with bleed-through,
stains, fibre and shading added, the ground truth left as it was (quality/degrade.py).

    python3 bench/quality/stress.py /work/shared/realdata/manifest.json --sets dibco2009 hdibco2010 dibco2011
    python3 bench/quality/stress.py MANIFEST --peers sk-otsu dx-wolf --json out.json
    python3 bench/quality/stress.py MANIFEST --bleed-depth 0.6   # the back's ink deeper

The default takes every set whose objects are dark; --sets picks some.
Every method reads the same 8-bit page (wider values brought onto 0..255
first, as the peers get them in real.py). A page's bleed-through is the ink of the page listed seven
further on (the list wrapping round), and each page draws its stains and
grain from its own place in the list, so a run repeats. zentrel runs with no
options and is read on the side it found; the peers are told the ink is dark.
Prints the F-measure per harm and method (the mean over the sets of each
set's mean), then what each harm costs zentrel per set, and writes JSON
with every page's scores.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
BENCH = HERE.parent
sys.path.insert(0, str(BENCH))

from bench_helpers import ensure_packages, markdown_table  # noqa: E402
from quality.degrade import KINDS, degrade  # noqa: E402
from quality.peers import LIBRARY_MODULES, PEERS, PIP_PACKAGES, zentrel_default  # noqa: E402
from quality.protocol import run_method  # noqa: E402
from quality.real import SLOW_PEERS, init_worker  # noqa: E402
from quality.realdata import load_manifest, load_picture, load_truth  # noqa: E402

DEFAULT_JSON = BENCH / "results" / "stress.json"
BACK_STEP = 7  # the page whose ink shows through: this many further on in the list
ZENTREL = "zentrel"


def page_task(task) -> dict:
    """Every method's F-measure on one page under every harm."""
    index, entry, back_entry, peer_names, bleed_depth = task
    picture = load_picture(entry)
    ink = picture.reference.truth
    back = load_truth(back_entry)
    by_name = {p.name: p for p in PEERS}
    methods = {ZENTREL: zentrel_default}
    methods.update({name: by_name[name].method(dict(by_name[name].defaults, invert=False)) for name in peer_names})
    scores = {}
    for kind in KINDS:
        image = degrade(kind, picture.peer_image, ink, seed=index, back=back, bleed_depth=bleed_depth)
        for name, method in methods.items():
            mask, error, _ = run_method(method, image)
            scores[f"{kind}|{name}"] = dict(f_measure=picture.reference.score(mask)["f_measure"], error=error)
    return {"name": picture.name, "set": picture.set, "scores": scores}


def per_set(pages: list[dict], key: str) -> dict:
    """Each set's mean F-measure under key ("harm|method"), with its count of pages, by set name in order."""
    out = {}
    for name in sorted({p["set"] for p in pages}):
        scores = [p["scores"][key]["f_measure"] for p in pages if p["set"] == name]
        out[name] = (float(np.mean(scores)), len(scores))
    return out


def set_mean(pages: list[dict], key: str) -> float:
    """The mean over sets of each set's mean F-measure: a set of many pages counts as one."""
    return float(np.mean([mean for mean, _ in per_set(pages, key).values()]))


def report(pages: list[dict], methods: list[str]) -> str:
    rows = []
    for kind in KINDS:
        means = [set_mean(pages, f"{kind}|{m}") for m in methods]
        best = max(means)
        rows.append([kind] + [f"**{v:.3f}**" if v == best else f"{v:.3f}" for v in means])
    return markdown_table(["harm"] + methods, rows)


def losses(pages: list[dict], method: str = ZENTREL) -> str:
    """Per set: the method's mean F as it is, and what each harm costs it."""
    by_kind = [per_set(pages, f"{kind}|{method}") for kind in KINDS]
    rows = []
    for name, (clean, count) in by_kind[0].items():
        rows.append([name, str(count), f"{clean:.3f}"] + [f"{clean - harmed[name][0]:.3f}" for harmed in by_kind[1:]])
    return markdown_table(["set", "pages", "none"] + [f"{kind} loss" for kind in KINDS[1:]], rows)


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("manifest", type=Path)
    parser.add_argument("--sets", nargs="+", help="sets to use (default: every set with dark objects)")
    parser.add_argument("--peers", nargs="+", help="peers at their defaults (default: all but the slow "
                        + ", ".join(SLOW_PEERS) + ")")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--bleed-depth", type=float, default=0.4,
                        help="how deep the back's ink shows, in the page's contrast (default 0.4)")
    parser.add_argument("--json", type=Path, default=DEFAULT_JSON)
    return parser.parse_args(argv)


def main(argv=None) -> int:
    args = parse_args(argv)
    start = time.perf_counter()
    known = {p.name for p in PEERS}
    peers = args.peers or [p.name for p in PEERS if p.name not in SLOW_PEERS]
    if set(peers) - known:
        print(f"unknown peers: {', '.join(sorted(set(peers) - known))}", file=sys.stderr)
        return 2
    ensure_packages({m: PIP_PACKAGES[m] for m in {LIBRARY_MODULES[p.library] for p in PEERS if p.name in peers}}
                    | {"scipy": "scipy", "PIL": "Pillow"})
    entries = [e for e in load_manifest(args.manifest) if e["image_objects"] == "dark"]
    if args.sets:
        entries = [e for e in entries if e["set"] in args.sets]
    if not entries:
        print("no pages with dark objects in the chosen sets", file=sys.stderr)
        return 2
    tasks = [(i, e, entries[(i + BACK_STEP) % len(entries)], peers, args.bleed_depth) for i, e in enumerate(entries)]
    with ProcessPoolExecutor(args.workers, initializer=init_worker) as pool:
        pages = list(pool.map(page_task, tasks))
    methods = [ZENTREL] + peers
    sets = sorted({p["set"] for p in pages})
    print(f"{len(pages)} pages of {', '.join(sets)}; F-measure (mean over the sets), higher is better\n")
    print(report(pages, methods))
    print(f"\nWhat each harm costs {ZENTREL} per set (bleed {args.bleed_depth:g} c deep):\n")
    print(losses(pages))
    failures = sum(1 for p in pages for s in p["scores"].values() if s["error"])
    if failures:
        print(f"\n{failures} runs failed (scored as all background)")
    payload = {"manifest": str(args.manifest), "sets": sets, "methods": methods, "kinds": list(KINDS),
               "bleed_depth": args.bleed_depth,
               "pages": pages, "seconds": time.perf_counter() - start}
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps(payload, indent=1))
    print(f"\n{payload['seconds']:.0f} s; JSON: {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
