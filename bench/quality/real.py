#!/usr/bin/env python3
"""Real pictures: zentrel's default against the peers, at their defaults and at their best setting per set.

    python3 bench/quality/real.py /work/shared/realdata/manifest.json
    python3 bench/quality/real.py MANIFEST --sets dibco2009 phibd --peers sk-otsu dx-wolf --no-montage
    python3 bench/quality/real.py MANIFEST --half tune       # the sets numbers are chosen on (--half check: the others)

zentrel runs with no options and finds the objects' side itself. Every peer
is told the side (fed the negative image for bright objects) and scored at
its library's defaults and at the one setting of its grid (or its defaults)
with the best mean F-measure over each set, chosen in hindsight. Prints
markdown tables, writes JSON and a montage of each set's worst pictures for
zentrel. Peer scores are cached by picture, method, setting and the files'
bytes, so a second run recomputes only zentrel.
"""

from __future__ import annotations

import argparse
import functools
import hashlib
import json
import math
import multiprocessing
import os
import sys
import time
from concurrent.futures import ProcessPoolExecutor, as_completed
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
BENCH = HERE.parent
sys.path.insert(0, str(BENCH))

from bench_helpers import ensure_packages, markdown_table  # noqa: E402
from quality.metrics import METRICS  # noqa: E402
from quality.peers import (LIBRARY_MODULES, PEERS, PIP_PACKAGES, zentrel_classic, zentrel_default,  # noqa: E402
                           zentrel_run)
from quality.protocol import run_method  # noqa: E402
from quality.realdata import HALVES, entry_digest, in_half, load_manifest, load_picture  # noqa: E402
from quality.run import param_text, versions  # noqa: E402
from zentrel.io import write_atomic  # noqa: E402

DEFAULT_JSON = BENCH / "results" / "real.json"
DEFAULT_CACHE = BENCH / "results" / "real-cache.json"
DEFAULT_MONTAGE = BENCH / "results" / "real-montage"
# Seconds per megapixel here at their grids' wide windows: dx-su ~4, dx-gatos
# ~1, dx-wan ~0.2, against ~0.08 for the slowest other peer; over all 124 Mpx
# their grids would take longer than everything else together.
SLOW_PEERS = ("dx-su", "dx-gatos", "dx-wan")
CACHE_VERSION = 1  # bump when a cached score would change (metrics, loading)
TABLE_METRICS = ("f_measure", "precision", "recall", "psnr", "drd")
METRIC_TITLES = {"f_measure": "F-measure", "precision": "Precision", "recall": "Recall", "psnr": "PSNR (dB)",
                 "drd": "DRD (lower is better)"}
MONTAGE_ROWS = 3
ZENTREL = "zentrel"
SIDE_GIVEN = "zentrel side given"
CLASSIC = "zentrel-classic"


# ------------------------------------------------------------------ scoring one picture (in a worker)

def init_worker() -> None:
    """A worker process's set-up: two processes on two cores, one thread each."""
    os.environ["ZENTREL_THREADS"] = "1"
    try:
        import cv2

        cv2.setNumThreads(1)
    except ImportError:
        pass


def _scored(method, image, picture) -> dict:
    mask, error, seconds = run_method(method, image)
    return dict(picture.reference.score(mask), error=error, seconds=seconds)


def _zentrel(picture) -> dict:
    """``zentrel.binarize`` with no options, read on the side it found (see ``zentrel_default``)."""
    found = {}

    def method(image):
        result, found["objects"] = zentrel_run(image)
        return result == 255 if found["objects"] == "bright" else result == 0

    return dict(_scored(method, picture.image, picture), objects=found.get("objects"))


def _zentrel_side_given(image, bright: bool):
    import zentrel

    result = zentrel.binarize(image, objects="bright" if bright else "dark")
    return result == 255 if bright else result == 0


def _peer_child(picture, jobs, connection) -> None:
    by_name = {p.name: p for p in PEERS}
    for key, name, params in jobs:
        method = by_name[name].method(dict(params, invert=picture.bright))
        connection.send((key, _scored(method, picture.peer_image, picture)))
    connection.close()


def peer_scores(picture, jobs) -> dict:
    """Scores of the (cache key, peer, setting) jobs, run in a child process so that a peer that kills
    its process (doxapy's Gatos divides by zero on some pages) fails alone, scored as all background."""
    context = multiprocessing.get_context("fork")
    results, remaining = {}, list(jobs)
    while remaining:
        reader, writer = context.Pipe(duplex=False)
        child = context.Process(target=_peer_child, args=(picture, remaining, writer))
        child.start()
        writer.close()
        while True:
            try:
                key, scores = reader.recv()
            except EOFError:
                break
            results[key] = scores
        child.join()
        remaining = [job for job in remaining if job[0] not in results]
        if remaining:  # the child died in the first job it did not answer
            results[remaining.pop(0)[0]] = dict(picture.reference.score(np.zeros(picture.image.shape, bool)),
                                                error=f"the process died (exit code {child.exitcode})", seconds=0.0)
    return results


