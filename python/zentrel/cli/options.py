"""The command line's options: the parser, its commands and their options,
and the keyword arguments of zentrel.binarize that they set.

    build_parser()            the main parser (the docs draw from it)
    parser_and_commands()     (main parser, {command name: its parser})
    analysis_settings(args)   binarize's keywords, or exit 2 for options that clash
"""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path
from typing import Optional

from zentrel.cli import chunked
from zentrel.cli.record import FIELDS
from zentrel.core import preset_conflict
from zentrel.core.limits import LIMITS
from zentrel.io import BINARY_FORMATS, image_format
from zentrel.report import REPORT_FORMATS

__all__ = ["DEFAULT_NAME", "EXIT_FAILED", "EXIT_USAGE", "PROG", "analysis_settings", "build_parser",
           "parser_and_commands"]

PROG = "zentrel"
EXIT_FAILED = 1
EXIT_USAGE = 2
# The engine takes C ints.
INT_MAX = 2**31 - 1
DEFAULT_NAME = "{stem}.png"


class Parser(argparse.ArgumentParser):
    """Reports a bad command line in one line, with exit status 2."""

    def error(self, message):
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


def integer_in(low: int, high: Optional[int] = INT_MAX):
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


def output_path(formats):
    """An argparse type: a path whose extension names one of ``formats``."""

    def parse(text: str) -> Path:
        try:
            image_format(text, formats)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None
        return Path(text)

    return parse


def name_pattern(text: str) -> str:
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


def add_common_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--percent", type=integer_in(0, 100), default=10, metavar="P",
                        help="share of the regions (0..100) to analyse, by variance (default 10)")
    parser.add_argument("--region-size", type=integer_in(1), default=32, metavar="R",
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
    parser.add_argument("--threads", type=integer_in(1), default=None, metavar="T",
                        help="threads of the engine per image (default: the cores, shared among jobs)")
    parser.add_argument("--rescale", action="store_true",
                        help="map the min..max range of images wider than 8 bits onto 0..255 "
                             "(--classic refuses them otherwise; auto maps their robust range)")
    parser.add_argument("--max-pixels", type=integer_in(1, None), default=None, metavar="N",
                        help="refuse images of more pixels (default: what memory holds)")
    parser.add_argument("--overwrite", action="store_true",
                        help="replace existing output files (never an input)")


def build_parser() -> argparse.ArgumentParser:
    """The command line's parser, with a command parser per command (the docs draw from it)."""
    return parser_and_commands()[0]


def parser_and_commands() -> tuple[argparse.ArgumentParser, dict]:
    """The main parser and its command parsers by name."""
    binary_formats = ", ".join(BINARY_FORMATS)
    parser = Parser(
        prog=PROG,
        description="Adaptive thresholding of grey images under uneven lighting.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    binarize = commands.add_parser(
        "binarize",
        help="threshold image files into black-and-white images",
        description=(
            "Threshold image files (PNG, TIFF, JPEG, BMP, PGM, ...) into images of 0 and 255, "
            f"written as {binary_formats} by the output's extension. "
            "Colour is turned into BT.601 luma; alpha is dropped. "
            "Every page of a file of several pages (multi-page TIFF, animated GIF) is "
            "thresholded on its own: a TIFF output holds them all in order (with --bilevel "
            "each page CCITT Group 4); PNG and PBM get one file per page, {stem}-p0001.png, "
            "{stem}-p0002.png, ... A folder given as INPUT is walked to any depth in name "
            "order (hidden files and the output folder passed over, each linked folder "
            "entered once) and its tree is mirrored under --out-dir."
        ),
        epilog=("--log writes one JSON object per line and input, with the fields: "
                + "; ".join(f"{name}: {meaning}" for name, meaning in FIELDS.items()) + "."),
    )
    binarize.add_argument("inputs", nargs="+", type=Path, metavar="INPUT",
                          help="image files, or folders to walk")
    target = binarize.add_mutually_exclusive_group(required=True)
    target.add_argument("-o", "--output", type=output_path(chunked.OUTPUT_FORMATS), metavar="OUTPUT",
                        help=f"output file ({binary_formats}; one input only)")
    target.add_argument("--out-dir", type=Path, metavar="DIR",
                        help="folder for the outputs, named by --name; a name already used by "
                             "an input or an earlier output gets -2, -3, ... before the extension")
    binarize.add_argument("--name", type=name_pattern, default=None, metavar="PATTERN",
                          help=f"output name in --out-dir, {{stem}} being the input's name without "
                               f"extension (default {DEFAULT_NAME})")
    binarize.add_argument("--bilevel", action="store_true",
                          help="write 1 bit per pixel (PNG; TIFF with CCITT Group 4 compression); "
                               "PBM always is")
    binarize.add_argument("--skip-existing", action="store_true",
                          help="pass over inputs whose output is complete: its --log record says "
                               "so or, without a line there, it decodes whole (a file of several "
                               "pages: all of them)")
    binarize.add_argument("--log", type=Path, default=None, metavar="FILE",
                          help="append one JSON line per input to FILE (see below)")
    binarize.add_argument("--jobs", type=integer_in(1), default=1, metavar="N",
                          help="worker processes for a batch (default 1)")
    chunked.add_options(binarize, integer_in(16))
    add_common_options(binarize)

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
    report.add_argument("-o", "--output", type=output_path(REPORT_FORMATS), required=True,
                        metavar="OUTPUT", help=f"report picture ({', '.join(REPORT_FORMATS)})")
    add_common_options(report)
    return parser, {"binarize": binarize, "demo": demo, "report": report}
