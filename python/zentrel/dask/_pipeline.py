"""The chunked pipeline as a dask graph.

(variance of each chunk's regions) -> (the exact selection on the gathered
grid) -> (analysis of the selected regions, chunk by chunk) -> (the grid
fill on the small grid) -> (the pixel decision, chunk by chunk). Each
image-sized stage reads the input afresh (a clone of its graph), so no
worker keeps chunks from one stage for the next: between stages only the
region grid and the records travel.
"""

from __future__ import annotations

import dask
import dask.array as da
import numpy as np
from dask.graph_manipulation import clone

from zentrel.dask import _tasks
from zentrel.dask._geometry import axis_parts, region_count


class Pipeline:
    def __init__(self, array: da.Array, percent: int, region_size: int, smooth: bool,
                 threads: int, limits: dict):
        self.source = array
        self.shape = tuple(int(n) for n in array.shape)
        self.percent = percent
        self.region_size = region_size
        self.smooth = smooth
        self.threads = threads
        self.limits = limits or None
        self.row_parts = axis_parts(array.chunks[0], region_size)
        self.col_parts = axis_parts(array.chunks[1], region_size)
        self.grid_shape = tuple(region_count(n, region_size) for n in self.shape)

    def levels(self) -> da.Array:
        """A fresh reading of the input as uint8 grey levels."""
        fresh = clone(self.source)
        if fresh.dtype == np.uint8:
            return fresh
        return fresh.map_blocks(_tasks.to_levels, dtype=np.uint8, meta=np.empty((0, 0), np.uint8))

    def _region_blocks(self, levels: da.Array):
        """(chunk index, offset, region span, block) of every chunk where regions start."""
        for i, rp in enumerate(self.row_parts):
            for j, cp in enumerate(self.col_parts):
                if rp.stop_region > rp.first_region and cp.stop_region > cp.first_region:
                    block = levels[rp.block_start:rp.block_stop, cp.block_start:cp.block_stop]
                    span = (rp.first_region, rp.stop_region, cp.first_region, cp.stop_region)
                    yield (i, j), (rp.block_start, cp.block_start), span, block

    def selection(self):
        spans, pieces = [], []
        for _, offset, (r0, r1, c0, c1), block in self._region_blocks(self.levels()):
            spans.append((r0, r1, c0, c1))
            pieces.append(dask.delayed(_tasks.variance_block)(
                block, self.region_size, offset, (r0, c0, r1 - r0, c1 - c0), self.threads))
        grid = dask.delayed(_tasks.assemble_grid)(self.grid_shape, spans, pieces)
        row_starts = np.array([p.start for p in self.row_parts], np.int64)
        col_starts = np.array([p.start for p in self.col_parts], np.int64)
        return dask.delayed(_tasks.select)(grid, self.percent, self.region_size, row_starts, col_starts)

    def analysis_parts(self, selection) -> list:
        parts = []
        for chunk, offset, _, block in self._region_blocks(self.levels()):
            picked = dask.delayed(_tasks.pick)(selection, chunk)
            parts.append(dask.delayed(_tasks.analyse_block)(
                block, picked, self.region_size, offset, self.smooth, self.limits, self.threads))
        return parts

    def analysis(self):
        selection = self.selection()
        return dask.delayed(_tasks.analysis_of)(selection, self.analysis_parts(selection),
                                                self.region_size)

    def grid(self):
        selection = self.selection()
        return dask.delayed(_tasks.threshold_grid)(selection, self.analysis_parts(selection),
                                                   self.region_size)

    def decide(self, surface: bool) -> da.Array:
        dtype = np.float32 if surface else np.uint8
        return self.levels().map_blocks(
            _tasks.decide_block, self.grid(), self.region_size, self.shape, self.threads, surface,
            dtype=dtype, meta=np.empty((0, 0), dtype))