def picture_task(task) -> dict:
    """Score one picture: zentrel's variants always, and the listed peer jobs."""
    entry, jobs = task
    try:
        picture = load_picture(entry)
    except Exception as error:  # an unreadable picture is skipped and listed, not fatal
        return {"name": entry["name"], "error": f"{type(error).__name__}: {error}"}
    return {"name": picture.name, ZENTREL: _zentrel(picture),
            SIDE_GIVEN: _scored(functools.partial(_zentrel_side_given, bright=picture.bright), picture.image, picture),
            CLASSIC: _scored(functools.partial(zentrel_classic, white_objects=picture.bright), picture.image, picture),
            "peers": peer_scores(picture, jobs)}


# ------------------------------------------------------------------ plan, cache, run

def candidates(peer, searched: bool) -> list[dict]:
    """The peer's defaults, then (when searched) every grid setting; the side comes from each picture."""
    out = [dict(peer.defaults)]
    for combo in peer.combinations() if searched else []:
        params = {k: v for k, v in combo.items() if k != "invert"}
        if not combo["invert"] and params not in out:
            out.append(params)
    return out


def setting_id(params: dict) -> str:
    return json.dumps(params, sort_keys=True)


def cache_key(entry: dict, digest: str, peer: str, params: dict, libraries: str) -> str:
    return "|".join((entry["name"], peer, setting_id(params), digest, libraries))


def load_cache(path: Path) -> dict:
    try:
        data = json.loads(path.read_text())
    except (OSError, ValueError):
        return {}
    return data.get("scores", {}) if data.get("version") == CACHE_VERSION else {}


def save_cache(path: Path, scores: dict) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    text = json.dumps({"version": CACHE_VERSION, "scores": scores}).encode()
    write_atomic(path, lambda file: file.write(text), overwrite=True)


def plan(entries, peers, searched, cache, libraries):
    """(tasks, keys): each picture's task with the peer jobs missing from the cache, and
    keys[picture][peer][setting id] -> cache key for every setting scored."""
    tasks, keys = [], {}
    for entry in entries:
        digest = entry_digest(entry)
        jobs, keys[entry["name"]] = [], {}
        for peer in peers:
            keys[entry["name"]][peer.name] = {}
            for params in candidates(peer, peer.name in searched):
                key = cache_key(entry, digest, peer.name, params, libraries)
                keys[entry["name"]][peer.name][setting_id(params)] = key
                if key not in cache:
                    jobs.append((key, peer.name, params))
        tasks.append((entry, jobs))
    return tasks, keys


def compute(tasks, workers: int, cache: dict, cache_path: Path | None) -> tuple[dict, dict]:
    """Run the tasks (largest pictures first); returns (zentrel's results by picture, unreadable pictures)."""
    tasks = sorted(tasks, key=lambda t: -Path(t[0]["image"]).stat().st_size)
    zentrel_results, unreadable = {}, {}
    start, done = time.perf_counter(), 0

    def take(out):
        nonlocal done
        done += 1
        if "error" in out:
            unreadable[out["name"]] = out["error"]
        else:
            cache.update(out.pop("peers"))
            zentrel_results[out.pop("name")] = out
        if done % 20 == 0 or done == len(tasks):
            print(f"  {done}/{len(tasks)} pictures, {time.perf_counter() - start:.0f} s", flush=True)
            if cache_path:
                save_cache(cache_path, cache)

    if workers <= 1:
        for task in tasks:
            take(picture_task(task))
    else:
        with ProcessPoolExecutor(workers, initializer=init_worker) as pool:
            for future in as_completed([pool.submit(picture_task, t) for t in tasks]):
                take(future.result())
    return zentrel_results, unreadable


# ------------------------------------------------------------------ aggregating

def _means(scores: list[dict]) -> dict:
    out = {m: float(np.mean([s[m] for s in scores])) for m in METRICS}
    out["failures"] = sum(1 for s in scores if s.get("error"))
    return out


def _in_grid_order(peer, params: dict) -> dict:
    order = [k for k in peer.grid if k in params] + [k for k in params if k not in peer.grid]
    return {k: params[k] for k in order}


