"""The ``zentrel`` command line: binarize, demo, report."""

from __future__ import annotations

import argparse
import contextlib
import importlib
import os
import signal
import sys
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import Optional, Sequence

from zentrel import scenes
from zentrel.api import binarize as binarize_image
from zentrel.cli import batch, chunked, stops, tree
from zentrel.cli.progress import Progress
from zentrel.cli.record import Record
from zentrel.cli.resume import resume
from zentrel.cli.options import DEFAULT_NAME, EXIT_FAILED, PROG, analysis_settings, parser_and_commands
from zentrel.io import (ImageReadError, default_max_pixels, exists_message, is_zarr, one_line, png_text,
                        read_grey, write_image)
from zentrel.report import draw_report

__all__ = ["main"]

# What each command imports beyond numpy (module name, distribution name).
_NEEDS = {
    "binarize": (("PIL", "Pillow"), ("tqdm", "tqdm")),
    "report": (("PIL", "Pillow"), ("matplotlib", "matplotlib")),
    "demo": (("PIL", "Pillow"), ("matplotlib", "matplotlib")),
}


def _require(command: str) -> None:
    """Exit with one line naming the missing packages of the ``cli`` extra."""
    missing = []
    for module, distribution in _NEEDS[command]:
        try:
            importlib.import_module(module)
        except ImportError:
            missing.append(distribution)
    if missing:
        sys.stderr.write(
            f"{PROG}: error: the {command} command needs {', '.join(missing)}: "
            f'pip install "zentrel[cli]"\n'
        )
        raise SystemExit(EXIT_FAILED)


def _error(message: str) -> None:
    sys.stderr.write(f"{PROG}: error: {message}\n")


def _make_folder(folder: Path, parser: argparse.ArgumentParser) -> None:
    if folder.exists() and not folder.is_dir():
        parser.error(f"--out-dir: {folder} is not a folder")
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        parser.error(f"--out-dir: cannot create {folder}: {error.strerror or error}")


@dataclass
class _Tally:
    """Files a command is to write, and how many it has written."""

    total: int = 0
    done: int = 0
    skipped: int = 0


# ---------------------------------------------------------------- binarize


