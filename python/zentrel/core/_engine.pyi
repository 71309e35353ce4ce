"""Private native engine of the zentrel package: the whole pipeline in one
call, and each of its stages on numpy arrays.

A block of grey levels (``levels``: a 2-D uint8 array) is given with the
pixel ``offset`` (top, left) of its first element in the whole image;
regions are named by their (row, col) index in the whole image's region
grid, region (i, j) covering pixels ``i*R//2 .. i*R//2 + R - 1`` by
``j*R//2 .. j*R//2 + R - 1`` for R = ``region_size``. ``threads=0`` uses all
hardware threads; no result depends on the count. Every function releases
the interpreter lock while it computes.
"""

from typing import Any, Sequence

import numpy as np
import numpy.typing as npt

STAGE_NAMES: tuple[str, ...]

def limit_table() -> list[tuple[str, int, bool, Any, str, float, float]]:
    """(name, arity, integer, default, meaning, lowest, highest) of each limit option."""

def outcome_table() -> tuple[list[tuple[str, str]], list[tuple[str, str]]]:
    """(statuses, tests): (name, words) of each record status and test code, by code."""

def run_float32(image: npt.NDArray[np.float32], percent: int, region_size: int, smooth: bool,
                limits: dict[str, Any] | None, threads: int, want_output: bool, want_surface: bool,
                want_records: bool) -> tuple[bool, npt.NDArray[np.uint8] | None, npt.NDArray[np.float32] | None,
                                             dict[str, Any]]:
    """The whole pipeline, silently: (passed, output, surface, info)."""

def run_int32(image: npt.NDArray[np.int32], percent: int, region_size: int, smooth: bool,
              limits: dict[str, Any] | None, threads: int, want_output: bool, want_surface: bool,
              want_records: bool) -> tuple[bool, npt.NDArray[np.uint8] | None, npt.NDArray[np.float32] | None,
                                           dict[str, Any]]: ...

def run_uint8(image: npt.NDArray[np.uint8], percent: int, region_size: int, smooth: bool,
              limits: dict[str, Any] | None, threads: int, want_output: bool, want_surface: bool,
              want_records: bool) -> tuple[bool, npt.NDArray[np.uint8] | None, npt.NDArray[np.float32] | None,
                                           dict[str, Any]]: ...

def grid_shape(image_shape: tuple[int, int], region_size: int) -> tuple[int, int]:
    """(2*rows//R - 1, 2*cols//R - 1), at least 0 each."""

def region_origins(indices: npt.ArrayLike, region_size: int) -> npt.NDArray[np.int64]:
    """First pixel along one axis of each region index i: i*region_size//2."""

def smoothed_histogram(hist: npt.ArrayLike) -> npt.NDArray[np.int32]:
    """A 256-bin histogram smoothed as the fits smooth it (1-2-3-2-1 over
    bins 2..253, integer division by 9)."""

def variance_map(levels: npt.ArrayLike, region_size: int, offset: tuple[int, int] = (0, 0),
                 regions: tuple[int, int, int, int] | None = None, threads: int = 0) -> npt.NDArray[np.float32]:
    """Grey-level variance of regions (first_row + i, first_col + j).

    ``regions`` is (first_row, first_col, rows, cols); every region must lie
    inside the block. None (offset (0, 0) only) means the whole image's grid.
    """

def region_grids(levels: npt.ArrayLike, region_size: int, shares: Sequence[float] | None = None,
                 offset: tuple[int, int] = (0, 0), regions: tuple[int, int, int, int] | None = None,
                 threads: int = 0, histogram: bool = False, as_levels: bool = False
                 ) -> tuple[npt.NDArray[np.float32], npt.NDArray[Any] | None, npt.NDArray[np.int64] | None]:
    """(variance, quantiles, histogram) in one pass over the levels: variance_map;
    (rows, cols, len(shares)) float32, the lowest level v of each region at
    which at least that share (0..1) of its pixels is <= v, -1 for an empty
    region (None without shares), or with ``as_levels`` the same as uint8
    levels (a quarter of the memory; no region is empty); and with
    ``histogram`` (a whole image only) the 256-bin histogram of every pixel.
    Same offset and regions conventions as variance_map."""

def select_regions(scores: npt.ArrayLike, count: int) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.int32]]:
    """(rows, cols) of the ``count`` highest scores of a grid, highest first.

    Equal scores keep the engine's fixed tie order, so a variance grid
    gathered from blocks selects exactly what the whole image selects.
    """

def analyse_regions(levels: npt.ArrayLike, region_size: int, rows: npt.ArrayLike, cols: npt.ArrayLike,
                    offset: tuple[int, int] = (0, 0), smooth: bool = False,
                    limits: dict[str, Any] | None = None, threads: int = 0) -> np.ndarray:
    """One record per listed region, in list order, as a structured array.

    Fields: row, col, start (5 floats: c1, mean1, sigma1, mean2, sigma2
    before the fit), fitted (the same after it), chi_ratio, threshold,
    fitter_calls, status (0 = recorded; see outcome_table) and test.
    """