def aggregate(entries, peers, searched, keys, zentrel_results, cache) -> dict:
    """Per set: every method's means, the peers' best settings, and each picture's scores."""
    sets = {}
    for entry in entries:
        if entry["name"] in zentrel_results:
            sets.setdefault(entry["set"], []).append(entry)
    out = {}
    for name, members in sets.items():
        names = [e["name"] for e in members]
        pictures = {n: {k: zentrel_results[n][k] for k in (ZENTREL, SIDE_GIVEN, CLASSIC)} for n in names}
        methods = {}
        for label in (ZENTREL, SIDE_GIVEN, CLASSIC):
            methods[label] = _means([pictures[n][label] for n in names])
        methods[ZENTREL]["side_wrong"] = sum(
            1 for e in members if zentrel_results[e["name"]][ZENTREL]["objects"] != e["image_objects"])
        best_settings = {}
        for peer in peers:
            by_setting = {sid: [cache[keys[n][peer.name][sid]] for n in names] for sid in keys[names[0]][peer.name]}
            defaults = setting_id(peer.defaults)
            best = max(by_setting, key=lambda sid: np.mean([s["f_measure"] for s in by_setting[sid]]))
            best_settings[peer.name] = _in_grid_order(peer, json.loads(best))
            methods[f"{peer.name} (def)"] = dict(_means(by_setting[defaults]), params=peer.defaults)
            if peer.name in searched:
                methods[f"{peer.name} (best)"] = dict(_means(by_setting[best]), params=best_settings[peer.name])
            for i, n in enumerate(names):
                pictures[n][f"{peer.name} (def)"] = by_setting[defaults][i]
                if peer.name in searched:
                    pictures[n][f"{peer.name} (best)"] = by_setting[best][i]
        summary = summarise(methods, peers, searched)
        summary["under_half"] = under_half(pictures, summary["defaults_peer"])
        out[name] = {"pictures": len(names), "methods": methods, "best_settings": best_settings,
                     "summary": summary, "per_picture": pictures}
    return out


def summarise(methods: dict, peers, searched) -> dict:
    """zentrel's F against the best peer at defaults and at its best setting (unsearched peers: defaults)."""
    def best_of(suffix_for):
        label = max((suffix_for(p) for p in peers), key=lambda m: methods[m]["f_measure"], default=None)
        return label, methods[label]["f_measure"] if label else None

    zf = methods[ZENTREL]["f_measure"]
    def_label, def_f = best_of(lambda p: f"{p.name} (def)")
    best_label, best_f = best_of(lambda p: f"{p.name} ({'best' if p.name in searched else 'def'})")
    return {"zentrel_f": zf, "defaults_peer": def_label, "defaults_f": def_f, "best_peer": best_label,
            "best_f": best_f, "best_params": methods[best_label]["params"] if best_label else None,
            "ratio_defaults": zf / def_f if def_f else None, "ratio_best": zf / best_f if best_f else None}


def under_half(pictures: dict, label) -> list[str]:
    """The pictures where zentrel's F is under half that of the set's best peer at its defaults (label)
    on the same picture: the catastrophes."""
    if label is None:
        return []
    return [n for n, scores in pictures.items() if scores[ZENTREL]["f_measure"] < 0.5 * scores[label]["f_measure"]]


def geometric_mean(values) -> float | None:
    values = [v for v in values if v is not None]
    if not values:
        return None
    if min(values) <= 0:
        return 0.0
    return math.exp(float(np.mean(np.log(values))))


# ------------------------------------------------------------------ report

def _cell(value, metric="f_measure") -> str:
    if value is None:
        return "-"
    return f"{value:.2f}" if metric in ("psnr", "drd") else f"{value:.3f}"


def _setting_text(label, params) -> str:
    return "-" if label is None else "defaults" if label.endswith("(def)") else param_text(params)


def summary_table(results: dict) -> str:
    headers = ["set", "n", "zentrel F", "side wrong", "fail", "under half", "best peer at defaults", "F",
               "zentrel/it", "best peer at best setting", "setting", "F", "zentrel/it"]
    rows = []
    for name, r in results.items():
        s, z = r["summary"], r["methods"][ZENTREL]
        rows.append([name, str(r["pictures"]), _cell(s["zentrel_f"]), str(z["side_wrong"]), str(z["failures"]),
                     str(len(s.get("under_half", []))), s["defaults_peer"] or "-", _cell(s["defaults_f"]),
                     _cell(s["ratio_defaults"]),
                     s["best_peer"] or "-", _setting_text(s["best_peer"], s["best_params"]), _cell(s["best_f"]),
                     _cell(s["ratio_best"])])
    return markdown_table(headers, rows)


