"""The chunked pipeline as a dask graph.

(whole-image reductions, for the automatic default) -> (variance, and
quantiles, of each chunk's regions) -> (the exact selection on the gathered
grid) -> (analysis of the selected regions, chunk by chunk) -> (the grid
logic on the small grid) -> (the pixel decision, chunk by chunk). Each
image-sized stage reads the input afresh (a copy of its graph under new
keys) once the step before it is done, so no worker keeps or preloads
chunks across stages: between stages only region grids and records travel.

The region stages work on the chunks extended by R-1 pixels to the bottom
and right (dask's overlap, one graph layer), which holds every region whose
top-left pixel lies in the chunk. Chunks shorter than that are merged with a
neighbour first.
"""

from __future__ import annotations

import uuid
from functools import partial

import dask
import dask.array as da
import numpy as np
from dask._task_spec import DataNode, Task, TaskRef, convert_legacy_graph
from dask.array.overlap import ensure_minimum_chunksize, overlap
from dask.highlevelgraph import HighLevelGraph

from zentrel import _auto
from zentrel.dask import _auto_tasks, _tasks
from zentrel.dask._geometry import axis_parts, region_count

class Pipeline:
    def __init__(self, array: da.Array, percent: int, region_size: int, smooth: bool,
                 threads: int, limits: dict, auto: bool = False, objects=None):
        self.source = array
        self.auto = auto
        self.objects = objects
        self._plan = self._mapping = None
        self.shape = tuple(int(n) for n in array.shape)
        self.percent = percent
        self.region_size = region_size
        self.smooth = smooth
        self.threads = threads
        self.limits = limits or None
        self.depth = region_size - 1
        self.region_chunks = tuple(ensure_minimum_chunksize(max(self.depth, 1), c)
                                   for c in array.chunks)
        self.parts = tuple(axis_parts(c, region_size) for c in self.region_chunks)
        self.grid_shape = tuple(region_count(n, region_size) for n in self.shape)

    def levels(self, after=None) -> da.Array:
        """A fresh reading of the input as uint8 grey levels, after ``after``."""
        fresh = _fresh(self.source, after)
        if self.auto:
            return fresh.map_blocks(_auto_tasks.levels_block, self.mapping(), dtype=np.uint8,
                                    meta=np.empty((0, 0), np.uint8))
        if fresh.dtype == np.uint8:
            return fresh
        return fresh.map_blocks(_tasks.to_levels, dtype=np.uint8, meta=np.empty((0, 0), np.uint8))

    def mapping(self):
        """The automatic default's mapping of values to levels: for wide
        values from their range and fine histogram, two reductions."""
        if self._mapping is None:
            dtype = self.source.dtype
            if dtype in (np.uint8, np.bool_):
                self._mapping = _auto.level_mapping(dtype, 0, 0)
            else:
                span = dask.delayed(_auto_tasks.value_range)(
                    _cells(self._reduce(_fresh(self.source), _auto_tasks.value_range_part)))
                fine = self._reduce(_fresh(self.source, span), _auto_tasks.fine_histogram_part, span)
                self._mapping = dask.delayed(_auto_tasks.mapping_of)(dtype, span, _cells(fine))
        return self._mapping

    def plan(self):
        """The automatic default's whole-image plan: mapping, level histogram, polarity."""
        if self._plan is None:
            mapping = self.mapping()
            counts = self._reduce(self.levels(mapping if hasattr(mapping, "key") else None),
                                  _auto_tasks.level_histogram_part)
            self._plan = dask.delayed(_auto_tasks.plan_of)(self.mapping(), _cells(counts),
                                                           self.objects)
        return self._plan

    @staticmethod
    def _reduce(array: da.Array, function, *args) -> da.Array:
        cells = tuple(tuple(1 for _ in c) for c in array.chunks)
        return array.map_blocks(function, *args, dtype=object, chunks=cells,
                                meta=np.empty((0, 0), object))

    def _extended(self, after=None) -> da.Array:
        levels = self.levels(after)
        if levels.chunks != self.region_chunks:
            levels = levels.rechunk(self.region_chunks)
        if self.depth == 0:
            return levels
        return overlap(levels, depth={0: (0, self.depth), 1: (0, self.depth)}, boundary="none",
                       allow_rechunk=False)

    def _per_chunk(self, function, after, *args) -> da.Array:
        """function(extended block, row part, col part, *args) on every chunk, one result
        each, reading the chunks once ``after`` is done."""
        ext = self._extended(after)
        cells = tuple(tuple(1 for _ in c) for c in ext.chunks)
        return ext.map_blocks(partial(_tasks.on_chunk, function, self.parts), *args, dtype=object,
                              chunks=cells, meta=np.empty((0, 0), object))

    def selection(self):
        plan = self.plan() if self.auto else None
        variances = self._per_chunk(_tasks.variance_block, plan, self.region_size, self.threads,
                                    plan)
        return dask.delayed(_tasks.select)(_cells(variances), self.grid_shape, self.percent,
                                           self.region_size, self.parts, self.auto)

    def _analysed(self, selection):
        plan = self.plan() if self.auto else None
        return _cells(self._per_chunk(_tasks.analyse_block, selection, selection, self.region_size,
                                      self.smooth, self.limits, self.threads, plan))

    def analysis(self):
        selection = self.selection()
        return dask.delayed(_tasks.analysis_of)(selection, self._analysed(selection),
                                                self.region_size, self.plan() if self.auto else None)

    def grid(self):
        selection = self.selection()
        return dask.delayed(_tasks.threshold_grid)(selection, self._analysed(selection),
                                                   self.region_size, self.plan() if self.auto else None)

    def decide(self, surface: bool) -> da.Array:
        dtype = np.float32 if surface else np.uint8
        grid = self.grid()
        return self.levels(grid).map_blocks(
            _tasks.decide_block, grid, self.region_size, self.shape, self.threads, surface,
            dtype=dtype, meta=np.empty((0, 0), dtype))


def _cells(results: da.Array) -> list:
    """The per-chunk results as a list for one gathering task. Taken without
    dask's graph optimization, whose fusion refuses some overlap graphs."""
    return results.to_delayed(optimize_graph=False).ravel().tolist()


def _fresh(array: da.Array, after=None) -> da.Array:
    """The same array under new keys, so the scheduler computes it anew
    instead of keeping its chunks for a later stage; with ``after`` (a
    Delayed) its reads wait for it, so that a stage does not load chunks it
    cannot use yet while a gathering step runs. (dask's own
    graph_manipulation.clone loses dependencies of some getitem graphs.)"""
    graph = convert_legacy_graph(dict(array.__dask_graph__()))
    token = uuid.uuid4().hex[:12]

    def renamed(key):
        return (f"{key[0]}-{token}",) + key[1:] if isinstance(key, tuple) else f"{key}-{token}"

    names = {key: renamed(key) for key in graph}
    data = {names[key] for key, node in graph.items() if isinstance(node, DataNode)}
    copy = {}
    for key, node in graph.items():
        node = node.substitute(names, key=names[key])
        if after is not None and isinstance(node, Task) and node.dependencies <= data:
            node = Task(names[key], _tasks.after, TaskRef(after.key), node)
        copy[names[key]] = node
    layers = HighLevelGraph.from_collections(renamed(array.name), copy,
                                             dependencies=[after] if after is not None else [])
    return da.Array(layers, renamed(array.name), array.chunks, meta=array._meta)
