"""The binarize command's batch: naming the outputs, and running the files on workers."""

from __future__ import annotations

import itertools
import os
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Optional, Sequence

from zentrel.api import binarize
from zentrel.cli.workers import Lost, Workers
from zentrel.io import exists_message, failure_text, identity, read_grey, remove_temporaries, write_image

__all__ = ["Job", "plan", "run"]


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


def plan(inputs: Sequence[Path], output: Optional[Path], out_dir: Optional[Path], pattern: str,
         overwrite: bool):
    """Each input's output as (index, input, target), and (index, input, message) for those refused.

    With ``output`` the one input goes there; otherwise into ``out_dir``,
    named by ``pattern``, where a name taken by an input or by an earlier
    output gets -2, -3, ... Names depend on the inputs alone, not on what the
    folder holds, so a repeated run gives the same names.
    """
    known = _Inputs(inputs)
    claimed = set()
    pairs, errors = [], []
    for index, source in enumerate(inputs):
        if output is not None:
            target = output
            if target in known:
                errors.append((index, source, f"refusing to overwrite the input {target}"))
                continue
        else:
            name = pattern.format(stem=source.stem)
            for number in itertools.count(1):
                target = out_dir / _numbered(name, number)
                if target not in known and target.resolve() not in claimed:
                    break
        claimed.add(target.resolve())
        if not overwrite and os.path.lexists(target):
            errors.append((index, source, exists_message(target)))
            continue
        pairs.append((index, source, target))
    return pairs, errors


def binarize_one(job: Job) -> Optional[str]:
    """Threshold one file; return an error message or None. Runs in the worker processes."""
    try:
        image = read_grey(job.source, rescale=job.rescale, max_pixels=job.max_pixels,
                          keep_wide=job.settings.get("preset") != "classic")
        binary = binarize(image, threads=job.threads, **job.settings)
        del image
        write_image(job.target, binary, bilevel=job.bilevel, overwrite=job.overwrite)
    except Exception as error:
        return failure_text(error, job.target)
    return None


def run(jobs: Sequence[Job], workers: int, tally, failures: dict, *, progress: bool) -> None:
    """Run ``jobs`` on ``workers`` processes, counting written files in ``tally.done``.

    Failures go into ``failures`` by input index as (input, message). When
    the run is cut short (an interrupt), the workers are terminated, files
    they finished after their last report are counted, and the temporary
    files of those they were writing are removed.
    """
    from tqdm import tqdm

    before = {job.index: identity(job.target) for job in jobs}
    unreported = {job.index: job for job in jobs}
    try:
        with tqdm(total=len(jobs), file=sys.stderr, unit="image", dynamic_ncols=True,
                  disable=None if progress else True) as bar:
            if jobs:
                with Workers(workers, binarize_one) as pool:
                    for job, outcome in pool.run(jobs):
                        del unreported[job.index]
                        if outcome is None:
                            tally.done += 1
                        else:
                            if isinstance(outcome, Lost):
                                remove_temporaries(job.target)
                            failures[job.index] = (job.source, str(outcome))
                        bar.update(1)
    except BaseException:
        # The workers are gone now (leaving the pool terminated them).
        for job in unreported.values():
            if identity(job.target) != before[job.index]:
                tally.done += 1
            remove_temporaries(job.target)
        raise
