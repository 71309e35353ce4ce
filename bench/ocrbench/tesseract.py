"""Tesseract's command line in batch mode: many images read by one process.

    version()                              -> "tesseract 5.3.0", or None when it is missing
    read(paths, psm, config=("-c", ...))   -> [text of each image, in order]
    write_pgm(path, image)                 -> a uint8 array as binary PGM

Given a text file that lists image paths, Tesseract reads them all after
loading its model once (that load is most of the cost of a short line), and
writes their texts one after the other with a page separator between. The
separator is set to a control character that recognition never outputs, and
the number of pieces is checked against the number of images.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import numpy as np

__all__ = ["INSTALL_HINT", "SEPARATOR", "version", "read", "write_pgm"]

INSTALL_HINT = "tesseract not found: install it with `apt-get install tesseract-ocr tesseract-ocr-eng`"
SEPARATOR = "\x1e"  # ASCII record separator


def version() -> str | None:
    """The first line of ``tesseract --version``; None when there is no usable Tesseract with English."""
    exe = shutil.which("tesseract")
    if exe is None:
        return None
    try:
        out = subprocess.run([exe, "--version"], capture_output=True, text=True, check=True)
        langs = subprocess.run([exe, "--list-langs"], capture_output=True, text=True, check=True)
    except (OSError, subprocess.CalledProcessError):
        return None
    if "eng" not in langs.stdout.split():
        return None
    return (out.stdout or out.stderr).splitlines()[0].strip()


def read(paths, psm: int, config=()) -> list[str]:
    """Texts of the images at ``paths``, read in one Tesseract process with ``--psm psm``.

    Tesseract runs on one thread (OMP_THREAD_LIMIT=1): callers run several
    processes side by side instead, which uses the cores better.
    """
    paths = [str(p) for p in paths]
    if not paths:
        return []
    with tempfile.NamedTemporaryFile("w", suffix=".txt", dir=Path(paths[0]).parent, delete=False) as listing:
        listing.write("\n".join(paths) + "\n")
    try:
        command = [shutil.which("tesseract") or "tesseract", listing.name, "stdout", "--psm", str(psm),
                   "-c", f"page_separator={SEPARATOR}", *config]
        done = subprocess.run(command, capture_output=True, env=dict(os.environ, OMP_THREAD_LIMIT="1"))
    finally:
        os.unlink(listing.name)
    tail = done.stderr.decode("utf-8", "replace").strip().splitlines()[-3:]
    if done.returncode != 0:
        raise RuntimeError(f"tesseract exited with {done.returncode}: {' | '.join(tail)}")
    texts = done.stdout.decode("utf-8", "replace").split(SEPARATOR)
    if len(texts) != len(paths):
        raise RuntimeError(f"tesseract gave {len(texts)} texts for {len(paths)} images: {' | '.join(tail)}")
    return texts


def write_pgm(path, image) -> None:
    """Write a 2-D uint8 array as binary PGM (no compression: fast to write and to read)."""
    image = np.ascontiguousarray(image, dtype=np.uint8)
    height, width = image.shape
    with open(path, "wb") as file:
        file.write(f"P5\n{width} {height}\n255\n".encode("ascii"))
        file.write(image.tobytes())