def metric_table(results: dict, metric: str) -> str:
    sets = list(results)
    labels = list(next(iter(results.values()))["methods"])
    rows = []
    for label in labels:
        values = [results[s]["methods"][label][metric] for s in sets]
        rows.append([label] + [_cell(v, metric) for v in values] + [_cell(float(np.mean(values)), metric)])
    return markdown_table(["method"] + sets + ["mean"], rows)


def settings_table(results: dict, peers, searched) -> str:
    sets = list(results)
    def text(peer, params):
        return "defaults" if params == peer.defaults else param_text(params)

    rows = [[p.name] + [text(p, results[s]["best_settings"][p.name]) for s in sets]
            for p in peers if p.name in searched]
    return markdown_table(["peer"] + sets, rows)


def overall(results: dict) -> dict:
    summaries = {name: r["summary"] for name, r in results.items()}
    return {
        "geomean_ratio_defaults": geometric_mean([s["ratio_defaults"] for s in summaries.values()]),
        "geomean_ratio_best": geometric_mean([s["ratio_best"] for s in summaries.values()]),
        "losses_defaults": [n for n, s in summaries.items() if s["ratio_defaults"] is not None
                            and s["ratio_defaults"] < 1],
        "losses_best": [n for n, s in summaries.items() if s["ratio_best"] is not None and s["ratio_best"] < 1],
        "under_half": [p for s in summaries.values() for p in s.get("under_half", [])],
    }


def failures_text(results: dict) -> str:
    """Which methods failed (raised, or killed their process) on how many pictures of which set."""
    lines = []
    for name, r in results.items():
        for label, means in r["methods"].items():
            if means["failures"]:
                # The exception's name, or how the process died.
                errors = sorted({s["error"].splitlines()[-1].split(":")[0].split(".")[-1] for s in
                                 (pic.get(label) for pic in r["per_picture"].values()) if s and s.get("error")})
                lines.append(f"- {label} on {name}: {means['failures']} of {r['pictures']} ({'; '.join(errors)})")
    return "\n".join(lines) or "none"


def report(results: dict, peers, searched) -> str:
    parts = ["## Summary (F-measure; peers told the objects' side)", summary_table(results)]
    if peers:
        o = overall(results)
        parts.append(
            f"Geometric mean over sets of zentrel F / best peer's F: at defaults {_cell(o['geomean_ratio_defaults'])}, "
            f"at best settings {_cell(o['geomean_ratio_best'])}.\n\n"
            f"zentrel loses to the best peer at defaults on: {', '.join(o['losses_defaults']) or 'none'}.\n\n"
            f"zentrel loses to the best peer at its best setting on: {', '.join(o['losses_best']) or 'none'}.\n\n"
            f"Pictures under half the F of their set's best peer at its defaults: {len(o['under_half'])}"
            f"{' (' + ', '.join(o['under_half']) + ')' if o['under_half'] else ''}.")
    for metric in TABLE_METRICS:
        parts += [f"## {METRIC_TITLES[metric]}", metric_table(results, metric)]
    if searched:
        parts += ["## Best settings per set", settings_table(results, peers, searched)]
    parts += ["## Failures (scored as all background)", failures_text(results)]
    return "\n\n".join(parts)


# ------------------------------------------------------------------ montage

def short_name(entry: dict) -> str:
    stem = Path(entry["name"]).stem
    stem = stem[len(entry["set"]) + 1:] if stem.startswith(entry["set"] + "_") else stem
    return stem[:-4] if stem.endswith("_img") else stem


def make_montages(entries, results, folder: Path) -> list[str]:
    """One picture per set: its MONTAGE_ROWS worst pictures for zentrel, with the truth and the best peer."""
    from quality.montage import montage

    by_name = {p.name: p for p in PEERS}
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for set_name, r in results.items():
        pictures = r["per_picture"]
        worst = sorted(pictures, key=lambda n: pictures[n][ZENTREL]["f_measure"])[:MONTAGE_ROWS]
        label = r["summary"]["best_peer"]
        columns = ["truth", ZENTREL]
        if label:
            columns.append(f"{label.split(' ')[0]} {_setting_text(label, r['summary']['best_params'])}")
        rows = []
        for entry in (e for e in entries if e["name"] in worst):
            picture = load_picture(entry)
            masks = [picture.reference.truth]
            mask, error, _ = run_method(zentrel_default, picture.image)
            masks.append(None if error else mask)
            if label:
                peer = by_name[label.split(" ")[0]]
                mask, error, _ = run_method(
                    peer.method(dict(r["summary"]["best_params"], invert=picture.bright)), picture.peer_image)
                masks.append(None if error else mask)
            rows.append((short_name(entry), picture.peer_image, masks))
        path = folder / f"{set_name}.png"
        montage(rows, columns, path, tile=300)
        paths.append(str(path))
    return paths


