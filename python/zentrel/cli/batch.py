"""The binarize command's batch: naming the outputs, and running the files on workers.

    plan(inputs, output, out_dir, pattern, overwrite, skip_existing) -> (pairs, refused)
    binarize_one(job) -> its line of the record (runs in a worker, or on a dask worker)
    run(jobs, workers, on_lost) -> (job, line) as each ends
    outputs_of(target, pages), entry(source, status, **fields)

A file is thresholded page by page: a multi-page TIFF target gets every
page in order, another format one file per page ({stem}-p0001.png...). A
page that fails is named by its number; the others go on.
"""

from __future__ import annotations

import itertools
import os
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Iterator, Optional, Sequence

from zentrel import api
from zentrel.cli.tree import Found
from zentrel.cli.stops import held
from zentrel.cli.workers import Lost, Workers
from zentrel.core import Settings, no_region_error
from zentrel.io import (PAGED_FORMATS, decoded_pages, exists_message, failure_text, identity, image_format,
                        page_count, paged_name, read_pages, remove_page_temporaries, write_image, write_pages)

__all__ = ["Job", "binarize_one", "complete", "entry", "outputs_of", "plan", "run"]


@dataclass(frozen=True)
class Job:
    index: int
    source: Path
    target: Path
    settings: dict  # keyword arguments of zentrel.binarize
    rescale: bool
    threads: Optional[int]
    max_pixels: int
    bilevel: bool
    overwrite: bool
    skip_existing: bool = False  # pass over the file when its outputs decode whole


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


def _numbered(name: str, number: int) -> str:
    """``name`` with -<number> before its extension; the name itself for 1."""
    if number == 1:
        return name
    path = Path(name)
    return f"{path.stem}-{number}{path.suffix}"


def plan(inputs: Sequence[Found], output: Optional[Path], out_dir: Optional[Path], pattern: str,
         overwrite: bool, skip_existing: bool = False):
    """Each input's output as (index, input, target), and (index, input, message) for those refused.

    With ``output`` the one input goes there; otherwise into ``out_dir``
    below the input's folder (the tree mirrored), named by ``pattern``,
    where a name taken by an input or by an earlier output gets -2, -3, ...
    Names depend on the inputs alone, not on what the folder holds, so a
    repeated run gives the same names. An existing target is refused unless
    ``overwrite``, or ``skip_existing`` (the job then finds out whether it
    is complete).
    """
    known = _Inputs([item.source for item in inputs])
    claimed = set()
    pairs, errors = [], []
    for index, (source, below) in enumerate(inputs):
        if output is not None:
            target = output
            if target in known:
                errors.append((index, source, f"refusing to overwrite the input {target}"))
                continue
        else:
            name = pattern.format(stem=source.stem)
            for number in itertools.count(1):
                target = out_dir / below / _numbered(name, number)
                if target not in known and target.resolve() not in claimed:
                    break
        claimed.add(target.resolve())
        present = _written(target)
        if not (overwrite or skip_existing) and present is not None:
            errors.append((index, source, exists_message(present)))
            continue
        pairs.append((index, source, target))
    return pairs, errors


def _written(target: Path) -> Optional[Path]:
    """The target, or else the first page's own file, where one exists."""
    return next((path for path in (target, paged_name(target, 1)) if os.path.lexists(path)), None)


def outputs_of(target: Path, pages: int) -> list:
    """The files an input of ``pages`` pages is written to: the target, or
    one file per page when there are several and the format holds one."""
    if pages <= 1 or image_format(target) in PAGED_FORMATS:
        return [target]
    return [paged_name(target, number) for number in range(1, pages + 1)]


def complete(outputs: list, pages: int) -> bool:
    """Whether ``outputs`` all exist and decode, with ``pages`` pages in all."""
    counts = [decoded_pages(path) for path in outputs]
    return None not in counts and sum(counts) == pages


def _summary(number: int, analysis) -> dict:
    auto = analysis.auto
    return {"page": number,
            "regions_passed": auto.passed_count if auto else analysis.valid_count,
            "regions_analysed": auto.selected_count if auto else analysis.selected_count,
            "objects": auto.objects if auto else None,
            "objects_why": auto.objects_reason if auto else None,
            "fallback": auto.fallback if auto else None}


