"""From the regions' verdicts to the threshold grid, in four named pure steps
over one record of evidence, always in this order:

    evidence = gather(...)                          Evidence: what the regions and the levels gave
    side     = choose_side(evidence, objects)       Side: the objects' side, and why
    passing  = which_pass(evidence, side)           Passing: the regions that keep their thresholds
    built    = build_grid(evidence, side, passing)  Built: the grid (or a fallback) before faint marks
    raised   = raise_faint(evidence, side, passing, built)   Raised: the grid with faint marks raised
    settle(...) -> (grid, AutoChoices, judgement, base)      the four in order

Everything here works on small arrays gathered from the image (the
selection and its judgement, the per-region quantiles, the sampled regions'
stroke ratios, the 256-bin level histogram): a chunked caller that gathers
the same quantities gets the same grid. Each step reads the record and what
the steps before it gave, and returns a value of its own; none changes its
arguments.
"""

from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np

from zentrel.auto.choices import AutoChoices
from zentrel.auto.fallback import ON_GROUND, enough_passed, fallback_grid, fallback_of, on_backdrop
from zentrel.auto.ground import ground_grids, two_classes
from zentrel.auto.judge import (Judgement, blurred_dark, ink_contrast, keep_only, on_support, reject_blurred,
                                reject_faint)
from zentrel.auto.levels import LevelMapping, level_range, level_step
from zentrel.auto.marks import blurred_print
from zentrel.auto.polarity import (against_side, detect_polarity, mirror_quantiles, passing_sides, sideless_edges,
                                   vote_polarity, with_side)
from zentrel.auto.settings import DEFAULT, AutoSettings
from zentrel.auto.strokes import (stroke_ratios, stroke_regions, stroke_voters, strokes_among_areas,
                                  thin_strokes)
from zentrel.auto.surface import faint_objects, threshold_grid


class Evidence(NamedTuple):
    """What the regions and the levels gave, gathered once."""

    grid_shape: tuple
    count: int               # regions analysed
    rows: np.ndarray         # their grid positions, in analysis order
    cols: np.ndarray
    judgement: Judgement     # judge.judge_regions' verdicts
    quantiles: Any           # (rows, cols, 5) levels at settings.quantile_shares, as the levels are
    histogram: np.ndarray    # the 256-bin histogram of the levels
    ratios: np.ndarray       # stroke ratio per analysed region, NaN where not measured
    quantum: float           # the spacing of the occupied levels (levels.level_step)
    settings: AutoSettings = DEFAULT
    strokes_only: bool = False  # a finer analysis of strokes among wider areas: strokes alone pass
    threads: int = 1

    @property
    def medians(self):
        return self.quantiles[..., 2]


class Side(NamedTuple):
    objects: str  # "dark" or "bright"
    why: str
    known: bool = True  # given, voted, or the histogram's two classes show it; else the pieces choose


class Passing(NamedTuple):
    judgement: Judgement  # with the regions that fail here failed ("side", "edge", "faint")
    thin: bool            # dark objects are thin strokes: no region lies inside one
    enough: bool          # enough passed to build a surface on (fallback.enough_passed)
    backdrop: bool = False  # most of those that passed the fit are a flat backdrop's edge (fallback.on_backdrop)


class Built(NamedTuple):
    grid: np.ndarray      # for dark objects (bright ones: on mirrored levels)
    kind: Any             # surface.threshold_grid's kind per region, None for a fallback
    fallback: str | None  # fallback.fallback_of
    quantiles: Any        # the quantiles the grid was built on (mirrored for bright objects)


class Raised(NamedTuple):
    grid: np.ndarray
    base: Any     # the grid before faint dark marks were raised, or None
    marks: bool   # faint marks stay only where they join ink (marks.core_grid)


def gather(grid_shape, count, rows, cols, judgement: Judgement, quantiles, histogram,
           settings: AutoSettings = DEFAULT, quiet=None, measured=None, sample=None, strokes_only=False,
           threads=1) -> Evidence:
    """The Evidence: the sampled regions' stroke ratios (strokes.stroke_ratios
    of measured against the quiet level; none without them) and the levels'
    spacing (1 without a level sample) join what was given."""
    ratios = np.full(count, np.nan)
    if measured is not None and quiet is not None:
        ratios = stroke_ratios(measured, count, quiet, settings)
    quantum = 1.0 if sample is None else level_step(sample, settings)
    return Evidence(grid_shape, count, rows, cols, judgement, quantiles, histogram, ratios, quantum, settings,
                    strokes_only, threads)


