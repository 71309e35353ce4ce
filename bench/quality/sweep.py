#!/usr/bin/env python3
"""One tuned number of the automatic default, swept over the real pictures: F per set for each value.

    python3 bench/quality/sweep.py NAME VALUE [VALUE ...]
    python3 bench/quality/sweep.py faint_ratio 0.35 0.45 0.55 --half tune
    python3 bench/quality/sweep.py core_reach 0.4 0.5 --with raise_faint_marks=False --sets dibco2009
    python3 bench/quality/sweep.py band_reach 1 3 --generated     # the generated families instead
    python3 bench/quality/sweep.py vote_reach 2 4 --comment        # also the line AutoSettings quotes

NAME is a field of zentrel.auto.settings.AutoSettings; each VALUE is a Python literal (True, 0.45,
(0.02, 0.16, 0.5, 0.84, 0.98)) or a float such as inf. The default's own value is always swept too
and marked with *. Every picture runs the default's stages with that one number replaced (and the
--with ones), on the side the default finds, and is scored as bench/quality/real.py scores zentrel.
Prints per set the mean F for each value, the means over the tune and check halves
(quality.realdata.HALVES), the worst picture's F, and, where bench/quality/real.py has left its
JSON (--peers-json), how many pictures fall under half the F of their set's best peer at defaults.
With --generated the pictures are bench/quality's generated families (the test split run.py
scores), one set per family.
"""

from __future__ import annotations

import argparse
import ast
import dataclasses
import json
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

from bench_helpers import markdown_table  # noqa: E402
from quality.real import DEFAULT_JSON, geometric_mean, init_worker  # noqa: E402
from quality.realdata import HALVES, in_half, load_manifest, load_picture  # noqa: E402

DEFAULT_MANIFEST = Path("/work/shared/realdata/manifest.json")
# The generated families' test split as bench/quality/run.py scores it.
GENERATED_SHAPE, GENERATED_SEEDS = (512, 512), range(10)


def parse_value(text: str):
    """A Python literal, or a float (inf, nan)."""
    try:
        return ast.literal_eval(text)
    except (ValueError, SyntaxError):
        return float(text)


def variants(name: str, values: list, fixed: dict) -> list:
    """(label, AutoSettings) per value, the default's own value first among them if not given."""
    from zentrel.auto.settings import DEFAULT

    fields = {f.name for f in dataclasses.fields(DEFAULT)}
    unknown = sorted(({name} | set(fixed)) - fields)
    if unknown:
        raise SystemExit(f"not a field of AutoSettings: {', '.join(unknown)}")
    base = dataclasses.replace(DEFAULT, **fixed)
    own = getattr(DEFAULT, name)
    if own not in values:
        values = [own] + values
    return [(f"{v!r}{'*' if v == own else ''}", dataclasses.replace(base, **{name: v})) for v in values]


def load(source) -> tuple:
    """(name, set, image, metrics.Reference) of a manifest entry, or of a generated scene given as
    ("scene", family, seed)."""
    if isinstance(source, tuple):
        from quality import make_scene
        from quality.metrics import Reference

        _, family, seed = source
        image, truth, _ = make_scene(family, seed, GENERATED_SHAPE)
        return f"{family} {seed}", family, image, Reference(truth)
    picture = load_picture(source)
    return source["name"], source["set"], picture.image, picture.reference


def score_picture(task) -> tuple:
    """(name, set, [F per variant]) of one picture; a variant that raises scores 0."""
    from zentrel.auto.pipeline import run

    source, settings_list = task
    name, set_name, image, reference = load(source)
    scores = []
    for settings in settings_list:
        try:
            output, _, choices, *_ = run(image, settings=settings)
            mask = output == 255 if choices.objects == "bright" else output == 0
        except Exception:
            mask = np.zeros(image.shape, bool)
        scores.append(reference.score(mask)["f_measure"])
    return name, set_name, scores


def peer_floor(path: Path) -> dict:
    """Per picture: the F of its set's best peer at defaults (bench/quality/real.py's JSON), if any."""
    try:
        data = json.loads(path.read_text())
    except (OSError, ValueError):
        return {}
    out = {}
    for result in data.get("sets", {}).values():
        label = result["summary"].get("defaults_peer")
        if label:
            for name, scores in result["per_picture"].items():
                out[name] = scores[label]["f_measure"]
    return out


