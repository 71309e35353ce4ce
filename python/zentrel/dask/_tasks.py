"""The functions dask runs: each works on one chunk's block or on the small
region grid, never on the whole image. They are plain module functions so
that distributed workers can unpickle them by name."""

from __future__ import annotations

from time import perf_counter
from typing import NamedTuple, Optional

import numpy as np

from zentrel import _engine
from zentrel._api import Analysis, NoRegionPassedError, _no_region_error

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


def on_chunk(function, parts, block, *args, block_info=None):
    """function's result for one chunk, as the 1 x 1 object block dask carries."""
    i, j = block_info[0]["chunk-location"]
    cell = np.empty((1, 1), object)
    cell[0, 0] = function(block, parts[0][i], parts[1][j], (i, j), *args)
    return cell


def variance_block(block, rp, cp, chunk, region_size, threads, plan=None):
    """(region span, variances, quantiles or None, seconds) of the regions
    starting in one chunk; the quantiles for the automatic default (plan)."""
    span = (rp.first_region, rp.stop_region, cp.first_region, cp.stop_region)
    started = perf_counter()
    scores = quantiles = None
    if rp.stop_region > rp.first_region and cp.stop_region > cp.first_region:
        where = dict(offset=(rp.start, cp.start), threads=threads,
                     regions=(rp.first_region, cp.first_region, span[1] - span[0], span[3] - span[2]))
        if plan is not None:
            from zentrel import _auto

            quantiles = _engine.region_quantiles(block, region_size, _auto.QUANTILE_SHARES, **where)
        scores = _engine.variance_map(block, region_size, **where)
    return span, scores, quantiles, perf_counter() - started


class Selection(NamedTuple):
    grid_shape: tuple
    rows: np.ndarray       # selected regions, highest score first
    cols: np.ndarray
    variances: np.ndarray  # of the selected regions
    groups: dict           # chunk (i, j) -> positions in the selection, ascending
    seconds: dict          # stage name -> seconds so far
    quantiles: Optional[np.ndarray]  # the region grid's quantiles (automatic default)


