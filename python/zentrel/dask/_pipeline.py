"""The chunked pipeline as a dask graph.

(whole-image reductions, for values wider than 8 bits) -> (variance, and for
the automatic default quantiles and level histogram, of each chunk's
regions) -> (the exact selection on the gathered grid) -> (analysis of the
selected regions, chunk by chunk) -> (the grid logic on the small grid) ->
(the pixel decision, chunk by chunk). The automatic default's stages are
zentrel.auto.pipeline.stages, in its order, on a ChunkedSource (below);
the classic ones are written here. Each image-sized stage reads the input
afresh (a copy of its graph under new keys) once the step before it is done,
so no worker keeps or preloads chunks across stages: between stages only
region grids and records travel.

A region stage reads each chunk once: one task computes the regions that
end inside the chunk and keeps copies of the chunk's edge bands (R-1 pixels
wide); small seam tasks compute the regions that reach into the next chunk
from those bands (see _geometry). Chunks shorter than R-1 pixels are merged
with a neighbour first.
"""

from __future__ import annotations

import dataclasses
import uuid
from functools import partial

import dask
import dask.array as da
import numpy as np
from dask._task_spec import DataNode, List, Task, TaskRef, convert_legacy_graph
from dask.delayed import Delayed
from dask.array.overlap import ensure_minimum_chunksize
from dask.highlevelgraph import HighLevelGraph

from zentrel.auto.levels import level_mapping
from zentrel.auto import analysis_of, scaled_stages
from zentrel.auto.settings import DEFAULT
from zentrel.core import Settings, lattice
from zentrel.dask import _auto_tasks, _marks, _tasks
from zentrel.dask._geometry import axis_parts

