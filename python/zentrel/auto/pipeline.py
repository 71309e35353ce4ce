"""The automatic default's stages, in the one order every caller follows.

    mapping   = source.mapping()              levels: value range, fine histogram
    variance, quantiles = source.region_grids()       one pass over the levels
    sample    = source.level_sample()                 a lattice's level histogram (same pass)
    quiet     = quiet_variance(variance)              the image's quiet level
    count, rows, cols = choose(variance, quiet)       regions, tile by tile
    records, measured = source.fits(rows, cols)       the engine's fits, and the
                                                      sampled regions' small squares
    judgement = judge_regions(records)                one verdict per region
    grid, choices, judgement, base = settle(judgement, ...)
                                                      side -> which regions pass -> grid
                                                      (or a fallback) -> faint marks raised
    sides = ground_sides(choices, quantiles)          on ground, or with no side known:
    grid, choices, judgement, base = settle_by_pieces(source.ground_weights(sides), sides, ...)
                                                      each side's grids, and the marks'
                                                      side from their pieces
    (scaled_stages: for thin strokes the same stages at half the region
    size, and the grid then the two grids' mean on the finer lattice)
    core = core_grid(grid, quantiles, choices, base)  where choices.marks: the level ink must reach
    (then every pixel, or its 3x3 median where choices.median, against the
    grid, and with a core grid faint marks kept only where they join ink:
    source-specific, from the grids and the choices alone)

stages(source, ...) is that order, written once. A source does the
image-sized work and runs each small step through source.call(function,
*args): WholeImage (below) on an in-memory array, at once; zentrel.dask's
source over chunks, as one graph task per step. Either way the steps are
the same functions on the same gathered values, so the results are equal.

A source provides: grid_shape, region_size, threads (the engine's threads
for its small steps too); call(function, *args, nout=None);
mapping(settings) -> LevelMapping, after which it reads the image as those
levels; region_grids(shares) -> (variance grid, quantile grid);
level_sample(settings) -> levels.sample_histogram of the whole image
(or what call() turns into it: WholeImage counts it beside the next steps);
fits(rows, cols, limits, smooth, settings) -> (engine records in that
order, strokes.square_variances of the strokes.sample_positions regions);
level_histogram() -> the 256-bin histogram of the levels (from the
region pass); at_size(region_size, wanted) -> the same image at another
region size (scaled_stages' finer scale; wanted may be a chunked caller's
Delayed bool).
"""

from __future__ import annotations

import dataclasses
import inspect
import os
import threading
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, NamedTuple

import numpy as np

from zentrel.core import engine, lattice
from zentrel.auto.choices import AutoChoices
from zentrel.auto.ground import ground_side, ground_sides, piece_weight, pieces_reason, with_ground_side
from zentrel.auto.judge import judge_regions, judged_records
from zentrel.auto.levels import fit_smoothing, sample_histogram, to_levels
from zentrel.auto.marks import core_grid
from zentrel.auto.regions import choose_regions, quiet_variance
from zentrel.auto.scales import among_areas, fine_selection, fine_size, pick_scale, wants_fine
from zentrel.auto.settings import DEFAULT, AutoSettings
from zentrel.auto.settling import settle
from zentrel.auto.strokes import sample_positions, square_variances


class Stages(NamedTuple):
    """What the stages give before the pixel decision (values, or a
    chunked source's Delayed)."""

    variance: Any  # the variance grid
    records: Any   # the engine's fits with the verdict written in (judged_records)
    grid: Any      # the threshold grid, float32, in the input's level polarity
    choices: Any   # AutoChoices
    region_size: Any  # the region size of the grid's lattice
    quantiles: Any = None  # the levels' quantile grid at that region size (uint8 levels:
    #                        a quarter of float32's memory; every step converts before it subtracts)
    core: Any = None  # the core threshold grid on the grid's lattice, or None (marks)
    base: Any = None  # the grid before faint marks were raised, or None (settle)


def choose(variance, quiet: float, percent: int, settings: AutoSettings = DEFAULT) -> tuple:
    """choose_regions with the engine's exact selection of the top scores
    (a step of its own: a task cannot carry the engine's function)."""
    return choose_regions(variance, quiet, percent, engine.select_regions, settings)