def entry(source: Path, status: str = "failed", **fields) -> dict:
    """A line of the record, its fields in order (record.FIELDS)."""
    line = {"input": str(source), "outputs": [], "status": status, "error": None, "pages": None,
            "pixels": 0, "seconds": 0.0, "analysis": []}
    line.update(fields)
    return line


class _Pages:
    """Thresholds the pages of one file in turn, keeping what each gave."""

    def __init__(self, job: Job):
        self.job = job
        self.settings = Settings.from_kwargs("binarize", threads=job.threads, **job.settings)
        self.analysis: list = []
        self.failed: list = []  # (page number, message)
        self.pixels = 0

    def thresholded(self, pages) -> Iterator[tuple]:
        """(number, binary) of each page that could be thresholded."""
        for number, image in pages:
            try:
                if isinstance(image, Exception):
                    raise image
                done = api.run(image, self.settings)
                if not done.passed:
                    raise no_region_error(done.analysis)
            except Exception as error:
                message = failure_text(error, self.job.target)
                self.failed.append((number, message))
                self.analysis.append({"page": number, "error": message})
                continue
            self.pixels += image.size
            self.analysis.append(_summary(number, done.analysis))
            yield number, done.binary


def binarize_one(job: Job) -> dict:
    """Threshold one file, page by page; its line of the record. Runs in the worker processes."""
    started = time.perf_counter()
    line = entry(job.source)
    try:
        line.update(_binarize_pages(job))
    except Exception as error:
        line["error"] = failure_text(error, job.target)
    line["seconds"] = round(time.perf_counter() - started, 3)
    return line


def _binarize_pages(job: Job) -> dict:
    count = page_count(job.source)
    outputs = outputs_of(job.target, count)
    if job.skip_existing and complete(outputs, count):
        return {"status": "skipped", "outputs": [str(path) for path in outputs], "pages": count,
                "pixels": 0}
    remove_page_temporaries(job.target)
    wide = job.settings.get("preset") != "classic"
    pages = _Pages(job)
    binaries = pages.thresholded(read_pages(job.source, rescale=job.rescale, max_pixels=job.max_pixels,
                                            keep_wide=wide))
    if not os.path.lexists(job.target.parent):  # a folder of the mirrored tree
        job.target.parent.mkdir(parents=True, exist_ok=True)
    written = []
    if len(outputs) == 1 and count > 1:
        if write_pages(job.target, (binary for _, binary in binaries), bilevel=job.bilevel,
                       overwrite=job.overwrite):
            written.append(job.target)
    else:
        for number, binary in binaries:
            path = outputs[number - 1]
            write_image(path, binary, bilevel=job.bilevel, overwrite=job.overwrite)
            written.append(path)
    result = {"outputs": [str(path) for path in written], "pages": count, "pixels": pages.pixels,
              "analysis": pages.analysis, "status": "failed" if pages.failed else "done"}
    if pages.failed:
        result["error"] = "; ".join(message if count == 1 else f"page {number} of {count}: {message}"
                                    for number, message in pages.failed)
    return result


def run(jobs: Sequence[Job], workers: int, on_lost) -> Iterator[tuple]:
    """Run ``jobs`` on ``workers`` processes, yielding (job, its record line) as each ends.

    When the run is cut short (an interrupt, or the caller closing this
    generator), the workers are terminated, ``on_lost(job, written)`` is
    called for each job not yet reported (``written``: its output appeared
    meanwhile), and the temporary files of those being written are removed.
    A stop (cli.stops) is held while the caller handles a yielded job.
    """
    before = {job.index: identity(job.target) for job in jobs}
    unreported = {job.index: job for job in jobs}
    try:
        if jobs:
            with Workers(workers, binarize_one) as pool:
                for job, outcome in pool.run(jobs):
                    # A stop is held until the caller has counted the job: in
                    # between, its file would be neither reported nor lost.
                    with held():
                        del unreported[job.index]
                        if isinstance(outcome, Lost):
                            remove_page_temporaries(job.target)
                            outcome = entry(job.source, error=str(outcome))
                        yield job, outcome
    except BaseException:
        # The workers are gone now (leaving the pool terminated them).
        for job in unreported.values():
            on_lost(job, identity(job.target) != before[job.index])
            remove_page_temporaries(job.target)
        raise