class Pipeline:
    def __init__(self, array: da.Array, options: Settings):
        self.source = array
        self.options = options
        self.only_if = None
        self.auto = not options.classic
        self.objects = options.objects
        self.settings = DEFAULT
        self._mapping = self._variance_stage = self._selection = self._stages = None
        self.shape = tuple(int(n) for n in array.shape)
        self.percent = options.percent
        self.region_size = region_size = options.region_size
        self.smooth = options.smooth
        # One engine thread per task unless asked: dask runs the tasks in parallel.
        self.threads = options.threads or 1
        self.limits = options.limits or None
        self.depth = region_size - 1
        self.region_chunks = tuple(ensure_minimum_chunksize(max(self.depth, 1), c)
                                   for c in array.chunks)
        self.parts = tuple(axis_parts(c, region_size) for c in self.region_chunks)
        self.grid_shape = lattice.grid_shape(self.shape, region_size)

    def at_size(self, region_size: int, only_if=None) -> "Pipeline":
        """The same image at another region size, sharing the level mapping;
        with only_if (a Delayed bool) its stages read the input only if it
        is true."""
        other = Pipeline(self.source, dataclasses.replace(self.options, region_size=region_size))
        other._mapping = self.mapping() if self.auto else None
        other.only_if = only_if
        return other

    def levels(self, after=None) -> da.Array:
        """A fresh reading of the input as uint8 grey levels, after ``after``
        (and only if self.only_if, see at_size)."""
        fresh = _fresh(self.source, after, self.only_if)
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
                self._mapping = level_mapping(dtype, 0, 0, None, self.settings)
            else:
                span = dask.delayed(_auto_tasks.value_range)(
                    _cells(self._reduce(_fresh(self.source), _auto_tasks.value_range_part)))
                fine = self._reduce(_fresh(self.source, span), _auto_tasks.fine_histogram_part, span,
                                    self.settings)
                self._mapping = dask.delayed(_auto_tasks.mapping_of)(dtype, span, _cells(fine),
                                                                     self.settings)
        return self._mapping

    @staticmethod
    def _reduce(array: da.Array, function, *args) -> da.Array:
        cells = tuple(tuple(1 for _ in c) for c in array.chunks)
        return array.map_blocks(function, *args, dtype=object, chunks=cells,
                                meta=np.empty((0, 0), object))

    def _region_stage(self, function, after, *args, extra=None):
        """function(block, offset, piece, *args) on every piece of the region
        grid, reading each chunk once ``after`` is done. Returns a Delayed
        list of the results, and one of extra(chunk) for every chunk when
        extra is given.

        The tasks past the chunk tasks are written straight into one graph
        layer: made one by one as Delayed calls, each would merge and cull
        the whole graph again."""
        levels = self.levels(after)
        if levels.chunks != self.region_chunks:
            levels = levels.rechunk(self.region_chunks)
        task = partial(_tasks.chunk_task, function, self.parts, self.depth, extra)
        cells = self._reduce(levels, task, *args)
        token = uuid.uuid4().hex[:12]
        layer, results, extras = {}, [], []
        late = [a for a in args if isinstance(a, Delayed)]
        refs = [TaskRef(a.key) if isinstance(a, Delayed) else DataNode(None, a) for a in args]
        n_rows, n_cols = len(self.parts[0]), len(self.parts[1])

        def cell(i, j):
            return TaskRef((cells.name, i, j)) if i < n_rows and j < n_cols else None

        def item(name, i, j, index):
            key = (f"{name}-{token}", i, j)
            layer[key] = Task(key, _tasks.cell_item, cell(i, j), index)
            return TaskRef(key)

        for i in range(n_rows):
            for j in range(n_cols):
                results.append(item("inner", i, j, 0))
                if extra is not None:
                    extras.append(item("extra", i, j, 2))
                if (i + 1 < n_rows or j + 1 < n_cols) and self.depth:
                    key = (f"seam_task-{token}", i, j)
                    neighbours = List(cell(i, j), cell(i, j + 1), cell(i + 1, j), cell(i + 1, j + 1))
                    layer[key] = Task(key, _tasks.seam_task, DataNode(None, function),
                                      DataNode(None, self.parts), self.depth, (i, j), neighbours,
                                      *refs)
                    results.append(TaskRef(key))
        keys = [f"piece_results-{token}", f"chunk_extras-{token}"]
        layer[keys[0]] = Task(keys[0], _tasks.joined, List(*results))
        layer[keys[1]] = Task(keys[1], list, List(*extras))
        name = f"region-stage-{token}"
        graph = HighLevelGraph.from_collections(name, layer, dependencies=[cells, *late])
        results, extras = (Delayed(key, graph, layer=name) for key in keys)
        return results, extras if extra is not None else None

    def _variances(self):
        """The classic variance stage's piece results."""
        if self._variance_stage is None:
            self._variance_stage, _ = self._region_stage(_tasks.variance_block, None,
                                                         self.region_size, self.threads)
        return self._variance_stage

    def selection(self):
        if self._selection is None:
            self._selection = dask.delayed(_tasks.select)(self._variances(), self.grid_shape,
                                                          self.percent, self.parts)
        return self._selection

    def _analysed(self, selection, smooth, limits):
        """The analysis stage's piece results for a Delayed selection."""
        results, _ = self._region_stage(_tasks.analyse_block, selection, selection, self.region_size,
                                        smooth, limits, self.threads)
        return results

    def _gathered(self, function):
        """function(selection, the analysed pieces, region size) as one task (classic)."""
        selection = self.selection()
        return dask.delayed(function)(selection, self._analysed(selection, self.smooth, self.limits),
                                      self.region_size)

    def auto_stages(self):
        """The automatic default's stages up to the grid, as Delayed values."""
        if self._stages is None:
            self._stages = scaled_stages(ChunkedSource(self), self.percent, self.objects, self.settings)
        return self._stages

    def analysis(self):
        if self.auto:
            done = self.auto_stages()
            return dask.delayed(analysis_of)(self.region_size, done.variance, done.records,
                                               done.choices)
        return self._gathered(_tasks.analysis_of)

    def grid(self):
        if self.auto:
            return self.auto_stages().grid
        return self._gathered(_tasks.threshold_grid)

    def decide(self, surface: bool) -> da.Array:
        dtype = np.float32 if surface else np.uint8
        grid = self.grid()
        # The automatic default's grid may lie on a finer lattice (scales).
        region_size = self.auto_stages().region_size if self.auto else self.region_size
        levels = self.levels(grid)
        if self.auto and not surface:
            # The decision may read 3x3 medians (AutoChoices.median): each
            # chunk comes with a row and a column of its neighbours around
            # it, none past the image's edges, where the medians repeat the
            # edge as the in-memory call does.
            choices, core = self.auto_stages().choices, self.auto_stages().core
            median, mirror = choices.median, choices.mirror
            args = (grid, region_size, self.shape, self.threads, median, levels.chunks, core, mirror)
            around = da.overlap.overlap(levels, depth={0: 1, 1: 1}, boundary="none")
            decided = around.map_blocks(_tasks.decide_median_block, *args, chunks=levels.chunks, dtype=dtype,
                                        meta=np.empty((0, 0), dtype))
            # Faint marks joined to ink through other chunks (_marks): each
            # chunk's pieces along its edges, from a reading of its own made
            # only where there is a core grid.
            gated = self.at_size(self.region_size, dask.delayed(_has_core)(core)).levels(grid)
            edges = gated.map_blocks(_tasks.edges_block, grid, region_size, self.shape, self.threads, core, mirror,
                                     chunks=_one_cell_each(levels), dtype=object, meta=np.empty((0, 0), object))
            reached = dask.delayed(_marks.reach_across)(_cells(edges), edges.numblocks)
            return decided.map_blocks(_marks.keep_reached_block, reached, mirror, dtype=dtype,
                                      meta=np.empty((0, 0), dtype))
        mirror = self.auto_stages().choices.mirror if self.auto else False
        return levels.map_blocks(
            _tasks.decide_block, grid, region_size, self.shape, self.threads, surface, mirror,
            dtype=dtype, meta=np.empty((0, 0), dtype))