def _run_binarize(args: argparse.Namespace, parser: argparse.ArgumentParser, tally: _Tally) -> int:
    if args.output is not None and len(args.inputs) > 1:
        parser.error("-o/--output takes one input; use --out-dir for several")
    if args.output is not None and args.name is not None:
        parser.error("--name applies to --out-dir only")
    if args.output is not None and args.inputs[0].is_dir() and not is_zarr(args.inputs[0]):
        parser.error(f"-o/--output takes one input file; use --out-dir for the folder {args.inputs[0]}")
    if args.out_dir is not None:
        _make_folder(args.out_dir, parser)

    walked = tree.walk(args.inputs, skip=[args.out_dir] if args.out_dir is not None else [])
    for note in walked.notes:
        sys.stderr.write(f"{PROG}: {note}\n")
    found = walked.found
    pairs, refused = batch.plan(found, args.output, args.out_dir, args.name or DEFAULT_NAME,
                                args.overwrite, args.skip_existing)
    settings = analysis_settings(args)
    tally.total = len(found)
    try:
        log = Record(args.log) if args.log is not None else None
    except OSError as error:
        parser.error(f"--log: cannot open {args.log}: {error.strerror or error}")
    run = Progress(tally, log, enabled=len(found) > 1)
    try:
        for index, source, message in refused:
            run.ended(index, source, batch.entry(source, error=message))
        for number, (folder, message) in enumerate(walked.errors, start=len(found)):
            run.ended(number, folder, batch.entry(folder, error=message))
        pairs, replace = resume(pairs, run.ended, args.log if args.skip_existing else None)
        if chunked.wanted(args, [source for _, source, _ in pairs]):
            read_chunked, per_task, pairs = chunked.split(args, pairs)
            for index, source, line in chunked.run(args, settings, read_chunked, per_task,
                                                   args.skip_existing):
                run.ended(index, source, line)
        workers = min(args.jobs, max(len(pairs), 1))
        # Each worker process gets its share of the cores, so workers do not oversubscribe.
        threads = args.threads or (None if workers == 1 else max(1, (os.cpu_count() or 1) // workers))
        max_pixels = args.max_pixels or default_max_pixels(workers)
        jobs = [batch.Job(index, source, target, settings, args.rescale, threads, max_pixels,
                          args.bilevel, args.overwrite or index in replace, args.skip_existing)
                for index, source, target in pairs]
        with contextlib.closing(batch.run(jobs, workers, run.lost)) as results:
            for job, line in results:
                run.ended(job.index, job.source, line)
    finally:
        # After the others, and also when stopped: one line per file that failed.
        run.close(_error)
    if len(found) > 1 or tally.skipped:
        sys.stderr.write(f"{PROG}: {run.counts()}\n")
    return EXIT_FAILED if run.failures else 0


def _same_file(a: Path, b: Path) -> bool:
    if a.resolve() == b.resolve():
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


# ---------------------------------------------------------------- report


def _run_report(args: argparse.Namespace, parser: argparse.ArgumentParser, tally: _Tally) -> int:
    tally.total = 1
    if _same_file(args.output, args.input):
        _error(f"{args.input}: refusing to overwrite the input with the report")
        return EXIT_FAILED
    if not args.overwrite and os.path.lexists(args.output):
        _error(f"{args.input}: {exists_message(args.output)}")
        return EXIT_FAILED
    try:
        settings = analysis_settings(args)
        image = read_grey(args.input, rescale=args.rescale, max_pixels=args.max_pixels,
                          keep_wide=settings["preset"] != "classic")
        analysis = draw_report(image, args.output, threads=args.threads,
                               overwrite=args.overwrite, **settings)
    except (ImageReadError, FileExistsError) as error:
        _error(f"{args.input}: {error}")
        return EXIT_FAILED
    except OSError as error:
        _error(f"{args.input}: cannot write {args.output}: {error.strerror or one_line(error)}")
        return EXIT_FAILED
    except MemoryError:
        _error(f"{args.input}: not enough memory")
        return EXIT_FAILED
    except (ValueError, TypeError) as error:
        _error(f"{args.input}: {one_line(error)}")
        return EXIT_FAILED
    tally.done = 1
    print(args.output)
    print(f"{analysis.valid_count} of {analysis.selected_count} selected regions passed "
          f"(grid {analysis.grid_shape[0]}x{analysis.grid_shape[1]})")
    return 0


# ---------------------------------------------------------------- demo

# The scene and the settings of the demo: objects sparse enough that some selected
# regions hold background only and fail, so the report shows both outcomes.
DEMO_SHAPE = (768, 1024)
DEMO_SCENE = {"noise": 6.0, "spacing": 128, "seed": 7}
DEMO_PERCENT = 30
DEMO_REGION_SIZE = 32
DEMO_FILES = ("scene.png", "binary.png", "report.png")
# PNG text that marks the demo's own pictures, which a later demo may replace.
DEMO_MARK = {"Software": "zentrel demo"}


def _is_demo_picture(path: Path) -> bool:
    text = png_text(path)
    return all(text.get(key) == value for key, value in DEMO_MARK.items())


def _run_demo(args: argparse.Namespace, parser: argparse.ArgumentParser, tally: _Tally) -> int:
    _make_folder(args.out_dir, parser)
    paths = [args.out_dir / name for name in DEMO_FILES]
    tally.total = len(paths)
    # Pictures an earlier demo wrote carry its mark and are replaced; other files need --overwrite.
    blocked = [path for path in paths if os.path.lexists(path) and not args.overwrite
               and not _is_demo_picture(path)]
    for path in blocked:
        _error(exists_message(path))
    if blocked:
        return EXIT_FAILED

    image, objects = scenes.uneven_scene(DEMO_SHAPE, **DEMO_SCENE)
    settings = {"percent": DEMO_PERCENT, "region_size": DEMO_REGION_SIZE}
    binary = binarize_image(image, **settings)
    try:
        for path, picture in zip(paths, (image, binary)):
            write_image(path, picture, overwrite=True, text=DEMO_MARK)
            tally.done += 1
        draw_report(image, paths[2], overwrite=True, metadata=DEMO_MARK, **settings)
        tally.done += 1
    except OSError as error:
        _error(f"cannot write into {args.out_dir}: {error.strerror or one_line(error)}")
        return EXIT_FAILED

    right = int(((binary == 0) == objects).sum())
    threshold, global_right = scenes.best_global_accuracy(image, objects)
    for path in paths:
        print(path)
    print(f"{right} of {image.size} pixels ({right / image.size:.4%}) classified right against "
          f"the known objects (percent {DEMO_PERCENT}, region size {DEMO_REGION_SIZE}); the best "
          f"single global threshold ({threshold}) gets {global_right:.4%}")
    return 0


_COMMANDS = {"binarize": _run_binarize, "report": _run_report, "demo": _run_demo}


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line; return the exit status.

    SIGINT and SIGTERM stop a run cleanly: finished files stay, no file is
    left half-written, one line says how many files were done, and the
    status is 128 + the signal's number.
    """
    tally = _Tally()
    catching = threading.current_thread() is threading.main_thread()
    previous = {number: signal.signal(number, stops.stop) for number in stops.STOP_SIGNALS} if catching else {}
    try:
        parser, commands = parser_and_commands()
        args = parser.parse_args(argv)
        _require(args.command)
        return _COMMANDS[args.command](args, commands[args.command], tally)
    except stops.Stopped as stop:
        done = f"{tally.done} of {tally.total} files done" if tally.total else "no file done"
        if tally.skipped:
            done += f", {tally.skipped} skipped"
        sys.stderr.write(f"{PROG}: interrupted: {done}\n")
        return 128 + stop.signum
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
