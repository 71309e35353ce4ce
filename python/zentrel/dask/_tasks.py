"""The functions dask runs: each works on one chunk's block or on the small
region grid, never on the whole image. They are plain module functions so
that distributed workers can unpickle them by name."""

from __future__ import annotations

from time import perf_counter
from typing import NamedTuple, Optional

import numpy as np

from zentrel.auto.strokes import sample_positions, square_variances
from zentrel.core import Analysis, NoRegionPassedError, engine, no_region_error
from zentrel.dask._geometry import piece_of
from zentrel.dask._marks import edge_pieces

_GREY_RULE = "is not a grey level; accepted are finite values that truncate toward zero into 0..255"


def to_levels(block: np.ndarray, block_info=None) -> np.ndarray:
    """uint8 grey levels of a chunk, converted and checked as the engine does:
    int32 must lie in 0..255; other non-uint8 types are read as float32 and
    must lie strictly between -1 and 256 (NaN fails), truncated toward zero."""
    if block.dtype == np.uint8:
        return block
    if block.dtype == np.int32:
        values = block
        good = (values >= 0) & (values <= 255)
    else:
        values = block.astype(np.float32)
        good = (values > -1.0) & (values < 256.0)
    if not good.all():
        r, c = np.unravel_index(int(np.argmin(good)), good.shape)
        top, left = (0, 0) if block_info is None else (s[0] for s in block_info[0]["array-location"])
        bad = values[r, c]
        shown = f"{float(bad):.9g}" if values.dtype.kind == "f" else str(int(bad))
        raise ValueError(f"image: value {shown} at ({top + r}, {left + c}) {_GREY_RULE}")
    # float -> int16 truncates toward zero, so -0.5 becomes level 0 as in the engine.
    return values.astype(np.int16).astype(np.uint8)


def after(gate, value):
    """value, computed once gate is: a read that waits for an earlier stage."""
    return value


def read_if(wanted, gate, task, inputs, shape, dtype, *values):
    """The chunk ``task`` reads (given the values of its inputs, in that
    order) where wanted; else zeros of its shape that take no memory."""
    if wanted:
        return task(dict(zip(inputs, values)))
    return np.broadcast_to(np.zeros((), dtype), shape)


class Piece(NamedTuple):
    """One piece of the region grid: (row piece, col piece) and its regions."""

    key: tuple
    rows: tuple  # (first, stop) region rows
    cols: tuple  # (first, stop) region columns

    @classmethod
    def of(cls, parts, chunk, seam_rows: bool, seam_cols: bool) -> "Piece":
        """The inner or seam piece of chunk (i, j) along each axis."""
        i, j = chunk
        return cls((2 * i + seam_rows, 2 * j + seam_cols), parts[0][i].piece(seam_rows),
                   parts[1][j].piece(seam_cols))

    def empty(self) -> bool:
        return self.rows[0] >= self.rows[1] or self.cols[0] >= self.cols[1]


def chunk_task(function, parts, depth, extra, block, *args, block_info=None):
    """One chunk, read once: function on its inner piece, copies of the edge
    bands (depth pixels) that the seam pieces of it and of its neighbours
    need, and extra(block, offset) when given; as the 1 x 1 object block dask carries."""
    i, j = block_info[0]["chunk-location"]
    piece = Piece.of(parts, (i, j), False, False)
    offset = (parts[0][i].start, parts[1][j].start)
    results = [] if piece.empty() else [function(block, offset, piece, *args)]
    bands = {}
    if depth:
        # Copies, so that holding a band does not hold the whole chunk.
        bands = {"top": block[:depth].copy(), "bottom": block[-depth:].copy(),
                 "left": block[:, :depth].copy(), "right": block[:, -depth:].copy()}
    cell = np.empty((1, 1), object)
    cell[0, 0] = (results, bands, None if extra is None else extra(block, offset))
    return cell


def cell_item(cell, index):
    """Part ``index`` of a chunk task's result."""
    return cell[0, 0][index]


