"""What the napari widget computes, without Qt: one plane at a time.

    settings = Settings.from_kwargs("napari", preset="auto", region_size=32, percent=10)
    planes, stack = as_planes(layer.data, rgb=layer.rgb)   # [2-D plane], numpy or dask; a 3-D stack?
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

from zentrel.api import run
from zentrel.core import Analysis, Settings, no_region_error
from zentrel.io import luma

PASSED_COLOUR = "lime"
FAILED_COLOUR = "red"


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


def as_planes(data, rgb: bool = False) -> tuple:
    """(the 2-D planes, whether they form a 3-D stack) of a 2-D image or a
    3-D stack; colour planes become grey as the command line reads them."""
    dimensions = data.ndim - rgb
    if dimensions not in (2, 3):
        raise ValueError(f"the layer has {dimensions} dimensions; a 2-D image or a 3-D stack is required")
    planes = [data] if dimensions == 2 else [data[z] for z in range(data.shape[0])]
    return ([_grey(plane) for plane in planes] if rgb else planes), dimensions == 3


def _grey(plane):
    if is_dask(plane):
        return plane.rechunk({2: -1}).map_blocks(luma, drop_axis=2, dtype=np.uint8)
    return luma(np.asarray(plane))


def region_grid(analysis: Analysis, index: tuple = ()) -> Grid:
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
        return _binarize_chunked(plane, settings, surface, grid, index)
    done = run(np.asarray(plane), settings, {"binary", "analysis"} | ({"surface"} if surface else set()))
    if not done.passed:
        raise no_region_error(done.analysis)
    return PlaneResult(labels=_labels(done.binary, done.analysis.objects), surface=done.surface,
                       grid=region_grid(done.analysis, index) if grid else None)


def _binarize_chunked(plane, settings: Settings, surface: bool, grid: bool, index: tuple) -> PlaneResult:
    """A dask plane through zentrel.dask: lazy labels and surface, the analysis computed."""
    import zentrel.dask as zd

    options = {"preset": settings.preset, "objects": settings.objects,
               "region_size": settings.region_size, "percent": settings.percent}
    found = not settings.classic and settings.objects is None  # the side comes from the analysis
    analysis = zd.analyse(plane, **options) if grid or found else None
    objects = analysis.objects if found else settings.objects or "dark"
    return PlaneResult(labels=_labels(zd.binarize(plane, **options), objects),
                       surface=zd.threshold_surface(plane, **options) if surface else None,
                       grid=region_grid(analysis, index) if grid else None)


def _labels(binary, objects: str):
    # binarize gives 255 from the threshold up, whatever the objects' side.
    return (binary == (255 if objects == "bright" else 0)).astype(np.uint8)