class ChunkedSource:
    """The source zentrel.auto.pipeline.stages runs on over chunks: each
    image-sized pass is a region stage of the pipeline, reading every chunk
    once; each small step on the gathered grids is one task."""

    def __init__(self, pipeline: Pipeline):
        self.pipeline = pipeline
        self.grid_shape = pipeline.grid_shape
        self.region_size = pipeline.region_size
        self.threads = pipeline.threads
        self._histogram = self._sample = None
        self._coarse = self._wanted = None

    def at_size(self, region_size: int, wanted) -> "ChunkedSource":
        """The same image at another region size, for the finer scale's
        stages: they read the input and its region pass computes only if
        wanted (a Delayed bool), and the levels' histograms are this
        source's."""
        finer = ChunkedSource(self.pipeline.at_size(region_size, wanted))
        finer._coarse, finer._wanted = self, wanted
        return finer

    @staticmethod
    def call(function, *args, nout=None):
        return dask.delayed(function, nout=nout)(*args)

    def mapping(self, settings):
        # The pipeline keeps the mapping, made under its own settings (those
        # it runs the stages with): every later reading of chunks needs it.
        assert settings is self.pipeline.settings
        return self.pipeline.mapping()

    def region_grids(self, shares) -> tuple:
        """One pass: each region's variance and quantiles, and each chunk's
        level histogram."""
        if self._coarse is not None:  # the finer scale: the coarse pass counted the levels
            results, _ = self.pipeline._region_stage(
                _tasks.variance_block_if, self._wanted, self._wanted, self.pipeline.region_size,
                self.pipeline.threads, shares)
            self._histogram, self._sample = self._coarse._histogram, self._coarse._sample
        else:
            mapping = self.pipeline.mapping()
            gate = mapping if isinstance(mapping, Delayed) else None
            results, histograms = self.pipeline._region_stage(
                _tasks.variance_block, gate, self.pipeline.region_size, self.pipeline.threads, shares,
                extra=partial(_auto_tasks.chunk_histograms, image_shape=self.pipeline.shape,
                              settings=self.pipeline.settings))
            self._histogram, self._sample = self.call(_auto_tasks.histogram_sums, histograms, nout=2)
        variance, quantiles, _ = self.call(_tasks.region_grids, results, self.grid_shape, nout=3)
        return variance, quantiles

    def level_sample(self, settings):
        assert settings is self.pipeline.settings
        return self._sample

    def fits(self, rows, cols, limits, smooth, settings):
        selection = self.call(_tasks.selection_of, self.grid_shape, rows, cols, self.pipeline.parts)
        pieces, _ = self.pipeline._region_stage(_tasks.auto_analyse_block, selection, selection,
                                                self.pipeline.region_size, smooth, limits,
                                                self.pipeline.threads, settings)
        return self.call(_tasks.auto_records_of, selection, pieces, settings, nout=2)

    def level_histogram(self):
        return self._histogram

    def ground_weights(self, sides):
        """The ground fallback's (dark, bright) piece weights, or None: one
        more reading of the chunks, made only where there are sides' grids
        (ground.ground_sides); pieces are joined across chunks
        (_marks.weight_across)."""
        p = self.pipeline
        levels = p.at_size(p.region_size, self.call(_has_core, sides)).levels(sides)
        edges = levels.map_blocks(_tasks.ground_edges_block, sides, p.region_size, p.shape, p.threads,
                                  chunks=_one_cell_each(levels), dtype=object, meta=np.empty((0, 0), object))
        cells = _cells(edges)
        return self.call(_pair, *(self.call(_marks.weight_across, cells, edges.numblocks, side) for side in (0, 1)))