def seam_task(function, parts, depth, chunk, cells, *args):
    """function on the seam pieces of one chunk: its regions that reach into
    the next chunk down (row seam), right (column seam) or both (corner),
    each on the block joined from the edge bands of the chunks it spans.
    cells are the chunk tasks' results for the chunk and its neighbours
    right, below and diagonally below (None past the image's edge)."""
    rp, cp = parts[0][chunk[0]], parts[1][chunk[1]]
    here, right, below, diagonal = (None if c is None else c[0, 0][1] for c in cells)
    results = []
    for seam_rows, seam_cols in ((True, False), (False, True), (True, True)):
        piece = Piece.of(parts, chunk, seam_rows, seam_cols)
        if piece.empty():
            continue
        if seam_rows and seam_cols:
            block = np.block([[here["bottom"][:, -depth:], right["bottom"][:, :depth]],
                              [below["top"][:, -depth:], diagonal["top"][:, :depth]]])
            offset = (rp.stop - depth, cp.stop - depth)
        elif seam_rows:
            block, offset = np.vstack([here["bottom"], below["top"]]), (rp.stop - depth, cp.start)
        else:
            block, offset = np.hstack([here["right"], right["left"]]), (rp.start, cp.stop - depth)
        results.append(function(block, offset, piece, *args))
    return results


def joined(lists) -> list:
    """The pieces' results from the chunk and seam tasks, as one list."""
    return [result for results in lists for result in results]


def variance_block(block, offset, piece, region_size, threads, shares=None):
    """(region span, variances, quantiles or None, seconds) of one piece's
    regions; the quantiles at shares when given (the automatic default)."""
    span = piece.rows + piece.cols
    started = perf_counter()
    where = dict(offset=offset, threads=threads,
                 regions=(span[0], span[2], span[1] - span[0], span[3] - span[2]))
    # One pass over the block for both grids; the quantiles travel and are
    # gathered as uint8 levels.
    scores, quantiles, _ = engine.region_grids(block, region_size, shares, as_levels=True, **where)
    return span, scores, quantiles, perf_counter() - started


def variance_block_if(block, offset, piece, wanted, region_size, threads, shares):
    """variance_block where wanted; else zero grids of the piece's shape at
    no cost (a finer scale's pass that turned out not to be needed)."""
    if wanted:
        return variance_block(block, offset, piece, region_size, threads, shares)
    span = piece.rows + piece.cols
    shape = (span[1] - span[0], span[3] - span[2])
    return span, np.zeros(shape, np.float32), np.zeros(shape + (len(shares),), np.uint8), 0.0


class Selection(NamedTuple):
    grid_shape: tuple
    rows: np.ndarray       # selected regions, highest score first
    cols: np.ndarray
    variances: Optional[np.ndarray]  # of the selected regions (classic)
    groups: dict           # piece (row piece, col piece) -> positions in the selection, ascending
    seconds: dict          # stage name -> seconds so far


def region_grids(results, grid_shape) -> tuple:
    """(variance grid, quantile grid or None, seconds spent) from the pieces'
    results; the quantiles gathered as uint8 levels."""
    grid = np.full(grid_shape, np.nan, np.float32)
    quantiles = None
    covered = np.zeros(grid_shape, bool)
    spent = 0.0
    for (r0, r1, c0, c1), scores, part_quantiles, seconds in results:
        grid[r0:r1, c0:c1] = scores
        covered[r0:r1, c0:c1] = True
        if part_quantiles is not None:
            if quantiles is None:
                quantiles = np.zeros(grid_shape + part_quantiles.shape[2:], part_quantiles.dtype)
            quantiles[r0:r1, c0:c1] = part_quantiles
        spent += seconds
    if not covered.all():  # the pieces tile the grid; anything else is a fault here
        raise AssertionError("the pieces' region ranges do not cover the region grid")
    return grid, quantiles, spent