def square_sums(levels: npt.ArrayLike, region_size: int, side: int, rows: npt.ArrayLike, cols: npt.ArrayLike,
                offset: tuple[int, int] = (0, 0), threads: int = 0
                ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """(sums, sums of squares) of the levels, int64 (n, k, k), over the k x k
    squares of side ``side`` (k = region_size // side) tiling each listed
    region from its top-left corner."""
def lattice_histogram(levels: npt.ArrayLike, step: int, first: tuple[int, int] = (0, 0),
                      threads: int = 0) -> npt.NDArray[np.int64]:
    """The int64 256-bin histogram of levels[first[0]::step, first[1]::step]."""
def tile_scores(variance: npt.ArrayLike, side: int, floor: float, top: float) -> npt.NDArray[np.float32]:
    """float32 scores: each region's variance over the highest of its side x
    side tile where that exceeds floor (else 0), plus 1e-6 * variance / top
    when top > 0, in double."""
def region_sides(medians: npt.ArrayLike, rows: npt.ArrayLike, cols: npt.ArrayLike, means: npt.ArrayLike,
                 reach: int, share: float) -> npt.NDArray[np.int8]:
    """int8 per region: 1 where at least share of the region medians up to
    reach regions around it (the edge regions repeated past the grid's
    edge) lie nearer its bright class (means[:, 1]; dark objects), -1 where
    as many lie nearer its dark one, else 0; nearer: on that class's side
    of the two means' midpoint (zentrel.auto.polarity.region_sides)."""
def settle_surface(medians: npt.ArrayLike, grounds: npt.ArrayLike, band_reach: int, rows: npt.ArrayLike,
                   cols: npt.ArrayLike, thresholds: npt.ArrayLike, backgrounds: npt.ArrayLike,
                   step_threshold: float | None = None, thin: bool = False,
                   threads: int = 0) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int8]]:
    """(grid float64, kind int8): the known regions' thresholds settled in
    waves over the grid (zentrel.auto.surface.threshold_grid). medians and
    grounds are levels, read as float32 (a column of a wider grid where it
    lies); a region's band depth is read from the medians band_reach
    regions away."""
def fill_grid(grid_shape: tuple[int, int], rows: npt.ArrayLike, cols: npt.ArrayLike,
              thresholds: npt.ArrayLike) -> npt.NDArray[np.float32]:
    """The threshold grid from known cells (in analysis order) by inverse-distance weighting."""

def decide(levels: npt.ArrayLike, grid: npt.ArrayLike, region_size: int, offset: tuple[int, int] = (0, 0),
           image_shape: tuple[int, int] | None = None, threads: int = 0,
           want_surface: bool = False, median: bool = False,
           margin: tuple[int, int, int, int] = (0, 0, 0, 0), core: npt.ArrayLike | None = None,
           reach: bool = True, mirror: bool = False) -> Any:
    """uint8 0/255 of the block: 255 where a pixel reaches its threshold.

    ``grid`` is the whole image's threshold grid; ``image_shape`` the whole
    image's shape (needed with an offset). With ``want_surface`` returns
    (binary, float32 thresholds of the block). With ``median`` each pixel's
    3x3 median of the levels is decided instead of its level, the nearest
    of the levels standing in beyond them; ``margin`` (top, bottom, left,
    right) counts rows and columns of ``levels`` around the block at
    ``offset`` that the medians read and that are not decided (a chunk's
    neighbours). With a ``core`` grid (shaped like ``grid``), a 0 whose
    pixel also lies below the core threshold stays 0 and the other 0s are
    marks (1); with ``reach`` the marks 8-connected through marks to a 0
    become 0 and the rest 255, without it they stay 1. With ``mirror``
    255 - level is decided instead of each level (grid and core on that
    scale: objects brighter than their ground decided as dark ones are);
    with ``reach`` the output is then inverted, the objects 255, and the
    surface given as 256 - threshold.
    """

def mark_pieces(block: npt.ArrayLike) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.bool_], npt.NDArray[np.int64]]:
    """(labels, reaches, sizes) of a decided block (0 ink, 1 marks, 255):
    its 8-connected pieces of 0s and 1s numbered 1, 2, ... in row order of
    their first pixel (0 on 255), and per label whether its piece holds a 0
    and how many pixels it has (label 0: False, 0)."""

def piece_sizes(block: npt.ArrayLike) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.int64]]:
    """(reaches, sizes) of mark_pieces without the labels: the pieces
    counted by one flood over them alone (the block is not changed)."""
