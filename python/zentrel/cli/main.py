"""The ``zentrel`` command line: binarize, demo, report."""

from __future__ import annotations

import argparse
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
from zentrel.cli import batch, chunked
from zentrel.core import preset_conflict
from zentrel.core.limits import LIMITS
from zentrel.io import (BINARY_FORMATS, ImageReadError, default_max_pixels, exists_message,
                        image_format, one_line, png_text, read_grey, write_image)
from zentrel.report import REPORT_FORMATS, draw_report

__all__ = ["build_parser", "main"]

PROG = "zentrel"
EXIT_FAILED = 1
EXIT_USAGE = 2
# A run stopped by one of these exits with 128 + its number: 130 for SIGINT, 143 for SIGTERM.
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)
# The engine takes C ints.
INT_MAX = 2**31 - 1
DEFAULT_NAME = "{stem}.png"

# What each command imports beyond numpy (module name, distribution name).
_NEEDS = {
    "binarize": (("PIL", "Pillow"), ("tqdm", "tqdm")),
    "report": (("PIL", "Pillow"), ("matplotlib", "matplotlib")),
    "demo": (("PIL", "Pillow"), ("matplotlib", "matplotlib")),
}


class _Parser(argparse.ArgumentParser):
    """Reports a bad command line in one line, with exit status 2."""

    def error(self, message):
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


def _integer_in(low: int, high: Optional[int] = INT_MAX):
    """An argparse type: an integer in low..high (no upper bound when high is None)."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"got {text!r}; an integer is required") from None
        if value < low or (high is not None and value > high):
            bound = f"lie in {low}..{high}" if high is not None else f"be at least {low}"
            raise argparse.ArgumentTypeError(f"got {value}; it must {bound}")
        return value

    return parse


def _output_path(formats):
    """An argparse type: a path whose extension names one of ``formats``."""

    def parse(text: str) -> Path:
        try:
            image_format(text, formats)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None
        return Path(text)

    return parse


def _name_pattern(text: str) -> str:
    """An argparse type: a file name pattern with {stem} and a supported extension."""
    try:
        name = text.format(stem="x")
    except (KeyError, IndexError, ValueError, AttributeError):
        raise argparse.ArgumentTypeError(
            f"got {text!r}; the only field is {{stem}}, as in {{stem}}-bw.png") from None
    if not name or name in (".", "..") or any(sep and sep in name for sep in (os.sep, os.altsep)):
        raise argparse.ArgumentTypeError(f"got {text!r}; it must give a file name, without folders")
    try:
        image_format(name, chunked.OUTPUT_FORMATS)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def analysis_settings(args: argparse.Namespace) -> dict:
    """The keyword arguments of zentrel.binarize that the options set.

    Exits with status 2 for limits or --smooth without --classic, and for
    --objects with it.
    """
    limits = {}
    for option in LIMITS:
        value = getattr(args, option.name, None)
        if value is not None:
            limits[option.name] = tuple(value) if option.arity == 2 else value
    classic = args.preset == "classic"
    conflict = preset_conflict(args.preset, args.objects, args.smooth, limits)
    if conflict is not None:
        option, rule = conflict
        if rule == "auto":
            problem = f"--{option} applies to the automatic default, not --classic"
        else:
            problem = f"--{option.replace('_', '-')} applies to --classic only"
        sys.stderr.write(f"{PROG}: error: {problem}\n")
        raise SystemExit(EXIT_USAGE)
    settings = {"percent": args.percent, "region_size": args.region_size, "preset": args.preset,
                **limits}
    if classic:
        settings["smooth"] = args.smooth
    else:
        settings["objects"] = args.objects
    return settings


def _add_common_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--percent", type=_integer_in(0, 100), default=10, metavar="P",
                        help="share of the regions (0..100) to analyse, by variance (default 10)")
    parser.add_argument("--region-size", type=_integer_in(1), default=32, metavar="R",
                        help="side of a region in pixels; regions overlap by half, and each "
                             "image side must be at least R (default 32)")
    parser.add_argument("--smooth", action="store_true",
                        help="smooth each region histogram before its fit (--classic only)")
    parser.add_argument("--preset", choices=("auto", "classic"), default="auto",
                        help="auto (default): limits, polarity and value range from the image; "
                             "classic: the fixed limits of zentrel_py.AdaptiveThreshold")
    parser.add_argument("--classic", dest="preset", action="store_const", const="classic",
                        help="same as --preset classic")
    parser.add_argument("--objects", choices=("dark", "bright"), default=None,
                        help="the objects' side: dark on bright, or bright on dark "
                             "(default: found from the image; auto only)")
    limits = parser.add_argument_group(
        "analysis limits (--classic only; the automatic default derives its own)")
    for option in LIMITS:
        flag = "--" + option.name.replace("_", "-")
        kind = int if option.integer else float
        if option.arity == 2:
            limits.add_argument(flag, type=kind, nargs=2, metavar=("LOW", "HIGH"), default=None,
                                help=f"{option.meaning} (default {option.default[0]:g} {option.default[1]:g})")
        else:
            limits.add_argument(flag, type=kind, metavar="X", default=None,
                                help=f"{option.meaning} (default {option.default:g})")
    parser.add_argument("--threads", type=_integer_in(1), default=None, metavar="T",
                        help="threads of the engine per image (default: the cores, shared among jobs)")
    parser.add_argument("--rescale", action="store_true",
                        help="map the min..max range of images wider than 8 bits onto 0..255 "
                             "(--classic refuses them otherwise; auto maps their robust range)")
    parser.add_argument("--max-pixels", type=_integer_in(1, None), default=None, metavar="N",
                        help="refuse images of more pixels (default: what memory holds)")
    parser.add_argument("--overwrite", action="store_true",
                        help="replace existing output files (never an input)")


def build_parser() -> argparse.ArgumentParser:
    """The command line's parser, with a command parser per command (the docs draw from it)."""
    return _parser()[0]


