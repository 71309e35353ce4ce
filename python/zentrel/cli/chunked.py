"""The binarize command past one machine: --chunks and --scheduler.

A file goes through the chunked path (zentrel.dask) when it is Zarr, when
its output is Zarr, when --chunks asks for it, or when it is a TIFF larger
than what memory holds (--max-pixels); there it is read and written chunk by
chunk. With --scheduler the files are spread over a dask.distributed
cluster: the others one file per task, the chunked ones through the cluster
too. Without either, the command runs as before. Workers read and write the
files themselves, so on a real cluster the paths must be on storage they
share.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path
from typing import Iterator, Optional

from zentrel.cli import batch
from zentrel.io import (BINARY_FORMATS, ImageReadError, default_max_pixels, failure_text, image_format,
                        is_zarr, read_grey, write_image)

DEFAULT_CHUNK = 4096
# What binarize writes: Zarr through the chunked path, the rest either way.
OUTPUT_FORMATS = {**BINARY_FORMATS, ".zarr": "Zarr"}
EXTRA = 'pip install "zentrel[dask]"'


def add_options(parser: argparse.ArgumentParser, integer_type) -> None:
    parser.add_argument("--chunks", type=integer_type, default=None, metavar="N",
                        help="threshold in chunks of N x N pixels through dask, reading and "
                             "writing chunk by chunk (Zarr and TIFF); the default for Zarr, for "
                             f"TIFF above --max-pixels and for Zarr outputs, with N {DEFAULT_CHUNK}")
    parser.add_argument("--scheduler", default=None, metavar="ADDRESS",
                        help="spread the files over the dask.distributed cluster of this "
                             "scheduler (e.g. tcp://host:8786); the files must be on storage "
                             "the workers share")


def _tiff_pixels(path: Path) -> int:
    if path.suffix.lower() not in (".tif", ".tiff"):
        return 0
    try:
        import tifffile

        with tifffile.TiffFile(path) as tiff:
            shape = tiff.series[0].levels[0].shape
    except Exception:  # not readable here: the normal path reports it
        return 0
    axes = [n for n in shape if n not in (1, 3, 4)] or list(shape)
    return int(axes[-1]) * int(axes[-2]) if len(axes) >= 2 else 0


def _chunked(source: Path, target: Path, args, limit: int) -> bool:
    return (args.chunks is not None or is_zarr(source) or target.suffix.lower() == ".zarr"
            or _tiff_pixels(source) > limit)


def wanted(args, sources) -> bool:
    """Whether this command line needs the chunked or distributed path for ``sources``."""
    if args.scheduler is not None or args.chunks is not None:
        return True
    limit = args.max_pixels or default_max_pixels()
    targets = [args.output] if args.output is not None else [Path(args.name or "x.png")]
    return any(_chunked(source, targets[0], args, limit) for source in sources)


def split(args, plan: list) -> tuple:
    """(chunked, one per task, local) of the planned (index, source, target)
    files: the files read chunk by chunk, the others that go to the
    scheduler one file per task (with --scheduler), and those left for the
    local in-memory path (without it)."""
    limit = args.max_pixels or default_max_pixels()
    chunked, others = [], []
    for item in plan:
        (chunked if _chunked(item[1], item[2], args, limit) else others).append(item)
    return (chunked, others, []) if args.scheduler is not None else (chunked, [], others)


def run(args, settings: dict, chunked: list, per_task: list, skip_existing: bool = False) -> Iterator[tuple]:
    """Threshold the (index, source, target) files that split() gave dask,
    chunked and (with --scheduler) one per task, with ``settings`` (keyword
    arguments of zentrel.binarize), yielding (index, source, its line of the
    record) as each is done."""
    try:
        import dask
        import zentrel.dask  # noqa: F401
        if args.scheduler is not None:
            import distributed
    except ImportError as error:
        raise SystemExit(f"zentrel: error: --chunks, --scheduler and Zarr need dask: {EXTRA} "
                         f"({error})") from None

    limit = args.max_pixels or default_max_pixels()
    if args.scheduler is None:
        with dask.config.set(scheduler="threads"):
            for index, source, target in chunked:
                yield index, source, _binarize_chunked(source, target, args, settings, skip_existing)
        return

    try:
        client = distributed.Client(args.scheduler, timeout="20s")
    except (OSError, TimeoutError) as error:
        raise SystemExit(f"zentrel: error: cannot reach the scheduler {args.scheduler}: "
                         f"{error}") from None
    sys.stderr.write(f"zentrel: dashboard {client.dashboard_link}\n")
    # One engine thread per task: the workers run as many tasks as they have threads.
    jobs = {client.submit(batch.binarize_one, batch.Job(
        index, source, target, settings, args.rescale, args.threads or 1, limit, args.bilevel,
        args.overwrite, skip_existing), pure=False): (index, source) for index, source, target in per_task}
    try:
        with dask.config.set(scheduler=client):
            for index, source, target in chunked:
                yield index, source, _binarize_chunked(source, target, args, settings, skip_existing)
            for future in distributed.as_completed(jobs):
                index, source = jobs[future]
                try:
                    line = future.result()
                except Exception as error:  # a task that could not run, or lost its workers
                    line = batch.entry(source, error=f"worker failed: {error}")
                yield index, source, line
    finally:
        for future in jobs:
            future.cancel()
        client.close()


def _tiff_pages(path: Path) -> int:
    import tifffile

    try:
        with tifffile.TiffFile(path) as tiff:
            return len(tiff.pages)
    except Exception:  # not readable here: reading it reports it
        return 1


def _binarize_chunked(source: Path, target: Path, args, settings: dict, skip_existing: bool) -> dict:
    """Threshold one file chunk by chunk; its line of the record. With
    ``skip_existing`` an existing target that is complete (Zarr and tiled
    TIFF are written whole or not at all; other files must decode) is
    passed over."""
    import dask.array as da

    import zentrel.dask as zd
    from zentrel.dask import io

    started = time.perf_counter()
    chunks = args.chunks or DEFAULT_CHUNK
    wide = settings.get("preset") != "classic"
    line = batch.entry(source, pages=1)
    if skip_existing and os.path.lexists(target) and (is_zarr(target) or batch.complete([target], 1)):
        line.update(status="skipped", outputs=[str(target)])
        return line
    try:
        tiff = source.suffix.lower() in (".tif", ".tiff")
        pages = _tiff_pages(source) if tiff else 1
        if pages > 1:
            raise ImageReadError(f"{pages} pages: the chunked path takes one; leave out --chunks to "
                                 "threshold it page by page")
        if is_zarr(source) or tiff:
            image = io.open_image(source, chunks=chunks, rescale=args.rescale, keep_wide=wide)
        else:
            image = da.from_array(read_grey(source, rescale=args.rescale, keep_wide=wide,
                                            max_pixels=args.max_pixels), chunks=chunks)
        binary = zd.binarize(image, threads=args.threads, **settings)
        if target.suffix.lower() in io.CHUNKED_FORMATS and not args.bilevel:
            io.write(binary, target, overwrite=args.overwrite)
        else:
            image_format(target)
            write_image(target, binary.compute(), bilevel=args.bilevel, overwrite=args.overwrite)
        line.update(status="done", outputs=[str(target)], pixels=int(image.size))
    except Exception as error:
        line["error"] = failure_text(error, target)
    line["seconds"] = round(time.perf_counter() - started, 3)
    return line