def stages(source, percent: int, objects=None, settings: AutoSettings = DEFAULT, wanted=True,
           strokes_only=False) -> Stages:
    """The automatic default's stages on source, in order (see the module);
    the options are checked (core.Settings). The finer scale's stages
    (scales) pass on what the coarse ones found: with wanted not True (a
    chunked caller cannot yet know whether they are needed) no region is
    fitted unless it is true; strokes_only, see settle."""
    call = source.call
    mapping = source.mapping(settings)
    variance, quantiles = source.region_grids(settings.quantile_shares)
    sample = source.level_sample(settings)
    quiet = call(quiet_variance, variance, settings)
    count, rows, cols = call(choose, variance, quiet, percent, settings, nout=3)
    if wanted is not True:
        count, rows, cols = call(fine_selection, count, rows, cols, wanted, nout=3)
    smooth = call(fit_smoothing, mapping, sample, settings)
    records, measured = source.fits(rows, cols, settings.limits, smooth, settings)
    judged = call(judge_regions, records, settings)
    settling = (source.grid_shape, count, rows, cols, judged, quantiles, mapping, objects,
                source.level_histogram(), settings, quiet, measured, sample, smooth, strokes_only, source.threads)
    grid, choices, judgement, base = call(settle, *settling, nout=4)
    if objects is None:  # the side of marks on ground, or one not known, from the pieces either side leaves
        sides = call(ground_sides, choices, quantiles, settings)
        grid, choices, judgement, base = call(settle_by_pieces, source.ground_weights(sides), sides, grid, choices,
                                              judgement, base, *settling, nout=4)
    return Stages(variance, call(judged_records, records, judgement), grid, choices, source.region_size,
                  quantiles, base=base)


_OBJECTS = list(inspect.signature(settle).parameters).index("objects")


def settle_by_pieces(weights, sides, grid, choices, judgement, base, *settling) -> tuple:
    """settle()'s (grid, choices, judgement, base) with the side the marks'
    pieces chose (ground.ground_side of weights, each side's decision under
    sides, ground.ground_sides), where settle() had no vote of the regions
    (AutoChoices.side_known) or fell back on ground: settled again on that side
    where it differs (settling: settle()'s arguments, the objects None),
    and on ground that side's grid (ground.with_ground_side). Without
    weights, as it was."""
    if weights is None:
        return grid, choices, judgement, base
    side = ground_side(*weights)
    if choices.fallback != "ground" and side != choices.objects:
        again = list(settling)
        again[_OBJECTS] = side
        grid, choices, judgement, base = settle(*again)
        choices = dataclasses.replace(choices, side_known=False)
    if choices.fallback == "ground":
        return (*with_ground_side(weights, sides, grid, choices), judgement, base)
    return grid, dataclasses.replace(choices, objects_reason=pieces_reason(weights)), judgement, base


def scaled_stages(source, percent: int, objects=None, settings: AutoSettings = DEFAULT) -> Stages:
    """stages() at the source's region size and, for thin strokes, again at
    half of it on source.at_size(); the grid is then the two grids' mean on
    the finer lattice where the finer analysis agrees (scales). Variance,
    records and choices stay the coarse analysis's (choices.fine_size
    tells); the quantiles are the chosen lattice's, and the core grid
    (marks) is built on it. An in-memory source knows at once whether the finer stages are
    needed; a chunked one builds them with no regions to fit unless so."""
    done = stages(source, percent, objects, settings)
    size = fine_size(source.region_size, settings)
    wanted = source.call(wants_fine, done.choices, settings)
    if size is not None and wanted is not False:
        side = objects if objects is not None else done.choices.objects
        fine = stages(source.at_size(size, wanted), percent, side, settings, wanted=wanted,
                      strokes_only=source.call(among_areas, done.choices))
        grid, region_size, choices, quantiles, base = source.call(
            pick_scale, done.grid, done.quantiles, done.choices, fine.grid, fine.quantiles, fine.choices,
            source.region_size, settings, done.base, fine.base, nout=5)
        done = done._replace(grid=grid, choices=choices, region_size=region_size, quantiles=quantiles, base=base)
    return done._replace(core=source.call(core_grid, done.grid, done.quantiles, done.choices, settings, done.base))


_beside = None  # the threads that count level samples, made once per process
_beside_made = threading.Lock()


def _beside_pool() -> ThreadPoolExecutor:
    global _beside
    with _beside_made:
        if _beside is None:
            _beside = ThreadPoolExecutor(max_workers=os.cpu_count() or 1, thread_name_prefix="zentrel-sample")
        return _beside


def _forget_beside_pool() -> None:
    # A child made by fork has none of the parent's threads.
    global _beside, _beside_made
    _beside, _beside_made = None, threading.Lock()


os.register_at_fork(after_in_child=_forget_beside_pool)


