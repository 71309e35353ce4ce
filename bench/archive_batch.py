#!/usr/bin/env python3
"""An archive batch through the command line: a tree of files, a run killed
half-way and resumed, the cost of the batch around the engine, and the same
tree through a dask scheduler.

    python3 bench/archive_batch.py [--files 2000] [--jobs 2] [--size 960 1280] [--png] [--no-scheduler]

The tree (in a temporary folder) holds --files inputs nested three deep:
generated scenes (zentrel.uneven_scene) as PNG, TIFF and JPEG, every 50th a
3-page TIFF, every 100th a truncated PNG (broken) and every 400th a link to
no file (unreadable). Then:

The outputs are what archives keep, 1-bit TIFF with CCITT Group 4
(``--name {stem}.tif --bilevel``: a book stays one file of three pages), or
with --png 8-bit PNG (a file per page).

1. ``zentrel binarize TREE --out-dir OUT --jobs J --log run.jsonl``: every
   page of every readable file written, every broken file named in one line
   of standard error and in the record, exit status 1. Its main process's
   resident memory (VmRSS) is sampled as the record grows: at 10 % of the
   files and at the end.
2. The same into a fresh folder, killed with SIGKILL (the whole process
   group) once about half the record is written, then run again with
   ``--skip-existing``: no temporary file left, every readable file done
   exactly once across the two records, nothing done in the first run done
   again.
3. The batch's time against the engine's own: zentrel.binarize on every
   page in this process on one thread (summed per file, divided by the
   jobs), and against the whole work on a file here (read, threshold,
   write); and the batch on one job against that whole work, which leaves
   out how two processes share the machine.
4. With dask's ``distributed`` installed: a local ``dask scheduler`` with
   two ``dask worker`` processes of one thread, the tree through
   ``--scheduler``: the outputs byte for byte and the record but for the
   seconds and the output folder.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import zentrel
from PIL import Image
from zentrel.cli.record import read_lines
from zentrel.io import read_pages, write_image

PAGES = 3


def build_tree(root: Path, files: int, shape) -> dict:
    """The inputs, by kind: {"plain": [...], "book": [...], "broken": [...], "unreadable": [...]}."""
    bases = [zentrel.uneven_scene(shape, seed=seed)[0] for seed in range(24)]
    kinds: dict = {"plain": [], "book": [], "broken": [], "unreadable": []}
    for n in range(files):
        folder = root / f"a{n % 4}" / f"b{n // 4 % 5}" / f"c{n // 20 % 10}"
        folder.mkdir(parents=True, exist_ok=True)
        image = bases[n % len(bases)]
        if n % 400 == 399:
            path = folder / f"f{n:05d}.png"
            os.symlink(folder / "missing.png", path)
            kinds["unreadable"].append(path)
        elif n % 100 == 99:
            path = folder / f"f{n:05d}.png"
            Image.fromarray(image).save(path)
            path.write_bytes(path.read_bytes()[:len(path.read_bytes()) // 2])
            kinds["broken"].append(path)
        elif n % 50 == 49:
            path = folder / f"f{n:05d}.tif"
            pages = [Image.fromarray(np.roll(image, 7 * k, axis=1)) for k in range(PAGES)]
            pages[0].save(path, save_all=True, append_images=pages[1:])
            kinds["book"].append(path)
        else:
            path = folder / f"f{n:05d}{('.png', '.tif', '.jpg')[n % 3]}"
            Image.fromarray(np.flip(image, axis=n % 2)).save(path)
            kinds["plain"].append(path)
    return kinds


def rss_kib(pid: int) -> int | None:
    try:
        with open(f"/proc/{pid}/status") as file:
            for line in file:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        return None
    return None


OUTPUT = {"tiff": ["--name", "{stem}.tif", "--bilevel"], "png": []}


def command(tree: Path, out: Path, log: Path, output: str, *extra) -> list:
    return [sys.executable, "-m", "zentrel", "binarize", str(tree), "--out-dir", str(out),
            "--log", str(log), *OUTPUT[output], *extra]


def run_watched(args: list, log: Path, files: int, kill_at: int | None = None) -> dict:
    """Run the command, sampling its main process's memory as the record grows
    (at files // 10 lines, and last); SIGKILL its process group at ``kill_at`` lines."""
    started = time.perf_counter()
    process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    early = last = None
    count, seen = 0, 0  # lines and bytes of the record read so far (read on, not again: light)
    while process.poll() is None:
        if log.exists():
            with open(log, "rb") as file:
                file.seek(seen)
                fresh = file.read()
            seen += len(fresh)
            count += fresh.count(b"\n")
        rss = rss_kib(process.pid)
        if rss is not None:
            last = rss
            if early is None and count >= files // 10:
                early = rss
        if kill_at is not None and count >= kill_at:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            break
        time.sleep(0.2)
    stderr = process.stderr.read()
    return {"status": process.wait(), "seconds": time.perf_counter() - started, "stderr": stderr,
            "rss_early_kib": early, "rss_last_kib": last}


def expected_outputs(kinds: dict, tree: Path, out: Path, output: str) -> set:
    suffix = ".tif" if output == "tiff" else ".png"
    names = {out / path.relative_to(tree).with_suffix(suffix) for path in kinds["plain"]}
    for path in kinds["book"]:
        stem = out / path.relative_to(tree).with_suffix("")
        if output == "tiff":
            names.add(stem.with_suffix(suffix))
        else:
            names.update(Path(f"{stem}-p{k:04d}{suffix}") for k in range(1, PAGES + 1))
    return names


def engine_seconds(kinds: dict, jobs: int, scratch: Path, output: str) -> tuple:
    """(engine alone, read + threshold + write), summed over the readable files
    on one thread here, each divided by the jobs."""
    engine = whole = 0.0
    for path in kinds["plain"] + kinds["book"]:
        started = time.perf_counter()
        for number, page in read_pages(path, keep_wide=True):
            if isinstance(page, Exception):
                continue
            t0 = time.perf_counter()
            binary = zentrel.binarize(page, threads=1)
            engine += time.perf_counter() - t0
            write_image(scratch / f"p{number}.{'tif' if output == 'tiff' else 'png'}", binary,
                        bilevel=output == "tiff", overwrite=True)
        whole += time.perf_counter() - started
    return engine / jobs, whole / jobs


def temporaries(folder: Path) -> list:
    return [p for p in folder.rglob("*") if ".zentrel-tmp-" in p.name]


def scheduler_run(tree: Path, out: Path, log: Path, output: str) -> dict | None:
    if shutil.which("dask") is None:
        return None
    port = 8786 + os.getpid() % 1000
    address = f"tcp://127.0.0.1:{port}"
    procs = [subprocess.Popen(["dask", "scheduler", "--port", str(port), "--dashboard-address", ":0"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    time.sleep(3)
    procs += [subprocess.Popen(["dask", "worker", address, "--nthreads", "1", "--nworkers", "1",
                                "--no-dashboard"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
              for _ in range(2)]
    try:
        time.sleep(5)
        started = time.perf_counter()
        result = subprocess.run(command(tree, out, log, output, "--scheduler", address),
                                capture_output=True, text=True)
        return {"status": result.returncode, "seconds": time.perf_counter() - started}
    finally:
        for proc in procs:
            proc.terminate()
        for proc in procs:
            proc.wait()


def comparable(lines: list, out: Path) -> list:
    return sorted(json.dumps({**line, "seconds": None}).replace(str(out), "OUT") for line in lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--size", type=int, nargs=2, default=(960, 1280))
    parser.add_argument("--png", action="store_true", help="write 8-bit PNG, a file per page")
    parser.add_argument("--no-scheduler", action="store_true")
    args = parser.parse_args()

    output = "png" if args.png else "tiff"
    with tempfile.TemporaryDirectory(prefix="zentrel-archive-") as scratch:
        scratch = Path(scratch)
        tree = scratch / "tree"
        kinds = build_tree(tree, args.files, tuple(args.size))
        counts = {kind: len(paths) for kind, paths in kinds.items()}
        readable = counts["plain"] + counts["book"]
        print(f"tree: {args.files} files of {args.size[0]}x{args.size[1]}, three deep: {counts}; "
              f"outputs {' '.join(OUTPUT[output]) or 'PNG'}")

        # 1. The whole batch.
        out, log = scratch / "out", scratch / "run.jsonl"
        jobs = ["--jobs", str(args.jobs)]
        first = run_watched(command(tree, out, log, output, *jobs), log, args.files)
        lines = list(read_lines(log))
        by_status = {s: sum(line["status"] == s for line in lines) for s in ("done", "skipped", "failed")}
        written = {p for p in out.rglob("*") if p.is_file()}
        bad = {str(p) for p in kinds["broken"] + kinds["unreadable"]}
        error_lines = [line for line in first["stderr"].splitlines() if line.startswith("zentrel: error:")]
        named_once = all(sum(name in line for line in error_lines) == 1 for name in bad)
        recorded_bad = {line["input"] for line in lines if line["status"] == "failed"} == bad
        print(f"\n1. batch: exit {first['status']}, {first['seconds']:.1f} s, record {by_status}")
        print(f"   every page written: {written == expected_outputs(kinds, tree, out, output)} "
              f"({len(written)} files); broken and unreadable named once each: {named_once}, "
              f"in the record: {recorded_bad}; error lines {len(error_lines)}")
        growth = first["rss_last_kib"] / first["rss_early_kib"] - 1
        print(f"   main process memory: {first['rss_early_kib']} KiB at file {args.files // 10}, "
              f"{first['rss_last_kib']} KiB at the end: {growth:+.1%}")

        # 2. Killed half-way, then resumed.
        out2, log2 = scratch / "out2", scratch / "run2.jsonl"
        killed = run_watched(command(tree, out2, log2, output, *jobs), log2, args.files,
                             kill_at=args.files // 2)
        part = list(read_lines(log2))
        before = {p: p.stat().st_mtime_ns for p in out2.rglob("*") if p.is_file() and ".zentrel-tmp-" not in p.name}
        left = len(temporaries(out2))
        resumed = run_watched(command(tree, out2, log2, output, *jobs, "--skip-existing"), log2,
                              args.files)
        after = list(read_lines(log2))[len(part):]
        done_first = {line["input"] for line in part if line["status"] == "done"}
        done_second = {line["input"] for line in after if line["status"] == "done"}
        every_line = [line["input"] for line in part + after if line["status"] == "done"]
        once = len(every_line) == len(set(every_line)) == readable
        redone = [p for p, t in before.items() if p.exists() and p.stat().st_mtime_ns != t]
        print(f"\n2. killed at {len(part)} lines (exit {killed['status']}), {left} temporaries left "
              f"then; resumed: exit {resumed['status']}, {resumed['seconds']:.1f} s")
        print(f"   temporaries after: {len(temporaries(out2))}; done exactly once across the two: {once} "
              f"({len(done_first)} + {len(done_second)} of {readable}); outputs finished before and "
              f"rewritten: {len(redone)}; done in both runs: {len(done_first & done_second)}")

        # 3. The batch against the engine, and one job against the same work done here.
        engine, whole = engine_seconds(kinds, args.jobs, scratch, output)
        single = run_watched(command(tree, scratch / "out1", scratch / "run1.jsonl", output, "--jobs", "1",
                                     "--threads", "1"),
                             scratch / "run1.jsonl", args.files)
        print(f"\n3. batch {first['seconds']:.1f} s; engine alone {engine:.1f} s per job "
              f"(ratio {first['seconds'] / engine:.2f}); read + threshold + write here {whole:.1f} s "
              f"per job (ratio {first['seconds'] / whole:.2f})")
        print(f"   one job on one thread: {single['seconds']:.1f} s against {whole * args.jobs:.1f} s here "
              f"(ratio {single['seconds'] / (whole * args.jobs):.2f}); two jobs against one: "
              f"{single['seconds'] / first['seconds']:.2f}x")

        # 4. Through a scheduler.
        if not args.no_scheduler:
            out3, log3 = scratch / "out3", scratch / "run3.jsonl"
            remote = scheduler_run(tree, out3, log3, output)
            if remote is None:
                print("\n4. no dask command: scheduler run skipped")
            else:
                same_files = all((out3 / p.relative_to(out)).read_bytes() == p.read_bytes() for p in written) \
                    and len([p for p in out3.rglob("*") if p.is_file()]) == len(written)
                same_record = comparable(list(read_lines(log3)), out3) == comparable(lines, out)
                print(f"\n4. scheduler, two workers: exit {remote['status']}, {remote['seconds']:.1f} s; "
                      f"same outputs byte for byte: {same_files}; same record but seconds: {same_record}")


if __name__ == "__main__":
    main()
