"""The ``zentrel`` command line: binarize, demo, report."""

from __future__ import annotations

import argparse
import importlib
import os
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Optional, Sequence

__all__ = ["main"]

PROG = "zentrel"

# What each command imports beyond numpy (module name, distribution name).
_NEEDS = {
    "binarize": (("PIL", "Pillow"), ("tqdm", "tqdm")),
    "report": (("PIL", "Pillow"), ("matplotlib", "matplotlib")),
    "demo": (("PIL", "Pillow"), ("matplotlib", "matplotlib")),
}


def _percent(text: str) -> int:
    value = _integer(text)
    if not 0 <= value <= 100:
        raise argparse.ArgumentTypeError(f"got {value}; it must lie in 0..100")
    return value


def _at_least_one(text: str) -> int:
    value = _integer(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"got {value}; it must be at least 1")
    return value


def _integer(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"got {text!r}; an integer is required") from None


def _add_analysis_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--percent", type=_percent, default=10, metavar="P",
                        help="share of the regions (0..100) to analyse, by variance (default 10)")
    parser.add_argument("--region-size", type=_at_least_one, default=32, metavar="R",
                        help="side of a region in pixels; regions overlap by half (default 32)")
    parser.add_argument("--smooth", action="store_true",
                        help="smooth each region histogram before its fit")


def _parser() -> tuple[argparse.ArgumentParser, dict]:
    """The main parser and its command parsers by name."""
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Adaptive thresholding of grey images under uneven lighting.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    binarize = commands.add_parser(
        "binarize",
        help="threshold image files into black-and-white PNGs",
        description=(
            "Threshold image files (PNG, TIFF, JPEG, BMP, PGM) into PNGs of 0 and 255. "
            "Colour is turned into BT.601 luma; alpha is dropped."
        ),
    )
    binarize.add_argument("inputs", nargs="+", type=Path, metavar="INPUT", help="image files")
    target = binarize.add_mutually_exclusive_group(required=True)
    target.add_argument("-o", "--output", type=Path, metavar="OUTPUT",
                        help="output PNG (one input only)")
    target.add_argument("--out-dir", type=Path, metavar="DIR",
                        help="folder for the outputs, named <stem>.png "
                             "(<stem>_binary.png where that would be an input)")
    _add_analysis_options(binarize)
    binarize.add_argument("--jobs", type=_at_least_one, default=1, metavar="N",
                          help="worker processes for a batch (default 1)")
    binarize.add_argument("--rescale", action="store_true",
                          help="map the min..max range of images wider than 8 bits onto 0..255 "
                               "(they are refused otherwise)")

    demo = commands.add_parser(
        "demo",
        help="threshold a synthetic unevenly lit scene and draw a report",
        description=(
            "Make an unevenly lit scene, threshold it, write the scene, the result and a "
            "report picture as PNG, and compare the result with the known objects."
        ),
    )
    demo.add_argument("--out-dir", type=Path, default=Path("zentrel-demo"), metavar="DIR",
                      help="folder for the pictures (default ./zentrel-demo)")

    report = commands.add_parser(
        "report",
        help="draw a picture of how an image was analysed",
        description=(
            "Draw one PNG with the input, the region grid with passed and failed regions, "
            "the threshold surface, the result and a few region histograms with their fits."
        ),
    )
    report.add_argument("input", type=Path, metavar="INPUT", help="image file")
    report.add_argument("-o", "--output", type=Path, required=True, metavar="OUTPUT",
                        help="report picture (PNG)")
    report.add_argument("--rescale", action="store_true",
                        help="map the range of images wider than 8 bits onto 0..255")
    _add_analysis_options(report)
    return parser, {"binarize": binarize, "demo": demo, "report": report}


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
        raise SystemExit(1)


def _error(message: str) -> None:
    sys.stderr.write(f"{PROG}: error: {message}\n")


# ---------------------------------------------------------------- binarize


@dataclass(frozen=True)
class _Job:
    source: Path
    target: Path
    percent: int
    region_size: int
    smooth: bool
    rescale: bool
    threads: Optional[int]


def _same_file(a: Path, b: Path) -> bool:
    if a.resolve() == b.resolve():
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


class _Inputs:
    """Recognises the input files by resolved path and by inode (links)."""

    def __init__(self, inputs: Sequence[Path]):
        self._paths = {path.resolve() for path in inputs}
        self._inodes = {key for key in map(self._inode, inputs) if key is not None}

    @staticmethod
    def _inode(path: Path):
        try:
            status = path.stat()
        except OSError:
            return None
        return status.st_dev, status.st_ino

    def __contains__(self, path: Path) -> bool:
        return path.resolve() in self._paths or self._inode(path) in self._inodes


def _plan(inputs: Sequence[Path], output: Optional[Path], out_dir: Optional[Path]):
    """Pair each input with its output; inputs that cannot be written get an error."""
    known = _Inputs(inputs)
    pairs, errors = [], []
    claimed = {}
    for source in inputs:
        if output is not None:
            target = output
        else:
            target = out_dir / f"{source.stem}.png"
            if target in known:
                target = out_dir / f"{source.stem}_binary.png"
        if target in known:
            errors.append((source, f"refusing to overwrite the input {target}"))
            continue
        key = target.resolve()
        if key in claimed:
            errors.append((source, f"{target} is already the output of {claimed[key]}"))
            continue
        claimed[key] = source
        pairs.append((source, target))
    return pairs, errors