# ------------------------------------------------------------------ main

def zentrel_build() -> dict:
    """Where the installed zentrel is and a hash of its files, to tell builds of one version apart."""
    import zentrel

    folder = Path(zentrel.__file__).parent
    digest = hashlib.sha256()
    for path in sorted(f for f in folder.rglob("*") if f.is_file() and "__pycache__" not in f.parts):
        digest.update(path.relative_to(folder).as_posix().encode() + b"\0" + path.read_bytes())
    return {"path": str(folder), "sha256": digest.hexdigest()[:16]}


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("manifest", type=Path)
    p.add_argument("--sets", nargs="+", default=None, help="only these sets")
    p.add_argument("--half", choices=sorted(HALVES), default=None,
                   help="only the sets of this half (quality.realdata.HALVES): choose on tune, report check too")
    group = p.add_mutually_exclusive_group()
    group.add_argument("--peers", nargs="+", default=None, help="only these peers (names as in the tables)")
    group.add_argument("--no-peers", action="store_true", help="zentrel alone")
    p.add_argument("--full-grid", action="store_true", help=f"search the grids of {', '.join(SLOW_PEERS)} too")
    p.add_argument("--workers", type=int, default=2, help="processes (default 2)")
    p.add_argument("--json", type=Path, default=DEFAULT_JSON)
    p.add_argument("--cache", type=Path, default=DEFAULT_CACHE)
    p.add_argument("--montage", type=Path, default=DEFAULT_MONTAGE, help="folder of the montages")
    p.add_argument("--no-montage", action="store_true")
    args = p.parse_args(argv)
    known = [peer.name for peer in PEERS]
    unknown = sorted(set(args.peers or []) - set(known))
    if unknown:
        p.error(f"unknown peers {', '.join(unknown)}; choose from {', '.join(known)}")
    return args


def main(argv=None) -> int:
    args = parse_args(argv)
    start = time.perf_counter()
    entries = in_half(load_manifest(args.manifest), args.half)
    if args.sets:
        missing = sorted(set(args.sets) - {e["set"] for e in entries})
        if missing:
            print(f"no such sets in the manifest: {', '.join(missing)}", file=sys.stderr)
            return 2
        entries = [e for e in entries if e["set"] in args.sets]
    peers = [] if args.no_peers else [p for p in PEERS if args.peers is None or p.name in args.peers]
    # Only the chosen peers' libraries (and Pillow, for the montages) are installed when missing.
    ensure_packages({m: PIP_PACKAGES[m] for m in {LIBRARY_MODULES[p.library] for p in peers} | {"PIL"}})
    searched = {p.name for p in peers if p.grid and (args.full_grid or p.name not in SLOW_PEERS)}
    machine = versions()
    libraries = ",".join(f"{k}={v}" for k, v in sorted(machine.items()) if k != "zentrel")

    cache = load_cache(args.cache)
    tasks, keys = plan(entries, peers, searched, cache, libraries)
    jobs = sum(len(j) for _, j in tasks)
    build = zentrel_build()
    print(f"zentrel {machine['zentrel']} from {build['path']} (files {build['sha256']})")
    print(f"{len(tasks)} pictures; {jobs} peer runs to compute, "
          f"{sum(len(s) for k in keys.values() for s in k.values()) - jobs} cached", flush=True)
    zentrel_results, unreadable = compute(tasks, args.workers, cache, args.cache)
    results = aggregate(entries, peers, searched, keys, zentrel_results, cache)
    print("\n" + report(results, peers, searched))
    if unreadable:
        print("\nunreadable, skipped: " + "; ".join(f"{n}: {e}" for n, e in unreadable.items()))

    payload = {
        "settings": {"manifest": str(args.manifest), "half": args.half, "sets": list(results),
                     "peers": [p.name for p in peers],
                     "searched": sorted(searched), "workers": args.workers,
                     "defaults": {p.name: p.defaults for p in peers}},
        "machine": {"versions": machine, "zentrel_build": build},
        "sets": results, "overall": overall(results) if peers else None, "unreadable": unreadable,
        "peer_runs_computed": jobs,
    }
    if not args.no_montage and results:
        payload["montages"] = make_montages(entries, results, args.montage)
        print(f"\nmontages: {args.montage}/")
    payload["seconds"] = time.perf_counter() - start
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps(payload, indent=1, default=str))
    print(f"\n{payload['seconds']:.0f} s in all ({jobs} peer runs computed); JSON: {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