def _groups(rows, cols, parts) -> dict:
    """piece -> positions of the selected regions it holds, ascending."""
    col_pieces = 2 * len(parts[1])
    key = piece_of(rows, parts[0]) * col_pieces + piece_of(cols, parts[1])
    order = np.argsort(key, kind="stable")
    groups = {}
    if order.size:
        for positions in np.split(order, np.flatnonzero(np.diff(key[order])) + 1):
            groups[divmod(int(key[positions[0]]), col_pieces)] = positions
    return groups


def select(results, grid_shape, percent, parts) -> Selection:
    """The classic selection on the whole gathered grid (the percent highest
    variances), grouped by the piece holding each selected region."""
    grid, _, variance_seconds = region_grids(results, grid_shape)
    started = perf_counter()
    rows, cols = engine.select_regions(grid, grid.size * percent // 100)
    groups = _groups(rows, cols, parts)
    seconds = {"variance_map": variance_seconds, "selection": perf_counter() - started}
    return Selection(grid.shape, rows, cols, grid[rows, cols], groups, seconds)


def selection_of(grid_shape, rows, cols, parts) -> Selection:
    """A selection made elsewhere (the automatic default's), grouped by piece."""
    return Selection(grid_shape, rows, cols, None, _groups(rows, cols, parts), {})


def analyse_block(block, offset, piece, selection, region_size, smooth, limits, threads):
    """(positions in the selection, records, seconds) of one piece's selected regions."""
    positions = selection.groups.get(piece.key, np.zeros(0, np.int64))
    started = perf_counter()
    if positions.size:
        records = engine.analyse_regions(block, region_size, selection.rows[positions],
                                          selection.cols[positions], offset=offset,
                                          smooth=smooth, limits=limits, threads=threads)
    else:
        records = empty_records()
    return positions, records, perf_counter() - started


def auto_analyse_block(block, offset, piece, selection, region_size, smooth, limits, threads,
                       settings):
    """analyse_block, and the small-square variances of the piece's regions
    that the automatic default measures: (positions, records, seconds,
    measured positions, their square variances)."""
    positions, records, seconds = analyse_block(block, offset, piece, selection, region_size, smooth,
                                                limits, threads)
    measured = positions[np.isin(positions, sample_positions(selection.rows.size, settings))]
    squares = square_variances(block, region_size, selection.rows[measured], selection.cols[measured],
                               offset, settings, threads)
    return positions, records, seconds, measured, squares


def auto_records_of(selection: Selection, parts, settings) -> tuple:
    """(records in selection order, square variances of the measured
    regions in sample order), as the in-memory source gives them."""
    records = np.zeros(selection.rows.size, empty_records().dtype)
    squares = np.zeros((selection.rows.size, 2))
    for positions, part, _, measured, part_squares in parts:
        records[positions] = part
        squares[measured] = part_squares
    return records, squares[sample_positions(selection.rows.size, settings)]


def empty_records() -> np.ndarray:
    return engine.analyse_regions(np.zeros((1, 1), np.uint8), 1, [], [])


def gathered(selection: Selection, parts):
    """The records in selection order, and the seconds the analysis took."""
    records = np.zeros(selection.rows.size, empty_records().dtype)
    spent = 0.0
    for positions, part, seconds in parts:
        records[positions] = part
        spent += seconds
    return records, spent


def analysis_of(selection: Selection, parts, region_size) -> Analysis:
    """The classic Analysis of the whole image; stage_seconds sums the
    seconds the tasks of each stage spent, over all workers (the pixel
    decision does not run)."""
    records, spent = gathered(selection, parts)
    stage_seconds = dict.fromkeys(engine.STAGE_NAMES, 0.0)
    stage_seconds.update(selection.seconds, region_analysis=spent)
    return Analysis(grid_shape=tuple(selection.grid_shape), region_size=region_size,
                    selected_count=int(selection.rows.size), records=records,
                    variances=selection.variances,
                    valid_count=int(np.count_nonzero(records["status"] == 0)),
                    stage_seconds=stage_seconds)


def threshold_grid(selection: Selection, parts, region_size):
    """The classic threshold grid: filled from the passed regions in
    analysis order; NoRegionPassedError (with the whole analysis) when none
    passed."""
    analysis = analysis_of(selection, parts, region_size)
    if analysis.valid_count == 0:
        raise _portable(no_region_error(analysis))
    records = analysis.records
    passed = records["status"] == 0
    return engine.fill_grid(selection.grid_shape, records["row"][passed], records["col"][passed],
                             records["threshold"][passed])


def decide_block(block, grid, region_size, image_shape, threads, surface, mirror=False, block_info=None):
    """0/255 of one chunk, or its float32 thresholds when surface (mirror:
    on mirrored levels, AutoChoices.mirror)."""
    offset = tuple(s[0] for s in block_info[0]["array-location"])
    result = engine.decide(block, grid, region_size, offset=offset, image_shape=image_shape,
                            threads=threads, want_surface=surface, mirror=mirror)
    return result[1] if surface else result


def decide_median_block(block, grid, region_size, image_shape, threads, median, chunks, core=None,
                        mirror=False, block_id=None):
    """0/255 of one chunk of ``chunks`` (the levels' own), given with a row
    and a column of its neighbours on every side that has them; with median
    its pixels' 3x3 medians are decided, else its levels. With a core grid
    the ink not below it is left as marks (1; see _marks)."""
    origin = [int(sum(c[:i])) for c, i in zip(chunks, block_id)]
    before = [int(i > 0) for i in block_id]
    after = [int(i < len(c) - 1) for c, i in zip(chunks, block_id)]
    if median:
        return engine.decide(block, grid, region_size, offset=tuple(origin), image_shape=image_shape,
                             threads=threads, median=True, margin=(before[0], after[0], before[1], after[1]),
                             core=core, reach=False, mirror=mirror)
    inner = block[before[0]:block.shape[0] - after[0], before[1]:block.shape[1] - after[1]]
    return engine.decide(np.ascontiguousarray(inner), grid, region_size, offset=tuple(origin),
                         image_shape=image_shape, threads=threads, core=core, reach=False, mirror=mirror)


def edges_block(block, grid, region_size, image_shape, threads, core, mirror=False, block_info=None):
    """A 1x1 object cell: the chunk's _marks.Edges under the core grid, or
    None without one (its levels are then not read). Faint marks go with
    thin strokes, whose pixels are decided as they are (no medians)."""
    cell = np.empty((1, 1), object)
    if core is not None:
        cell[0, 0] = _edges_under(block, grid, core, mirror, region_size, image_shape, threads, block_info)
    return cell


def ground_edges_block(block, sides, region_size, image_shape, threads, block_info=None):
    """A 1x1 object cell: the chunk's (dark, bright) _marks.Edges under each
    side's ground grids (sides: ((grid, core), (grid, core)), the bright
    ones on mirrored levels), or None where sides is None (no ground
    fallback: its levels are then not read)."""
    cell = np.empty((1, 1), object)
    if sides is not None:
        cell[0, 0] = tuple(_edges_under(block, grid, core, mirror, region_size, image_shape, threads, block_info)
                           for mirror, (grid, core) in zip((False, True), sides))
    return cell


def _edges_under(block, grid, core, mirror, region_size, image_shape, threads, block_info) -> object:
    """The chunk's _marks.Edges of its decision under grid and core, marks
    left as 1s."""
    offset = tuple(s[0] for s in block_info[0]["array-location"])
    return edge_pieces(engine.decide(block, grid, region_size, offset=offset, image_shape=image_shape,
                                     threads=threads, core=core, reach=False, mirror=mirror))


class _PortableNoRegionPassed(NoRegionPassedError):
    """NoRegionPassedError that survives pickling (from a worker to the client)."""

    def __reduce__(self):
        return _rebuild, (str(self), self.analysis)


def _rebuild(message, analysis):
    return _PortableNoRegionPassed(message, analysis)


def _portable(error: NoRegionPassedError) -> NoRegionPassedError:
    return _PortableNoRegionPassed(str(error), error.analysis)