def _cells(results: da.Array) -> list:
    """The per-chunk results as a list for one gathering task, taken without
    dask's graph optimization."""
    return results.to_delayed(optimize_graph=False).ravel().tolist()


def _has_core(core) -> bool:
    return core is not None


def _pair(first, second):
    return None if first is None else (first, second)


def _one_cell_each(array: da.Array) -> tuple:
    """Chunks of one cell per chunk of array, for a per-chunk summary."""
    return tuple((1,) * len(c) for c in array.chunks)


def _fresh(array: da.Array, after=None, only_if=None) -> da.Array:
    """The same array under new keys, so the scheduler computes it anew
    instead of keeping its chunks for a later stage; with ``after`` (a
    Delayed) its reads wait for it, so that a stage does not load chunks it
    cannot use yet while a gathering step runs. With ``only_if`` (a Delayed
    bool) its chunks are read only if it is true, and are zeros of their
    shape, read from nowhere, if not: for a stage that may turn out not to
    be needed (reads straight from stored data only; a chunk computed from
    others is computed either way). (dask's own graph_manipulation.clone
    loses dependencies of some getitem graphs.)"""
    graph = convert_legacy_graph(dict(array.__dask_graph__()))
    token = uuid.uuid4().hex[:12]

    def renamed(key):
        return (f"{key[0]}-{token}",) + key[1:] if isinstance(key, tuple) else f"{key}-{token}"

    names = {key: renamed(key) for key in graph}
    data = {names[key] for key, node in graph.items() if isinstance(node, DataNode)}
    gates = [gate for gate in (after, only_if) if gate is not None]
    copy = {}
    for key, node in graph.items():
        node = node.substitute(names, key=names[key])
        read = isinstance(node, Task) and node.dependencies <= data
        if read and only_if is not None and isinstance(key, tuple) and key[0] == array.name:
            shape = tuple(c[i] for c, i in zip(array.chunks, key[1:]))
            inputs = sorted(node.dependencies, key=str)
            node = Task(names[key], _tasks.read_if, TaskRef(only_if.key),
                        TaskRef(after.key) if after is not None else None, DataNode(None, node),
                        tuple(inputs), shape, array.dtype, *(TaskRef(k) for k in inputs))
        elif read and after is not None:
            node = Task(names[key], _tasks.after, TaskRef(after.key), node)
        copy[names[key]] = node
    layers = HighLevelGraph.from_collections(renamed(array.name), copy, dependencies=gates)
    return da.Array(layers, renamed(array.name), array.chunks, meta=array._meta)
