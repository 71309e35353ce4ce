"""The binarize command's inputs: files as given, folders walked.

    walk(inputs, skip) -> Walked(found, notes, errors)

A folder is walked to any depth in a stable order (by name, depth first):
its image files (by extension, INPUT_SUFFIXES) and Zarr stores become
inputs, each with its folder relative to the folder given, so that outputs
can mirror the tree. Hidden files and folders (names starting with a dot,
among them the temporary files of writers) are passed over, and so are the
folders in ``skip`` (the output folder). Links are followed, each folder
once: a link back to a folder being walked (a loop) or to one walked
already is noted and not entered.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import NamedTuple, Sequence

from zentrel.io import is_zarr

__all__ = ["INPUT_SUFFIXES", "Found", "Walked", "walk"]

# What a folder's walk takes as images, by extension (any case).
INPUT_SUFFIXES = frozenset({".png", ".tif", ".tiff", ".jpg", ".jpeg", ".bmp", ".pgm", ".ppm", ".pnm",
                            ".pbm", ".gif", ".webp", ".jp2"})


class Found(NamedTuple):
    source: Path
    folder: Path  # below the folder given on the command line; "." for a file given


class Walked(NamedTuple):
    found: list  # Found, in order
    notes: list  # lines about links not followed again
    errors: list  # (path, message) for folders that could not be listed


def _key(path) -> tuple | None:
    try:
        status = os.stat(path)
    except OSError:
        return None
    return status.st_dev, status.st_ino


def walk(inputs: Sequence[Path], skip: Sequence[Path] = ()) -> Walked:
    """The inputs in order, folders replaced by the images they hold."""
    found: list = []
    notes: list = []
    errors: list = []
    skipped = {key for key in map(_key, skip) if key is not None}
    walked: dict = {}  # folder key -> the path it was first walked by

    def visit(folder: Path, below: Path, ancestors: frozenset) -> None:
        try:
            entries = sorted(os.scandir(folder), key=lambda entry: entry.name)
        except OSError as error:
            errors.append((folder, f"cannot list the folder: {error.strerror or error}"))
            return
        for entry in entries:
            if entry.name.startswith("."):
                continue
            path = Path(entry.path)
            try:
                is_folder = entry.is_dir()
            except OSError:
                is_folder = False
            if is_folder and not is_zarr(path):
                enter(path, below / entry.name, ancestors)
            elif is_folder or Path(entry.name).suffix.lower() in INPUT_SUFFIXES:
                found.append(Found(path, below))

    def enter(folder: Path, below: Path, ancestors: frozenset) -> None:
        key = _key(folder)
        if key in skipped:
            return
        if key in ancestors:
            notes.append(f"{folder}: a link back to {walked[key]}, which holds it; not walked again")
            return
        if key in walked:
            notes.append(f"{folder}: the same folder as {walked[key]}; not walked again")
            return
        walked[key] = folder
        visit(folder, below, ancestors | {key})

    for source in inputs:
        if source.is_dir() and not is_zarr(source):
            enter(source, Path("."), frozenset())
        else:
            found.append(Found(source, Path(".")))
    return Walked(found, notes, errors)