def report(labels, by_set, floors) -> str:
    sets = list(by_set)
    rows = [[s, str(len(by_set[s]))] + [f"{np.mean([f[i] for _, f in by_set[s]]):.3f}" for i in range(len(labels))]
            for s in sets]
    for half, members in HALVES.items():
        chosen = [s for s in sets if s in members]
        if chosen:
            rows.append([f"mean, {half} half", str(len(chosen))] + [
                f"{np.mean([np.mean([f[i] for _, f in by_set[s]]) for s in chosen]):.3f}" for i in range(len(labels))])
    rows.append(["worst picture", ""] + [f"{min(f[i] for s in sets for _, f in by_set[s]):.3f}"
                                         for i in range(len(labels))])
    if floors:
        rows.append(["under half the best peer (def)", ""] + [
            str(sum(1 for s in sets for n, f in by_set[s] if n in floors and f[i] < 0.5 * floors[n]))
            for i in range(len(labels))])
        ratios = []
        for i in range(len(labels)):
            per_set = [np.mean([f[i] for _, f in by_set[s]]) / np.mean([floors[n] for n, _ in by_set[s]])
                       for s in sets if all(n in floors for n, _ in by_set[s])]
            ratios.append(f"{geometric_mean(per_set):.3f}" if per_set else "-")
        rows.append(["geomean F / best peer (def)", ""] + ratios)
    return markdown_table(["set", "n"] + labels, rows)


def comment(labels, by_set, floors, day: str) -> str:
    """The sweep's result as AutoSettings' comments quote it: each half's mean F
    per value (the default's first), the sets any value moves by 0.005 or
    more, and the pictures under half their set's best peer at defaults."""
    means = {s: [float(np.mean([f[i] for _, f in by_set[s]])) for i in range(len(labels))] for s in by_set}
    halves = []
    for i, label in enumerate(labels):
        parts = [f"{np.mean([means[s][i] for s in by_set if s in members]):.3f}"
                 for members in (HALVES["tune"], HALVES["check"]) if any(s in members for s in by_set)]
        halves.append(f"{label} {'/'.join(parts)}")
    moving = [f"{s} {m[0]:.3f} -> {' / '.join(f'{v:.3f}' for v in m[1:])}" for s, m in means.items()
              if any(abs(v - m[0]) >= 0.005 for v in m[1:])]
    under = " / ".join(str(sum(1 for s in by_set for n, f in by_set[s] if n in floors and f[i] < 0.5 * floors[n]))
                       for i in range(len(labels)))
    return (f"({day}; tune/check half mean F: {', '.join(halves)}; sets moving 0.005 or more: "
            f"{'; '.join(moving) or 'none'}; pictures under half the best peer: {under})")


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("name")
    p.add_argument("values", nargs="+", type=parse_value)
    p.add_argument("--manifest", type=Path, default=DEFAULT_MANIFEST)
    p.add_argument("--half", choices=sorted(HALVES), default=None)
    p.add_argument("--sets", nargs="+", default=None)
    p.add_argument("--with", dest="fixed", action="append", default=[], metavar="NAME=VALUE",
                   help="another number changed for every value")
    p.add_argument("--generated", action="store_true",
                   help="the generated families of bench/quality (test seeds 0-9, 512²) instead of the manifest")
    p.add_argument("--workers", type=int, default=2)
    p.add_argument("--peers-json", type=Path, default=DEFAULT_JSON)
    p.add_argument("--comment", action="store_true",
                   help="also print the result as the numbers' comments in AutoSettings quote it")
    args = p.parse_args(argv)
    fixed = dict((k, parse_value(v)) for k, v in (item.split("=", 1) for item in args.fixed))
    labelled = variants(args.name, list(args.values), fixed)
    labels = [label for label, _ in labelled]
    if args.generated:
        from quality import families

        entries = [("scene", family, seed) for family in families() for seed in GENERATED_SEEDS
                   if not args.sets or family in args.sets]
    else:
        entries = in_half(load_manifest(args.manifest), args.half)
        if args.sets:
            entries = [e for e in entries if e["set"] in args.sets]
    start = time.perf_counter()
    tasks = [(e, [s for _, s in labelled]) for e in entries]
    with ProcessPoolExecutor(args.workers, initializer=init_worker) as pool:
        results = list(pool.map(score_picture, tasks))
    by_set: dict = {}
    for name, set_name, scores in results:
        by_set.setdefault(set_name, []).append((name, scores))
    print(f"{args.name} over {len(entries)} pictures{' with ' + ', '.join(args.fixed) if fixed else ''} "
          f"({time.perf_counter() - start:.0f} s)\n")
    floors = {} if args.generated else peer_floor(args.peers_json)
    print(report(labels, by_set, floors))
    if args.comment:
        print("\n" + comment(labels, by_set, floors, time.strftime("%Y-%m-%d")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
