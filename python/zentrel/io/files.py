"""Writing files whole or not at all, and never over a file by accident."""

from __future__ import annotations

import contextlib
import os
import stat
from pathlib import Path
from typing import BinaryIO, Callable

__all__ = ["TEMP_MARK", "exists_message", "identity", "remove_temporaries", "write_atomic"]

# Temporary files are named ".<target name>.zentrel-tmp-<8 hex digits>" beside their target.
TEMP_MARK = ".zentrel-tmp-"
_RANDOM_HEX = 8
# Keeps the temporary name within the usual 255-byte limit of a file name.
_NAME_ROOM = 255 - 1 - len(TEMP_MARK) - _RANDOM_HEX


def exists_message(path) -> str:
    return f"{path} exists; pass --overwrite to replace it"


def identity(path):
    """(device, inode) of ``path`` itself (a link is not followed), or None when absent."""
    try:
        status = os.lstat(path)
    except OSError:
        return None
    return status.st_dev, status.st_ino


def _temp_prefix(path: Path) -> str:
    return f".{path.name[:_NAME_ROOM]}{TEMP_MARK}"


def write_atomic(path, write: Callable[[BinaryIO], None], *, overwrite: bool = False) -> None:
    """Write the file ``path`` through ``write(file)``, whole or not at all.

    ``file`` may also be read and sought (multi-page TIFF goes back to link
    its pages). The data go to a temporary file in the target's folder, which is flushed
    to disk and then moved onto ``path``; a failure or an interrupt at any
    point removes it, so ``path`` holds its old content or the new one, never
    a part. Without ``overwrite`` an existing ``path`` raises FileExistsError,
    also when it appears while the data are written.
    """
    path = Path(path)
    if not overwrite and os.path.lexists(path):
        raise FileExistsError(exists_message(path))
    temp, fd = _create_temporary(path)
    try:
        with os.fdopen(fd, "w+b") as file:
            if overwrite:
                _keep_permissions(path, file.fileno())
            write(file)
            file.flush()
            os.fsync(file.fileno())
        if overwrite:
            os.replace(temp, path)
        else:
            _move_without_replacing(temp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temp)
        raise


def _create_temporary(path: Path):
    prefix = path.parent / _temp_prefix(path)
    while True:
        temp = f"{prefix}{os.urandom(_RANDOM_HEX // 2).hex()}"
        try:
            # Mode 0o666 lets the umask decide the permissions, as for any new file.
            return temp, os.open(temp, os.O_RDWR | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0),
                                 0o666)
        except FileExistsError:
            continue


def _keep_permissions(path: Path, fd: int) -> None:
    """A replaced regular file keeps its permission bits."""
    try:
        status = os.stat(path)
    except OSError:
        return
    if stat.S_ISREG(status.st_mode):
        os.fchmod(fd, stat.S_IMODE(status.st_mode))


def _move_without_replacing(temp: str, path: Path) -> None:
    # A hard link fails when the target exists, so a file created meanwhile survives.
    try:
        os.link(temp, path)
    except FileExistsError:
        raise FileExistsError(exists_message(path)) from None
    except OSError:
        # Folders without hard links (some network and FAT file systems): check, then move.
        if os.path.lexists(path):
            raise FileExistsError(exists_message(path)) from None
        os.replace(temp, path)
        return
    os.unlink(temp)


def remove_temporaries(path, accept: Callable[[str], bool] | None = None) -> int:
    """Remove the temporary files left beside ``path`` by writers that were
    killed: those of ``path`` itself, or of every file in its folder whose
    name ``accept(name)`` takes."""
    path = Path(path)
    own = path.name[:_NAME_ROOM]
    accept = accept or (lambda name: name[:_NAME_ROOM] == own)
    removed = 0
    try:
        entries = list(os.scandir(path.parent))
    except OSError:
        return 0
    for entry in entries:
        head, mark, tail = entry.name.rpartition(TEMP_MARK)
        if (mark and head.startswith(".") and accept(head[1:]) and len(tail) == _RANDOM_HEX
                and all(c in "0123456789abcdef" for c in tail)):
            with contextlib.suppress(OSError):
                os.unlink(entry.path)
                removed += 1
    return removed