def _parser() -> tuple[argparse.ArgumentParser, dict]:
    """The main parser and its command parsers by name."""
    binary_formats = ", ".join(BINARY_FORMATS)
    parser = _Parser(
        prog=PROG,
        description="Adaptive thresholding of grey images under uneven lighting.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    binarize = commands.add_parser(
        "binarize",
        help="threshold image files into black-and-white images",
        description=(
            "Threshold image files (PNG, TIFF, JPEG, BMP, PGM) into images of 0 and 255, "
            f"written as {binary_formats} by the output's extension. "
            "Colour is turned into BT.601 luma; alpha is dropped."
        ),
    )
    binarize.add_argument("inputs", nargs="+", type=Path, metavar="INPUT", help="image files")
    target = binarize.add_mutually_exclusive_group(required=True)
    target.add_argument("-o", "--output", type=_output_path(chunked.OUTPUT_FORMATS), metavar="OUTPUT",
                        help=f"output file ({binary_formats}; one input only)")
    target.add_argument("--out-dir", type=Path, metavar="DIR",
                        help="folder for the outputs, named by --name; a name already used by "
                             "an input or an earlier output gets -2, -3, ... before the extension")
    binarize.add_argument("--name", type=_name_pattern, default=None, metavar="PATTERN",
                          help=f"output name in --out-dir, {{stem}} being the input's name without "
                               f"extension (default {DEFAULT_NAME})")
    binarize.add_argument("--bilevel", action="store_true",
                          help="write 1 bit per pixel (PNG; TIFF with CCITT Group 4 compression); "
                               "PBM always is")
    binarize.add_argument("--jobs", type=_integer_in(1), default=1, metavar="N",
                          help="worker processes for a batch (default 1)")
    chunked.add_options(binarize, _integer_in(16))
    _add_common_options(binarize)

    demo = commands.add_parser(
        "demo",
        help="threshold a synthetic unevenly lit scene and draw a report",
        description=(
            "Make an unevenly lit scene, threshold it, write the scene, the result and a "
            "report picture as PNG, and compare the result with the known objects. "
            "Pictures of an earlier demo are replaced; other files only with --overwrite."
        ),
    )
    demo.add_argument("--out-dir", type=Path, default=Path("zentrel-demo"), metavar="DIR",
                      help="folder for the pictures (default ./zentrel-demo)")
    demo.add_argument("--overwrite", action="store_true",
                      help="replace files of these names that an earlier demo did not write")

    report = commands.add_parser(
        "report",
        help="draw a picture of how an image was analysed",
        description=(
            "Draw one picture (PNG, SVG or PDF by the extension) with the input, the region "
            "grid with passed and failed regions, the threshold surface, the result and a few "
            "region histograms with their fits."
        ),
    )
    report.add_argument("input", type=Path, metavar="INPUT", help="image file")
    report.add_argument("-o", "--output", type=_output_path(REPORT_FORMATS), required=True,
                        metavar="OUTPUT", help=f"report picture ({', '.join(REPORT_FORMATS)})")
    _add_common_options(report)
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