def choose_side(ev: Evidence, objects=None) -> Side:
    """The objects' side: as given; else voted by the passing regions
    (polarity.vote_polarity; where enough measured regions show strokes,
    only they vote: strokes.stroke_voters), where enough passed to vote;
    else from the histogram (polarity.detect_polarity), known only where
    its levels show two classes (ground.two_classes): else the pipeline has
    the marks' pieces choose it (ground.ground_sides)."""
    if objects is not None:
        return Side(objects, "given by the caller")
    s, j = ev.settings, ev.judgement
    if enough_passed(j.passed.sum(), ev.count, s):
        voters = stroke_voters(ev.ratios, j.passed, s)
        objects, dark, bright = vote_polarity(ev.rows[voters], ev.cols[voters], j.means[voters], ev.medians, s)
        if objects is not None:
            return Side(objects, f"{max(dark, bright)} of {dark + bright} passing regions have the "
                                 f"{'bright' if objects == 'dark' else 'dark'} class nearer the ground around them")
    return Side(*detect_polarity(ev.histogram), known=two_classes(ev.histogram, s))


def which_pass(ev: Evidence, side: Side) -> Passing:
    """The regions that keep their thresholds. Those whose own classes put
    the objects on the other side fail as "side" (settings.side_check;
    polarity.against_side). For dark objects: where strokes lie among the
    edges of wider dark areas, only the strokes pass and the objects are
    thin (strokes.strokes_among_areas, or with strokes_only wherever
    strokes.stroke_regions finds them; the others fail as "edge"); else,
    where some passing regions show strokes, the edges between wide areas
    fail as "side" too where they are the fewer (polarity.sideless_edges,
    counted among the regions that passed the fit), passing regions whose
    dark class holds no ink of the picture's own fail as "faint"
    (judge.reject_faint), as do those that show no strokes and hold blurred
    marks lighter than the strokes (judge.reject_blurred), those that edge
    a brighter backdrop take a threshold on the support they edge
    (judge.on_support), and the objects
    are thin where the stroke ratios of the passing regions with a side of
    their own say so, by their median or by enough of them showing strokes
    (strokes.thin_strokes; of all of them where none has one): the edges
    between wide areas, such as a black scanner bed's, show no strokes in
    their squares whatever the objects are. For dark
    objects it also tells whether most of the regions that passed the fit
    are the edge of a flat backdrop (fallback.on_backdrop)."""
    s, j = ev.settings, ev.judgement
    sides = passing_sides(ev.rows, ev.cols, j, ev.medians, s)
    backdrop = side.objects == "dark" and on_backdrop(j.spreads, sides, ev.quantum, s)
    edges = None
    if s.side_check:
        if side.objects == "dark" and stroke_regions(ev.ratios, j.passed, s).any():
            edges = sideless_edges(sides, len(ev.rows))
        j = keep_only(j, ~against_side(sides, len(ev.rows), side.objects), "side")
    thin = False
    if side.objects == "dark":
        strokes = (stroke_regions(ev.ratios, j.passed, s) if ev.strokes_only
                   else strokes_among_areas(ev.ratios, j.passed, s))
        if strokes.any():  # the other passing regions are wider areas' edges
            j, thin = keep_only(j, strokes, "edge"), True
        else:
            if edges is not None:
                j = keep_only(j, ~edges, "side")
            j = reject_faint(j, j.means[:, 0], j.means[:, 1], ev.ratios, s)
            j = reject_blurred(j, j.means[:, 0], j.means[:, 1], ev.ratios, s)
            j = on_support(j, j.means[:, 0], j.means[:, 1], ev.ratios, s)
            own = with_side(sides, len(ev.rows)) & j.passed
            thin = thin_strokes(ev.ratios, own if own.any() else j.passed, s, blurred_dark(j.means, j.spreads, s))
    return Passing(j, thin, enough_passed(j.passed.sum(), ev.count, s), backdrop)