def select(cells, grid_shape, percent, region_size, parts, auto=False) -> Selection:
    """The exact selection on the whole gathered grid, grouped by the chunk
    holding each selected region's top-left pixel. Classic: the percent
    highest variances; automatic: the automatic default's region scores."""
    grid = np.full(grid_shape, np.nan, np.float32)
    quantiles = None
    covered = np.zeros(grid_shape, bool)
    variance_seconds = 0.0
    for cell in cells:
        (r0, r1, c0, c1), scores, part_quantiles, spent = cell[0, 0]
        if scores is not None:
            grid[r0:r1, c0:c1] = scores
            covered[r0:r1, c0:c1] = True
            if auto:
                if quantiles is None:
                    quantiles = np.full(grid_shape + part_quantiles.shape[2:], np.nan, np.float32)
                quantiles[r0:r1, c0:c1] = part_quantiles
        variance_seconds += spent
    if not covered.all():  # the chunk plan tiles the grid; anything else is a fault here
        raise AssertionError("the chunks' region ranges do not cover the region grid")
    started = perf_counter()
    if auto:
        from zentrel import _auto

        _, rows, cols = _auto.choose_regions(grid, percent, _engine.select_regions)
    else:
        rows, cols = _engine.select_regions(grid, grid.size * percent // 100)
    row_starts = np.array([p.start for p in parts[0]], np.int64)
    col_starts = np.array([p.start for p in parts[1]], np.int64)
    chunk_rows = np.searchsorted(row_starts, rows.astype(np.int64) * region_size // 2, "right") - 1
    chunk_cols = np.searchsorted(col_starts, cols.astype(np.int64) * region_size // 2, "right") - 1
    key = chunk_rows * len(col_starts) + chunk_cols
    order = np.argsort(key, kind="stable")
    groups = {}
    if order.size:
        for positions in np.split(order, np.flatnonzero(np.diff(key[order])) + 1):
            groups[divmod(int(key[positions[0]]), len(col_starts))] = positions
    seconds = {"variance_map": variance_seconds, "selection": perf_counter() - started}
    return Selection(grid.shape, rows, cols, grid[rows, cols], groups, seconds, quantiles)


def analyse_block(block, rp, cp, chunk, selection, region_size, smooth, limits, threads,
                  plan=None):
    """(positions in the selection, records, seconds) of one chunk's selected regions."""
    positions = selection.groups.get(chunk, np.zeros(0, np.int64))
    started = perf_counter()
    if positions.size:
        if plan is not None:
            from zentrel import _auto

            # As the automatic default: its own limits and smoothing.
            limits, smooth = _auto.AUTO_LIMITS, _auto.fit_smoothing(plan.mapping)
        records = _engine.analyse_regions(block, region_size, selection.rows[positions],
                                          selection.cols[positions], offset=(rp.start, cp.start),
                                          smooth=smooth, limits=limits, threads=threads)
    else:
        records = empty_records()
    return positions, records, perf_counter() - started


def empty_records() -> np.ndarray:
    return _engine.analyse_regions(np.zeros((1, 1), np.uint8), 1, [], [])


def gathered(selection: Selection, parts):
    """The records in selection order, and the seconds the analysis took."""
    records = np.zeros(selection.rows.size, empty_records().dtype)
    spent = 0.0
    for cell in parts:
        positions, part, seconds = cell[0, 0]
        records[positions] = part
        spent += seconds
    return records, spent


def analysis_of(selection: Selection, parts, region_size, plan=None) -> Analysis:
    """The Analysis of the whole image. For the classic analysis
    stage_seconds sums the seconds the tasks of each stage spent, over all
    workers (the pixel decision does not run); the automatic default, like
    its in-memory form, reports none."""
    records, spent = gathered(selection, parts)
    fields = dict(grid_shape=tuple(selection.grid_shape), region_size=region_size,
                  selected_count=int(selection.rows.size), records=records,
                  variances=selection.variances)
    if plan is not None:
        from zentrel.dask._auto_tasks import grid_and_choices

        _, choices = grid_and_choices(selection, records, plan, int(selection.rows.size))
        return Analysis(valid_count=choices.passed_count, auto=choices, **fields)
    stage_seconds = dict.fromkeys(_engine.STAGE_NAMES, 0.0)
    stage_seconds.update(selection.seconds, region_analysis=spent)
    return Analysis(valid_count=int(np.count_nonzero(records["status"] == 0)),
                    stage_seconds=stage_seconds, **fields)


def threshold_grid(selection: Selection, parts, region_size, plan=None):
    """The threshold grid. Classic: filled from the passed regions in
    analysis order, NoRegionPassedError (with the whole analysis) when none
    passed; automatic: the automatic default's grid, which always exists."""
    if plan is not None:
        from zentrel.dask._auto_tasks import grid_and_choices

        records, _ = gathered(selection, parts)
        return grid_and_choices(selection, records, plan, int(selection.rows.size))[0]
    analysis = analysis_of(selection, parts, region_size)
    if analysis.valid_count == 0:
        raise _portable(_no_region_error(analysis))
    records = analysis.records
    passed = records["status"] == 0
    return _engine.fill_grid(selection.grid_shape, records["row"][passed], records["col"][passed],
                             records["threshold"][passed])


def decide_block(block, grid, region_size, image_shape, threads, surface, block_info=None):
    """0/255 of one chunk, or its float32 thresholds when surface."""
    offset = tuple(s[0] for s in block_info[0]["array-location"])
    result = _engine.decide(block, grid, region_size, offset=offset, image_shape=image_shape,
                            threads=threads, want_surface=surface)
    return result[1] if surface else result


class _PortableNoRegionPassed(NoRegionPassedError):
    """NoRegionPassedError that survives pickling (from a worker to the client)."""

    def __reduce__(self):
        return _rebuild, (str(self), self.analysis)


def _rebuild(message, analysis):
    return _PortableNoRegionPassed(message, analysis)


def _portable(error: NoRegionPassedError) -> NoRegionPassedError:
    return _PortableNoRegionPassed(str(error), error.analysis)
