"""The steps from the regions' verdicts to the grid (zentrel.auto.settle),
each on a few regions worked out by hand."""

import numpy as np
import pytest
from zentrel.auto import settling as steps
from zentrel.auto.judge import Judgement

SHAPE = (10, 10)


def judgement(means, thresholds=None):
    """Every listed region passing with these (dark, bright) class means."""
    means = np.asarray(means, np.float64)
    n = len(means)
    thresholds = means.mean(axis=1) if thresholds is None else np.asarray(thresholds, np.float64)
    return Judgement(np.ones(n, bool), thresholds, means, np.zeros(n, np.uint8), np.zeros(n, np.uint8),
                     ["recorded"] * n, np.zeros((n, 2)))


def evidence(regions, means, medians=200.0, ratios=None, histogram=None, **given):
    """Evidence of passing regions at regions [(row, col)] on a 10 x 10 grid
    whose quantiles are all ``medians`` (a number or a grid)."""
    rows, cols = (np.array(v, np.int32) for v in zip(*regions))
    quantiles = np.repeat(np.broadcast_to(np.asarray(medians, np.float32), SHAPE)[..., None], 5, axis=2)
    histogram = np.bincount([50] * 10 + [200] * 90, minlength=256) if histogram is None else histogram
    ratios = np.full(len(rows), np.nan) if ratios is None else np.asarray(ratios, np.float64)
    return steps.Evidence(SHAPE, len(rows), rows, cols, judgement(means), quantiles, histogram, ratios, 1.0,
                          **given)


@pytest.mark.parametrize("medians, objects, why", [
    # Two regions with classes 60 and 180: on ground of 200 around them,
    # their bright class is the ground and the dark one the objects.
    (200.0, "dark", "2 of 2 passing regions have the bright class nearer the ground"),
    # On ground of 40 the dark class is the ground: bright objects.
    (40.0, "bright", "2 of 2 passing regions have the dark class nearer the ground"),
])
def test_the_passing_regions_vote_on_the_side(medians, objects, why):
    side = steps.choose_side(evidence([(5, 5), (4, 5)], [(60, 180)] * 2, medians))
    assert side.objects == objects and side.why.startswith(why) and side.known


def test_the_side_is_given_or_read_from_the_histogram():
    ev = evidence([(5, 5)], [(60, 180)])
    assert steps.choose_side(ev, "bright") == ("bright", "given by the caller", True)
    # One region alone is no vote, nor is a flat neighbourhood of 120: the
    # histogram's smaller class (10 % at level 50) is the objects, and the
    # two peaks show it.
    histogram_side = ("dark", "the dark class of the histogram holds 10% of the pixels", True)
    assert steps.choose_side(ev) == histogram_side
    assert steps.choose_side(evidence([(5, 5), (4, 5)], [(60, 180)] * 2, 120.0)) == histogram_side
    # Levels spread evenly over 100..163 show no two classes: the side is
    # not known (the marks' pieces choose it).
    flat = np.bincount(np.arange(100, 164).repeat(4), minlength=256)
    assert steps.choose_side(evidence([(5, 5)], [(60, 180)], histogram=flat)) == (
        "dark", "the dark class of the histogram holds 50% of the pixels", False)


def test_a_region_whose_ground_is_its_dark_class_fails_as_side():
    # Region (8, 8) lies on ground of 200 (21 of the 25 medians within 3
    # regions), region (2, 2) inside an area of 50 (all 36): for dark objects
    # the second one's classes (60, 180) say the other side.
    medians = np.full(SHAPE, 200.0)
    medians[:7, :7] = 50.0
    ev = evidence([(8, 8), (2, 2)], [(60, 180), (60, 180)], medians)
    passing = steps.which_pass(ev, steps.Side("dark", ""))
    assert passing.judgement.passed.tolist() == [True, False]
    assert passing.judgement.verdicts == ["recorded", "side"]


def test_a_faint_class_fails_beside_strokes_of_the_pictures_own_ink():
    # Eleven stroke regions (ratio 0.5) of contrast 100 set the ink at 100;
    # a region of contrast 30 < 0.45 x 100, blurred (ratio 0.2), fails as faint.
    regions = [(1, k) for k in range(10)] + [(2, 0), (8, 8)]
    means = [(100, 200)] * 11 + [(170, 200)]
    ev = evidence(regions, means, ratios=[0.5] * 11 + [0.2])
    passing = steps.which_pass(ev, steps.Side("dark", ""))
    assert passing.judgement.verdicts == ["recorded"] * 11 + ["faint"]
    assert passing.enough and passing.thin  # the passing regions' median ratio 0.5 >= 0.3


def test_strokes_are_judged_thin_by_the_regions_with_a_side():
    # A black bed (medians 20, columns 0-4) beside a page (200): three
    # passing regions on the bed's edge see both around them and have no
    # side, and no strokes in their squares (ratio 0.1); two on the page
    # have a side and show strokes (0.6). All five's median ratio is 0.1,
    # the sided ones' 0.6 >= 0.3: thin strokes, not wide objects.
    medians = np.full(SHAPE, 200.0)
    medians[:, :5] = 20.0
    regions = [(2, 4), (5, 4), (8, 5), (2, 9), (5, 9)]
    means = [(20, 200)] * 3 + [(60, 200)] * 2
    ev = evidence(regions, means, medians, ratios=[0.1] * 3 + [0.6] * 2)
    passing = steps.which_pass(ev, steps.Side("dark", ""))
    assert passing.judgement.passed.all() and passing.thin
    # Without any region with a side, all of them judge: wide.
    ev = evidence(regions[:3], means[:3], medians, ratios=[0.1] * 3)
    assert not steps.which_pass(ev, steps.Side("dark", "")).thin


@pytest.mark.parametrize("histogram, fallback, grid", [
    # Every pixel at level 7: flat, everything background (just under 7).
    (np.bincount([7], minlength=256), "flat", 6.5),
    # Two clean populations: Otsu's split (50) + 1 for dark objects.
    (np.bincount([50] * 10 + [200] * 90, minlength=256), "otsu", 51.0),
    # One class (levels 190..210 evenly): ground; the quantiles are all
    # 200, so the grid is 200 - 0 + 1.
    (np.bincount(np.arange(190, 211), minlength=256), "ground", 201.0),
])
def test_too_few_passing_regions_fall_back(histogram, fallback, grid):
    ev = evidence([(5, 5)], [(60, 180)], histogram=histogram)
    passing = steps.Passing(ev.judgement, False, False)
    built = steps.build_grid(ev, steps.Side("dark", ""), passing)
    assert built.fallback == fallback and np.all(built.grid == grid)
    raised = steps.raise_faint(ev, steps.Side("dark", ""), passing, built)
    assert raised.grid is built.grid and raised.base is None and not raised.marks


def test_passing_regions_keep_their_thresholds_and_the_rest_settle():
    # One passing region with threshold 120 on ground 200: a contrast of 80;
    # every other region is background and takes its ground less that.
    ev = evidence([(5, 5)], [(60, 180)])
    ev = ev._replace(judgement=ev.judgement._replace(thresholds=np.array([120.0])))
    built = steps.build_grid(ev, steps.Side("dark", ""), steps.Passing(ev.judgement, True, True))
    assert built.fallback is None and built.grid[5, 5] == 120.0
    assert np.all(built.grid == 120.0)  # ground 200 everywhere, contrast 80