def _binarize_one(job: _Job) -> Optional[str]:
    """Threshold one file; return an error message or None. Runs in workers too."""
    import zentrel
    from zentrel._imageio import ImageReadError, read_grey, write_png

    try:
        image = read_grey(job.source, rescale=job.rescale)
    except ImageReadError as error:
        return str(error)
    try:
        binary = zentrel.binarize(image, percent=job.percent, region_size=job.region_size,
                                  smooth=job.smooth, threads=job.threads, preset="classic")
    except (ValueError, MemoryError) as error:
        return str(error) or type(error).__name__
    try:
        write_png(job.target, binary)
    except OSError as error:
        return f"cannot write {job.target}: {error.strerror or error}"
    return None


def _run_binarize(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    if args.output is not None and len(args.inputs) > 1:
        parser.error("-o/--output takes one input; use --out-dir for several")
    if args.out_dir is not None:
        if args.out_dir.exists() and not args.out_dir.is_dir():
            parser.error(f"--out-dir: {args.out_dir} is not a folder")
        try:
            args.out_dir.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            parser.error(f"--out-dir: cannot create {args.out_dir}: {error.strerror or error}")

    from tqdm import tqdm

    pairs, errors = _plan(args.inputs, args.output, args.out_dir)
    for source, message in errors:
        _error(f"{source}: {message}")
    jobs_count = min(args.jobs, max(len(pairs), 1))
    # Each worker process gets its share of the cores, so workers do not oversubscribe.
    threads = None if jobs_count == 1 else max(1, (os.cpu_count() or 1) // jobs_count)
    jobs = [_Job(source, target, args.percent, args.region_size, args.smooth, args.rescale, threads)
            for source, target in pairs]

    failed = len(errors)
    batch = len(args.inputs) > 1
    with tqdm(total=len(jobs), file=sys.stderr, unit="image", disable=None if batch else True,
              dynamic_ncols=True) as bar:

        def report(job: _Job, message: Optional[str]) -> None:
            nonlocal failed
            if message is not None:
                failed += 1
                bar.write(f"{PROG}: error: {job.source}: {message}", file=sys.stderr)
            bar.update(1)

        if jobs_count == 1:
            for job in jobs:
                report(job, _binarize_one(job))
        else:
            _run_pool(jobs, jobs_count, report)
    return 1 if failed else 0


def _run_pool(jobs, workers: int, report) -> None:
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor, as_completed

    # Spawned workers do not inherit the parent's threads (tqdm's monitor).
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=workers, mp_context=context) as pool:
        futures = {pool.submit(_binarize_one, job): job for job in jobs}
        for future in as_completed(futures):
            job = futures[future]
            try:
                message = future.result()
            except Exception as error:  # a worker that died takes its file with it
                message = f"worker failed: {error}"
            report(job, message)


# ---------------------------------------------------------------- report


def _run_report(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from zentrel._imageio import ImageReadError, read_grey
    from zentrel.report import draw_report

    if _same_file(args.output, args.input):
        _error(f"{args.input}: refusing to overwrite the input with the report")
        return 1
    try:
        image = read_grey(args.input, rescale=args.rescale)
    except ImageReadError as error:
        _error(f"{args.input}: {error}")
        return 1
    try:
        analysis = draw_report(image, args.output, percent=args.percent,
                               region_size=args.region_size, smooth=args.smooth)
    except ValueError as error:
        _error(f"{args.input}: {error}")
        return 1
    except OSError as error:
        _error(f"cannot write {args.output}: {error.strerror or error}")
        return 1
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


def best_global_accuracy(image, objects) -> tuple[int, float]:
    """The best share of pixels right by one global threshold t (white where image >= t)."""
    import numpy as np

    image = np.asarray(image, dtype=np.uint8)
    object_counts = np.bincount(image[objects], minlength=256)
    background_counts = np.bincount(image[~objects], minlength=256)
    # At threshold t: objects below t are right (black), background at or above t is right.
    objects_below = np.concatenate(([0], np.cumsum(object_counts)))
    background_at_or_above = background_counts.sum() - np.concatenate(([0], np.cumsum(background_counts)))
    right = objects_below + background_at_or_above
    best = int(np.argmax(right))
    return best, float(right[best]) / image.size


def _run_demo(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    import zentrel
    from zentrel._imageio import write_png
    from zentrel.report import draw_report

    out_dir = args.out_dir
    if out_dir.exists() and not out_dir.is_dir():
        parser.error(f"--out-dir: {out_dir} is not a folder")
    try:
        out_dir.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        parser.error(f"--out-dir: cannot create {out_dir}: {error.strerror or error}")

    image, objects = zentrel.uneven_scene(DEMO_SHAPE, **DEMO_SCENE)
    settings = {"percent": DEMO_PERCENT, "region_size": DEMO_REGION_SIZE}
    binary = zentrel.binarize(image, **settings, preset="classic")
    paths = [out_dir / "scene.png", out_dir / "binary.png", out_dir / "report.png"]
    try:
        write_png(paths[0], image)
        write_png(paths[1], binary)
        draw_report(image, paths[2], smooth=False, **settings)
    except OSError as error:
        _error(f"cannot write into {out_dir}: {error.strerror or error}")
        return 1

    right = int(((binary == 0) == objects).sum())
    threshold, global_right = best_global_accuracy(image, objects)
    for path in paths:
        print(path)
    print(f"{right} of {image.size} pixels ({right / image.size:.4%}) classified right against "
          f"the known objects (percent {DEMO_PERCENT}, region size {DEMO_REGION_SIZE}); the best "
          f"single global threshold ({threshold}) gets {global_right:.4%}")
    return 0


_COMMANDS = {"binarize": _run_binarize, "report": _run_report, "demo": _run_demo}


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line; return the exit status."""
    parser, commands = _parser()
    args = parser.parse_args(argv)
    _require(args.command)
    return _COMMANDS[args.command](args, commands[args.command])
