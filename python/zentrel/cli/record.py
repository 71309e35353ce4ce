"""The binarize command's record (--log): one JSON line per input, appended.

    Record(path)                opened for appending; .write(entry), .close()
    read_lines(path) -> its whole lines, in order
    last_lines(path) -> {input: its last line}, from earlier runs
    ENDED: the statuses of an input that needs no more work

Each line goes to the file in one write of the whole line, so a run stopped
at any moment leaves whole lines; a line cut short by a crashed system (no
newline at its end) is ignored when read and closed before the next one.
Paths in the record are absolute, so runs from other folders match.

The fields (FIELDS) are described in ``zentrel binarize --help``.
"""

from __future__ import annotations

import json
import os
from pathlib import Path
from typing import Iterator

__all__ = ["ENDED", "FIELDS", "Record", "last_lines", "read_lines"]

# The fields of a line, in order, and what they mean (the help and the docs show these).
FIELDS = {
    "input": "the input file, absolute",
    "outputs": "the files written (or found complete, when skipped)",
    "status": "done, skipped or failed",
    "error": "why it failed (pages named by number), else null",
    "pages": "pages in the input",
    "pixels": "pixels thresholded",
    "seconds": "time spent on the file",
    "analysis": "per page: page, regions_passed, regions_analysed, objects, objects_why, "
                "fallback (or page and error for a page that failed)",
}
ENDED = ("done", "skipped")


class Record:
    """A JSON Lines file that entries are appended to, a whole line at a time."""

    def __init__(self, path):
        self.path = Path(path)
        self._fd = os.open(self.path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | getattr(os, "O_CLOEXEC", 0),
                           0o666)
        self._pending = b"" if _ends_whole(self.path) else b"\n"

    def write(self, entry: dict) -> None:
        data = self._pending + (json.dumps(entry, ensure_ascii=False) + "\n").encode()
        self._pending = b""
        while data:
            data = data[os.write(self._fd, data):]

    def close(self) -> None:
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None

    def __enter__(self) -> "Record":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def _ends_whole(path: Path) -> bool:
    try:
        with open(path, "rb") as file:
            file.seek(0, os.SEEK_END)
            if file.tell() == 0:
                return True
            file.seek(-1, os.SEEK_END)
            return file.read(1) == b"\n"
    except OSError:
        return True


def read_lines(path) -> Iterator[dict]:
    """The whole lines of the record at ``path``, in order; none when there is no record."""
    try:
        file = open(path, "rb")
    except FileNotFoundError:
        return
    with file:
        for line in file:
            if not line.endswith(b"\n"):
                return
            try:
                entry = json.loads(line)
            except ValueError:
                continue
            if isinstance(entry, dict):
                yield entry


def last_lines(path) -> dict:
    """{input: its last whole line} in the record at ``path``; {} when there is none."""
    return {entry["input"]: entry for entry in read_lines(path) if isinstance(entry.get("input"), str)}
