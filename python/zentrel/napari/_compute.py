"""What the napari widget computes, without Qt: one plane at a time.

    settings = Settings(preset="auto", objects=None, region_size=32, percent=10)
    planes = as_planes(layer.data, rgb=layer.rgb)     # [2-D plane], numpy or dask
    result = binarize_plane(plane, settings, surface=True, grid=True, index=(z,))
    result.labels      # uint8: 1 on the objects' side, 0 elsewhere (lazy for dask)
    result.surface     # float32 thresholds, or None
    result.grid        # Grid of the selected regions, or None

Numpy planes go through zentrel, dask planes through zentrel.dask (lazy
results, the analysis computed). Errors are zentrel's: ValueError (no region
passed under the classic preset, a plane smaller than a region, ...).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Optional

import numpy as np

import zentrel

PASSED_COLOUR = "lime"
FAILED_COLOUR = "red"
LUMA = (0.299, 0.587, 0.114)  # BT.601, as the command line reads colour


@dataclass(frozen=True)
class Settings:
    preset: str = "auto"
    objects: Optional[str] = None
    region_size: int = 32
    percent: int = 10

    def kwargs(self) -> dict:
        out: dict = {"preset": self.preset, "region_size": self.region_size, "percent": self.percent}
        if self.objects is not None:
            out["objects"] = self.objects
        return out


@dataclass
class Grid:
    """The selected regions as napari rectangles (4 corners each, in the layer's dimensions)."""

    rectangles: list = field(default_factory=list)
    passed: list = field(default_factory=list)
    notes: list = field(default_factory=list)  # threshold, or the reason of the failure

    def extend(self, other: "Grid") -> None:
        self.rectangles += other.rectangles
        self.passed += other.passed
        self.notes += other.notes

    def edge_colours(self) -> list:
        return [PASSED_COLOUR if p else FAILED_COLOUR for p in self.passed]


@dataclass
class PlaneResult:
    labels: Any
    surface: Any = None
    grid: Optional[Grid] = None


def is_dask(array) -> bool:
    return type(array).__module__.split(".")[0] == "dask"


def as_planes(data, rgb: bool = False) -> list:
    """The 2-D planes of a 2-D image or a 3-D stack (grey by BT.601 luma when RGB)."""
    if rgb:
        data = (data[..., 0] * LUMA[0] + data[..., 1] * LUMA[1] + data[..., 2] * LUMA[2] + 0.5).astype(np.uint8)
    if data.ndim == 2:
        return [data]
    if data.ndim == 3:
        return [data[z] for z in range(data.shape[0])]
    raise ValueError(f"the layer has {data.ndim} dimensions; a 2-D image or a 3-D stack is required")


def region_grid(analysis: "zentrel.Analysis", index: tuple = ()) -> Grid:
    size = analysis.region_size
    grid = Grid()
    for region in analysis.regions:
        top, left = region.top, region.left
        corners = [(top, left), (top, left + size), (top + size, left + size), (top + size, left)]
        grid.rectangles.append(np.array([(*index, y, x) for y, x in corners], dtype=float))
        grid.passed.append(region.passed)
        grid.notes.append(f"{region.threshold:.0f}" if region.passed
                          else region.failed_test or region.status)
    return grid


def binarize_plane(plane, settings: Settings, *, surface: bool = False, grid: bool = False,
                   index: tuple = ()) -> PlaneResult:
    if is_dask(plane):
        import zentrel.dask as library
    else:
        library = zentrel
        plane = np.asarray(plane)
    options = settings.kwargs()
    binary = library.binarize(plane, **options)
    analysis = None
    if grid or (settings.preset == "auto" and settings.objects is None):
        analysis = library.analyse(plane, **options)
    if settings.preset == "classic":
        objects = "dark"
    else:
        objects = settings.objects or analysis.objects
    # binarize gives 255 from the threshold up, whatever the objects' side.
    labels = (binary == (255 if objects == "bright" else 0)).astype(np.uint8)
    return PlaneResult(
        labels=labels,
        surface=library.threshold_surface(plane, **options) if surface else None,
        grid=region_grid(analysis, index) if grid else None,
    )