# ---------------------------------------------------------------- stopping


class _Stopped(BaseException):
    """Raised in the main thread by SIGINT or SIGTERM; not an Exception, so nothing swallows it."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


def _stop(signum, frame) -> None:
    # Later signals are ignored, so the clean-up the first one starts can finish.
    for number in STOP_SIGNALS:
        signal.signal(number, signal.SIG_IGN)
    raise _Stopped(signum)


@dataclass
class _Tally:
    """Files a command is to write, and how many it has written."""

    total: int = 0
    done: int = 0


# ---------------------------------------------------------------- binarize


def _run_binarize(args: argparse.Namespace, parser: argparse.ArgumentParser, tally: _Tally) -> int:
    if args.output is not None and len(args.inputs) > 1:
        parser.error("-o/--output takes one input; use --out-dir for several")
    if args.output is not None and args.name is not None:
        parser.error("--name applies to --out-dir only")
    if args.out_dir is not None:
        _make_folder(args.out_dir, parser)

    pairs, errors = batch.plan(args.inputs, args.output, args.out_dir, args.name or DEFAULT_NAME,
                                args.overwrite)
    failures = {index: (source, message) for index, source, message in errors}
    settings = analysis_settings(args)
    tally.total = len(args.inputs)
    if chunked.wanted(args):
        read_chunked, per_task, pairs = chunked.split(args, pairs)
        for index, source, message in chunked.run(args, settings, read_chunked, per_task):
            if message is None:
                tally.done += 1
            else:
                failures[index] = (source, message)
    workers = min(args.jobs, max(len(pairs), 1))
    # Each worker process gets its share of the cores, so workers do not oversubscribe.
    threads = args.threads or (None if workers == 1 else max(1, (os.cpu_count() or 1) // workers))
    max_pixels = args.max_pixels or default_max_pixels(workers)
    jobs = [batch.Job(index, source, target, settings, args.rescale, threads, max_pixels,
                       args.bilevel, args.overwrite)
            for index, source, target in pairs]
    tally.total = len(args.inputs)
    try:
        batch.run(jobs, workers, tally, failures, progress=len(args.inputs) > 1)
    finally:
        # After the others, and also when stopped: one line per file that failed.
        for index in sorted(failures):
            source, message = failures[index]
            _error(f"{source}: {message}")
    return EXIT_FAILED if failures else 0


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
    previous = {number: signal.signal(number, _stop) for number in STOP_SIGNALS} if catching else {}
    try:
        parser, commands = _parser()
        args = parser.parse_args(argv)
        _require(args.command)
        return _COMMANDS[args.command](args, commands[args.command], tally)
    except _Stopped as stop:
        done = f"{tally.done} of {tally.total} files done" if tally.total else "no file done"
        sys.stderr.write(f"{PROG}: interrupted: {done}\n")
        return 128 + stop.signum
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