class WholeImage:
    """The stages' source for an in-memory image: the engine on the whole
    array, every step at once. The engine's region pass also counts the
    levels' histogram, which gives their minimum and maximum and whatever
    the side or a fallback needs."""

    def __init__(self, image: np.ndarray, region_size: int, threads: int = 0):
        self.image, self.region_size, self.threads = image, region_size, threads
        self.grid_shape = lattice.grid_shape(image.shape, region_size)
        self.levels = self.histogram = self._mapping = self._sample = None

    def at_size(self, region_size: int, wanted=True) -> "WholeImage":
        """The same image at another region size, its levels shared (wanted:
        always, as scaled_stages asks for it only when it is)."""
        other = WholeImage(self.image, region_size, self.threads)
        # The levels' own counts do not depend on the region size.
        other.levels, other._mapping = self.levels, self._mapping
        other.histogram, other._sample = self.histogram, self._sample
        return other

    @staticmethod
    def call(function, *args, nout=None):
        return function(*(a.result() if isinstance(a, Future) else a for a in args))

    def mapping(self, settings: AutoSettings) -> LevelMapping:
        if self._mapping is None:  # at_size shares it
            self.levels, self._mapping = to_levels(self.image, settings)
        return self._mapping

    def region_grids(self, shares) -> tuple:
        # One pass over the levels; the histogram of every pixel comes with it
        # unless another region size counted it.
        known = self.histogram is not None
        variance, quantiles, histogram = engine.region_grids(
            self.levels, self.region_size, shares, threads=self.threads, histogram=not known, as_levels=True)
        self.histogram = self.histogram if known else histogram
        return variance, quantiles

    def level_sample(self, settings: AutoSettings):
        if self._sample is None:
            self._sample = self._count_sample(settings)
        return self._sample

    def _count_sample(self, settings: AutoSettings):
        if self.threads == 1:
            return sample_histogram(self.levels, settings=settings, threads=1)
        # With threads to spare, the sample is counted on one of them while
        # this one takes the quiet level and the selection, which read only
        # the grids (the engine lets go of the interpreter as it counts);
        # call() waits for it where a step reads it.
        return _beside_pool().submit(sample_histogram, self.levels, settings=settings, threads=1)

    def fits(self, rows, cols, limits, smooth, settings: AutoSettings) -> tuple:
        records = engine.analyse_regions(self.levels, self.region_size, rows, cols, limits=limits,
                                          smooth=smooth, threads=self.threads)
        pick = sample_positions(len(rows), settings)
        return records, square_variances(self.levels, self.region_size, rows[pick], cols[pick],
                                         settings=settings, threads=self.threads)

    def level_histogram(self) -> np.ndarray:
        return self.histogram

    def ground_weights(self, sides):
        """(dark, bright): ground.piece_weight of each side's decision under
        its grids (ground.ground_sides), or None without them."""
        if sides is None:
            return None
        weights = []
        for mirror, (grid, core) in zip((False, True), sides):
            decided = engine.decide(self.levels, grid, self.region_size, threads=self.threads, core=core,
                                    reach=False, mirror=mirror)
            reaches, sizes = engine.piece_sizes(decided)  # no label per pixel: one flood over the pieces
            weights.append(piece_weight(sizes, reaches))
        return tuple(weights)

    def decide(self, grid, want_surface: bool, median: bool = False, core=None, mirror: bool = False) -> tuple:
        """(output uint8, surface float32 or None): every pixel, or with
        median its 3x3 median (AutoChoices.median), against the grid; with
        a core grid, faint marks kept only where they join ink (marks); with
        mirror, the mirrored levels against grid and core (AutoChoices.mirror)."""
        decided = engine.decide(self.levels, grid, self.region_size, threads=self.threads,
                                 want_surface=want_surface, median=median, core=core, mirror=mirror)
        return decided if want_surface else (decided, None)


def run(image, *, percent=10, region_size=32, objects=None, want_surface=False, threads=0,
        settings: AutoSettings = DEFAULT):
    """The automatic default on a whole in-memory image.

    The regions are analysed on the levels as they are (the judgement is the
    same for either side); settle() then votes the objects' side and builds
    the grid. Returns (output uint8, surface float32 or None, AutoChoices,
    records, grid, variance grid) where records hold the fits to the levels
    with the verdict (see judge) and grid is the threshold grid in the
    input's level polarity.
    """
    source = WholeImage(np.asarray(image), region_size, threads)
    done = scaled_stages(source, percent, objects, settings)
    if done.region_size != region_size:
        source = source.at_size(done.region_size)
    output, surface = source.decide(done.grid, want_surface, done.choices.median, done.core, done.choices.mirror)
    return output, surface, done.choices, done.records, done.grid, done.variance
