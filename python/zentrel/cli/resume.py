"""Resuming a binarize run from its record (--skip-existing with --log).

    resume(pairs, ended, log) -> (pairs left, indices whose files may be replaced)
"""

from __future__ import annotations

import os

from zentrel.cli.batch import entry
from zentrel.cli.record import ENDED, last_lines
from zentrel.io import is_output_of

__all__ = ["resume"]


def resume(pairs: list, ended, log) -> tuple:
    """The planned (index, input, target) files left to do, and the indices
    of those whose files may be replaced.

    With a record at ``log`` (None: no resuming), a file whose last line
    says it ended, and whose outputs all exist, is skipped at once
    (``ended(index, input, line)`` gets its new line); one whose files an
    earlier run recorded writing (it failed, or a page was lost since) may
    have them replaced.
    """
    if log is None:
        return pairs, set()
    lines = last_lines(log)
    left, replace = [], set()
    for index, source, target in pairs:
        line = lines.get(os.path.abspath(source))
        outputs = line.get("outputs") or [] if line else []
        ours = bool(outputs) and all(is_output_of(path, os.path.abspath(target)) for path in outputs)
        if line and line.get("status") in ENDED and ours and all(os.path.lexists(p) for p in outputs):
            ended(index, source, entry(source, "skipped", outputs=outputs, pages=line.get("pages")))
            continue
        if ours:  # written by an earlier run: its files may be replaced
            replace.add(index)
        left.append((index, source, target))
    return left, replace