def build_grid(ev: Evidence, side: Side, passing: Passing) -> Built:
    """The threshold grid before faint marks, for dark objects (bright
    ones: thresholds and quantiles mirrored). A fallback where the picture
    is flat or too few regions passed (fallback.fallback_of: Otsu's one
    threshold, or ground with a few marks, ground.ground_grids) or most
    passing regions edge a flat backdrop (ground.ground_grids too); else the
    surface settled outward from the passing regions
    (surface.threshold_grid): for dark objects each region's ground is its
    settings.ground_quantile level, for bright ones the typical background
    spread (at least settings.min_ground_spread levels of the spacing)
    makes a step of settings.step_evidence spreads an object of its own."""
    s, j = ev.settings, passing.judgement
    bright = side.objects == "bright"
    quantiles = mirror_quantiles(ev.quantiles) if bright else ev.quantiles
    span = level_range(ev.histogram)
    fallback = fallback_of(span, passing.enough, ev.histogram, s, passing.backdrop)
    if fallback in ON_GROUND:
        return Built(ground_grids(quantiles, s, ev.quantum)[0], None, fallback, quantiles)
    if fallback is not None:
        return Built(fallback_grid(fallback, ev.grid_shape, span, ev.histogram, side.objects), None, fallback,
                     quantiles)
    passed = j.passed
    if bright:
        thresholds, background = 255.0 - j.thresholds, 255.0 - j.means[:, 0]
        noise = max(float(np.median(quantiles[..., 3] - quantiles[..., 2])), s.min_ground_spread * ev.quantum)
        grounds = None
    else:  # a dark object's ground is its region's (see AutoSettings.ground_quantile)
        grounds = quantiles[..., s.ground_quantile]
        thresholds, background, noise = j.thresholds, grounds[ev.rows, ev.cols].astype(np.float64), None
    grid, kind = threshold_grid(ev.grid_shape, ev.rows[passed], ev.cols[passed], thresholds[passed],
                                background[passed], quantiles[..., 2], noise, s, grounds=grounds,
                                thin=passing.thin, threads=ev.threads)
    return Built(grid, kind, None, quantiles)


def raise_faint(ev: Evidence, side: Side, passing: Passing, built: Built) -> Raised:
    """The grid with faint objects raised (surface.faint_objects): for
    bright objects wherever their own tail stands out; for dark ones only
    among faint marks (thin strokes on blurred print, marks.blurred_print,
    settings.raise_faint_marks), down to settings.faint_ratio of the
    picture's ink contrast (judge.ink_contrast: lighter is bleed-through or
    grain), keeping the unraised grid as base for the core. A fallback
    raises nothing."""
    s, j = ev.settings, passing.judgement
    marks = passing.thin and built.fallback is None and blurred_print(ev.ratios, j.passed, s)
    if built.fallback is not None:
        return Raised(built.grid, None, marks)
    if side.objects == "bright":
        return Raised(faint_objects(built.grid, built.kind, built.quantiles, s, ev.quantum), None, marks)
    if marks and s.raise_faint_marks:
        level = ink_contrast(j.means[:, 0], j.means[:, 1], ev.ratios, j.passed, s)
        if level is not None:
            grid = faint_objects(built.grid, built.kind, built.quantiles, s, ev.quantum,
                                 min_tail=s.faint_ratio * level)
            return Raised(grid, built.grid.astype(np.float32), marks)
    return Raised(built.grid, None, marks)


def settle(grid_shape, count, rows, cols, judgement: Judgement, quantiles, mapping: LevelMapping, objects,
           histogram, settings: AutoSettings = DEFAULT, quiet=None,
           measured=None, sample=None, smooth=False, strokes_only=False, threads=1) -> tuple:
    """The threshold grid and the choices, from what the regions gave: the
    steps above in order (objects: the caller's side, or None; smooth,
    whether the fits smoothed their histograms, is kept in the choices; the
    surface's waves run on ``threads`` threads, 0: all, alike on any
    number). Returns (grid float32 in the input's level polarity, except for
    bright marks on ground, AutoChoices.mirror; AutoChoices; the final
    Judgement; the grid before faint marks were raised, or None, for the
    core, marks.core_grid, which stays where the raise would move it)."""
    ev = gather(grid_shape, count, rows, cols, judgement, quantiles, histogram, settings, quiet, measured, sample,
                strokes_only, threads)
    side = choose_side(ev, objects)
    passing = which_pass(ev, side)
    built = build_grid(ev, side, passing)
    raised = raise_faint(ev, side, passing, built)
    grid = raised.grid
    if side.objects == "bright" and built.fallback not in ("flat",) + ON_GROUND:
        grid = 256.0 - grid
    j = passing.judgement
    choices = AutoChoices(mapping, side.objects, side.why, settings.limits, settings.min_separation, count,
                          int(j.passed.sum()), built.fallback, tuple(j.verdicts), settings, passing.thin,
                          bool(smooth), marks=raised.marks or built.fallback in ON_GROUND, quantum=ev.quantum,
                          side_known=side.known)
    return grid.astype(np.float32), choices, j, raised.base
