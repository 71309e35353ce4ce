"""The options of one analysis, checked once for every caller.

    Settings.from_kwargs(function, **options) -> Settings   (raises on a bad option)
    preset_conflict(preset, objects, smooth, limits) -> (option, rule) or None
    check_int(name, value, low, high, extra="") -> int
    check_shape(shape, settings)      an image's dimensions and size, for the preset
    INT32_MAX

The API, zentrel.dask, the command line and the report all make their
Settings here, so an option means the same and fails with the same words
wherever it is given. The command line words a preset conflict as its
flags; the rule it applies is preset_conflict, the same as here.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Optional

import numpy as np

from zentrel.core import _engine
from zentrel.core import limits as _limit_options

# The engine takes C ints.
INT32_MAX = 2**31 - 1
PRESETS = ("auto", "classic")
OBJECTS = ("dark", "bright")


def check_int(name: str, value: Any, low: int, high: int, extra: str = "") -> int:
    """value as an int in low..high; TypeError or ValueError naming it otherwise."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name}: got {value!r}; an integer is required")
    if not low <= value <= high:
        raise ValueError(f"{name}: got {value}; accepted are {low}..{high}{extra}")
    return int(value)


def preset_conflict(preset: str, objects, smooth: bool, limits: dict) -> Optional[tuple]:
    """The first option that does not fit the preset, as (option, rule):
    ("objects", "auto") for objects with classic; (a limit's name or
    "smooth", "classic") for one given without it. None when all fit."""
    if preset == "classic":
        return ("objects", "auto") if objects is not None else None
    if limits:
        return (sorted(limits)[0], "classic")
    if smooth:
        return ("smooth", "classic")
    return None


@dataclass(frozen=True)
class Settings:
    """One analysis's options, checked. ``threads`` is None for the
    caller's default; ``limits`` holds the classic limits a caller set."""

    percent: int = 10
    region_size: int = 32
    smooth: bool = False
    threads: Optional[int] = None
    preset: str = "auto"
    objects: Optional[str] = None
    limits: dict = field(default_factory=dict)

    @property
    def classic(self) -> bool:
        return self.preset == "classic"

    @classmethod
    def from_kwargs(cls, function: str, *, percent: int = 10, region_size: int = 32,
                    smooth: bool = False, threads: Optional[int] = None, preset: str = "auto",
                    objects: Optional[str] = None, threads_default: str = "all",
                    **limits) -> "Settings":
        """Check the options of ``function`` (named in messages) and keep them.

        ``threads_default`` says in the message what None means to the caller.
        Unknown limits raise TypeError as Python would; a bad value, a limit
        out of its range or an option that does not fit the preset raises
        ValueError (TypeError for a non-integer count).
        """
        limits = _limit_options.given(limits, function)
        if preset not in PRESETS:
            raise ValueError(f"preset: got {preset!r}; expected 'auto' or 'classic'")
        # smooth is judged after the counts below, so its message keeps its place.
        conflict = preset_conflict(preset, objects, False, limits)
        if conflict == ("objects", "auto"):
            raise ValueError("objects: the classic analysis always takes objects as dark")
        if conflict is not None:
            raise ValueError(f"{function}(): the limit {conflict[0]!r} applies to "
                             "preset='classic'; the automatic default derives its own")
        percent = check_int("percent", percent, 0, 100)
        region_size = check_int("region_size", region_size, 1, INT32_MAX)
        if threads is not None:
            threads = check_int("threads", threads, 1, 1024, f" (or None for {threads_default})")
        if smooth and preset != "classic":
            raise ValueError("smooth: applies to preset='classic' only")
        if objects not in (None, *OBJECTS):
            raise ValueError(f"objects: got {objects!r}; expected 'dark', 'bright' or None")
        if limits:
            # Values out of their range fail now, not deep in a worker later.
            _engine.analyse_regions(np.zeros((1, 1), np.uint8), 1, [], [], limits=limits)
        return cls(percent, region_size, bool(smooth), threads, preset, objects, limits)


def check_shape(shape: tuple, settings: Settings) -> None:
    """Raise ValueError unless an image of ``shape`` suits ``settings``:
    two dimensions, sides in the engine's range, each at least one region.
    For the classic analysis in the engine's own words, so that a caller
    that never hands the engine the whole image fails as one that does."""
    if len(shape) != 2:
        if settings.classic:
            raise ValueError(f"image: got an array with {len(shape)} dimensions; a two-dimensional "
                             "image is required")
        raise ValueError(f"image: got {len(shape)} dimensions; a 2-D array is required")
    rows, cols = (int(n) for n in shape)
    if rows > INT32_MAX or cols > INT32_MAX:
        raise ValueError(f"image: shape ({rows}, {cols}) has a side longer than {INT32_MAX} pixels")
    size = settings.region_size
    if min(rows, cols) < size and not settings.classic:
        raise ValueError(f"image: {rows} x {cols} pixels is smaller than one region of "
                         f"{size} x {size}")
    if min(rows, cols) < size:
        raise ValueError(f"image: shape ({rows}, {cols}) is too small for region_size {size}; "
                         f"each side must be at least region_size ({size}) pixels")
