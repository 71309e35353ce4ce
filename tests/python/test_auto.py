"""The automatic default of binarize / threshold_surface / analyse."""

import dataclasses
from types import SimpleNamespace

import numpy as np
import pytest

import zentrel
from zentrel import auto
from zentrel.auto import fallback, ground, levels, polarity, surface
from zentrel.auto.settings import DEFAULT
from zentrel.core import engine

from quality import families, make_scene, score


def objects_of(image, **kwargs):
    """The pixels the default calls objects, on the side analyse names."""
    binary = zentrel.binarize(image, **kwargs)
    bright = zentrel.analyse(image, **kwargs).objects == "bright"
    return binary == 255 if bright else binary == 0


def lamp_scene(shape=(256, 256), seed=0):
    """Dark discs on paper under a lamp whose lower-left quarter is in shade."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0 : shape[0], 0 : shape[1]]
    truth = np.zeros(shape, bool)
    for cy, cx in [(40, 60), (60, 190), (130, 120), (190, 200)]:  # none in the shaded corner
        truth |= (yy - cy) ** 2 + (xx - cx) ** 2 <= 20**2
    light = 1.0 - 0.55 * np.clip(((yy - 110) / 146.0) * ((146 - xx) / 146.0), 0, 1) ** 0.5
    image = np.where(truth, 70.0, 200.0) * light + rng.normal(0, 4, shape)
    return np.clip(np.rint(image), 0, 255).astype(np.uint8), truth


@pytest.mark.parametrize("family", families())
def test_every_family_passes_a_quality_floor(family):
    # The objects' side is given, so the floor checks the surface itself.
    fs = []
    for seed in (900, 901, 902):  # outside the benchmark's tuning and test seeds
        image, truth, _ = make_scene(family, seed, (256, 256))
        side = "dark" if image[truth].mean() < image[~truth].mean() else "bright"
        fs.append(score(objects_of(image, objects=side), truth)["f_measure"])
    assert np.mean(fs) > 0.6, fs


def test_image_and_its_inverse_give_nearly_complementary_results():
    image, truth, _ = make_scene(families()[0], 903, (192, 256))
    a = zentrel.binarize(image)
    b = zentrel.binarize(255 - image)
    assert {zentrel.analyse(image).objects, zentrel.analyse(255 - image).objects} == {"dark", "bright"}
    # Bright objects also keep faint ones and steps above the ground (light
    # adds, shade cannot brighten), while dark ones drop classes much lighter
    # than the page's ink (bleed-through): the two differ a little, not
    # wholesale.
    assert ((a == b) & ~truth).mean() < 0.05


def test_faint_bright_objects_beside_bright_ones_are_kept():
    # Cells of very different brightness on a dark ground: the dim ones
    # share their neighbourhood with bright ones, whose contrast must not
    # set their threshold.
    rng = np.random.default_rng(8)
    yy, xx = np.mgrid[0:256, 0:256]
    image = 12.0 + rng.normal(0, 2, (256, 256))
    truth = np.zeros((256, 256), bool)
    faint = np.zeros((256, 256), bool)
    for cy, cx in [(64, 64), (64, 192), (192, 64), (192, 192)]:
        bright = (yy - cy) ** 2 + (xx - cx) ** 2 <= 18**2
        dim = (yy - cy - 36) ** 2 + (xx - cx - 20) ** 2 <= 10**2
        image[bright] += 200
        image[dim] += 30
        truth |= bright | dim
        faint |= dim
    image = np.clip(np.rint(image), 0, 255).astype(np.uint8)
    binary = zentrel.binarize(image)
    assert zentrel.analyse(image).objects == "bright"
    assert (binary[faint] == 255).mean() > 0.9
    assert score(binary == 255, truth)["f_measure"] > 0.95


@pytest.mark.parametrize("kind", ["uint16", "float01", "bool"])
def test_other_value_ranges(kind):
    image, truth = lamp_scene()
    if kind == "uint16":
        given = image.astype(np.uint16) * 257 + 3
    elif kind == "float01":
        given = image / 255.0
    else:
        given = image > 135
        truth = ~given
    assert score(objects_of(given), truth)["f_measure"] > 0.95
    mapping = zentrel.analyse(given).auto.mapping
    assert mapping.kind == ("boolean" if kind == "bool" else "robust")


@pytest.mark.parametrize("band", [levels.BAND_VALUES, 7 * 80 + 3])
def test_level_mapping_is_a_reduction_over_parts(band, monkeypatch):
    # A small band cuts the image into bands of 7 rows, the last one short.
    monkeypatch.setattr(levels, "BAND_VALUES", band)
    rng = np.random.default_rng(4)
    image = rng.gamma(2.0, 300.0, (64, 80)).astype(np.float32)
    low, high = levels.value_range(image)
    parts = [image[:30], image[30:]]
    whole = levels.fine_histogram(image, low, high)
    assert np.array_equal(whole, sum(levels.fine_histogram(p, low, high) for p in parts))
    mapping = levels.level_mapping(image.dtype, low, high, whole)
    mapped = levels.apply_mapping(image, mapping)
    assert np.array_equal(mapped, np.vstack([levels.apply_mapping(p, mapping) for p in parts]))
    assert (mapped == 0).mean() <= 0.002 and (mapped == 255).mean() <= 0.002
    assert whole.sum() == image.size
    image[-1, -1] = np.nan  # in the last band
    with pytest.raises(ValueError, match="NaN"):
        levels.value_range(image)


@pytest.mark.parametrize("low, high", [(0, 255), (90, 200)])
def test_clean_checkerboard_keeps_its_two_levels(low, high):
    squares = (np.indices((160, 192)) // 32).sum(axis=0) % 2 == 1
    image = np.where(squares, high, low).astype(np.uint8)
    binary = zentrel.binarize(image)
    assert np.array_equal(binary == 255, squares)


def test_flat_wall_with_one_object_is_not_split():
    rng = np.random.default_rng(6)
    yy, xx = np.mgrid[0:256, 0:256]
    wall = 150 + 0.12 * (xx + yy) + rng.normal(0, 2, (256, 256))  # a gentle ramp
    disc = (yy - 128) ** 2 + (xx - 128) ** 2 <= 30**2
    image = np.clip(np.rint(np.where(disc, 60, wall)), 0, 255).astype(np.uint8)
    binary = zentrel.binarize(image)
    assert (binary[disc] == 0).mean() > 0.97 and (binary[~disc] == 255).mean() > 0.99



def ramp_with_disc():
    """A horizontal ramp of light with one dark disc: most analysed regions
    hold the ramp only, which the engine fits and the default rejects."""
    yy, xx = np.mgrid[0:256, 0:320]
    image = np.where((yy - 128) ** 2 + (xx - 160) ** 2 <= 30**2, 20.0, 40 + 180 * xx / 320)
    image += np.random.default_rng(5).normal(0, 2, image.shape)
    return np.clip(np.rint(image), 0, 255).astype(np.uint8)


# Engine failures and the default's own (peak, separation) in both.
@pytest.mark.parametrize("image, percent", [(ramp_with_disc(), 40),
                                            (zentrel.uneven_scene((256, 256), seed=1)[0], 70)],
                         ids=["ramp", "uneven"])
def test_records_regions_and_counts_tell_one_verdict(image, percent):
    analysis = zentrel.analyse(image, percent=percent)
    records, regions = analysis.records, analysis.regions
    passed = records["status"] == 0
    assert passed.sum() == analysis.valid_count == sum(r.passed for r in regions)
    assert 0 < analysis.valid_count < analysis.selected_count
    assert [r.passed for r in regions] == [v in ("recorded", "two_levels") for v in analysis.auto.verdicts]
    assert [r.threshold for r in regions if r.passed] == records["threshold"][passed].tolist()
    failures = analysis.failure_counts()
    assert sum(failures.values()) == analysis.selected_count - analysis.valid_count
    assert set(failures) <= set(analysis.test_names) | set(analysis.status_names)

# Small grids settled by hand from one passing region (threshold 100):
# background follows its median less the contrast, a dark region waits
# while others settle and then joins the object; a corner region deep below
# the contrast is inside at once; with noise, a region well below its
# neighbours' own ground is a faint object split halfway.
@pytest.mark.parametrize("medians, background, noise, grid, kind", [
    ([[130, 160, 120, 40]], 150, None, [[100, 110, 70, 70]], [[1, 2, 2, 3]]),
    ([[130, 150], [90, 50]], 140, None, [[100, 110], [310 / 3, 100]], [[1, 2], [3, 3]]),
    ([[150, 120, 150]], 150, 5.0, [[100, 135, 100]], [[1, 3, 2]]),
])
def test_threshold_grid_settles_small_grids_by_hand(medians, background, noise, grid, kind):
    medians = np.array(medians, np.float32)
    got, got_kind = surface.threshold_grid(medians.shape, np.array([0]), np.array([0]), np.array([100.0]),
                                         np.array([float(background)]), medians, noise)
    assert np.array_equal(got, grid) and np.array_equal(got_kind, kind)


@pytest.mark.parametrize("objects, against", [("dark", [False, True, False, False]),
                                              ("bright", [True, False, False, False])])
def test_passing_regions_whose_classes_say_the_other_side_are_against_it(objects, against):
    # Ground 100 all round. Class means (40, 100): the ground is the bright
    # class, so dark objects; (90, 140): the ground is the dark class, the
    # edge of a bright object; (80, 120): as near one as the other, no side;
    # the last, like the second, did not pass.
    medians = np.full((7, 7), 100.0)
    means = np.array([[40.0, 100.0], [90.0, 140.0], [80.0, 120.0], [90.0, 140.0]])
    at = np.full(4, 3)
    assert polarity.region_sides(at, at, means, medians).tolist() == [1, -1, 0, -1]
    judgement = SimpleNamespace(passed=np.array([True, True, True, False]), means=means)
    sides = polarity.passing_sides(at, at, judgement, medians)
    assert polarity.against_side(sides, 4, objects).tolist() == against


# Ground 100 all round: class means (40, 100) give a side (dark), (80, 120)
# none. Sideless passing regions fail only while they are no more than the
# passing ones with a side; one that did not pass is not counted.
@pytest.mark.parametrize("means, passed, edges", [
    ([[40, 100], [80, 120], [40, 100]], [1, 1, 1], [0, 1, 0]),
    ([[80, 120], [40, 100]], [1, 1], [1, 0]),
    ([[80, 120], [80, 120], [40, 100]], [1, 1, 1], [0, 0, 0]),
    ([[80, 120], [80, 120], [40, 100]], [1, 0, 1], [1, 0, 0]),
    ([[40, 100], [40, 100]], [1, 1], [0, 0]),
])
def test_sideless_edges_fail_only_where_they_are_the_fewer(means, passed, edges):
    at = np.full(len(means), 3)
    judgement = SimpleNamespace(passed=np.array(passed, bool), means=np.array(means, np.float64))
    sides = polarity.passing_sides(at, at, judgement, np.full((7, 7), 100.0))
    assert polarity.sideless_edges(sides, len(means)).tolist() == [bool(e) for e in edges]


@pytest.mark.parametrize("min_tail, raised", [(0.0, 186.0), (40.0, 186.0), (41.0, 170.0)])
def test_a_faint_tail_raises_a_settled_region_down_to_a_floor(min_tail, raised):
    # Region (0, 1), settled as background at 170: median 200, spread 2
    # (the typical one too), dark tail 200 - 160 = 40, at least 4 spreads
    # and under twice the threshold's depth 30: raised to 200 - 0.35 * 40 =
    # 186, unless the tail is shorter than min_tail. The passing region
    # (0, 0) keeps its threshold.
    quantiles = np.array([[[90, 95, 100, 102, 110], [160, 190, 200, 202, 210]]], np.uint8)
    grid = surface.faint_objects(np.array([[80.0, 170.0]]), np.array([[1, 2]]), quantiles, min_tail=min_tail)
    assert grid.tolist() == [[80.0, raised]]


def otsu_by_within_variance(image) -> int:
    """Otsu's level by its other definition: the split (dark <= t) with the
    least pooled within-class variance, searched level by level."""
    values = image.ravel().astype(np.float64)
    best, level = np.inf, 0
    for t in range(int(values.min()), int(values.max())):
        dark, bright = values[values <= t], values[values > t]
        within = dark.size * dark.var() + bright.size * bright.var()
        if within < best - 1e-9 * values.size:
            best, level = within, t
    return level


def test_otsu_splits_a_hand_worked_histogram():
    # Three pixels at 10, one at 20, four at 200: every level from 20 to 199
    # splits the same way; ties go to the lowest.
    histogram = np.bincount([10, 10, 10, 20, 200, 200, 200, 200], minlength=256)
    assert polarity.otsu(histogram) == (20, 0.5, 12.5, 200.0)


@pytest.mark.parametrize("edge_col, side, votes", [
    (None, "dark", (1, 0)),  # bright ground all round: dark objects
    (2, "dark", (1, 0)),     # 6 of the 7 columns around it bright: 42 of 49 medians, over 3/4
    (3, None, (0, 0)),       # 5 of 7: 35 of 49, under 3/4
    (4, None, (0, 0)),       # on the edge of a dark area, 4 of 7: no vote
    (7, "bright", (0, 1)),   # 6 of 7 dark: the dark class is the ground
])
@pytest.mark.parametrize("voters", [1, 2])
def test_a_region_votes_only_where_most_of_the_ground_around_it_agrees(edge_col, side, votes, voters):
    # Region medians of 10x10 regions: 200, or 20 left of edge_col; the
    # voters at (5, 5) and (4, 5) have class means 60 and 180 (midpoint
    # 120). A side one region alone holds is no vote.
    medians = np.full((10, 10), 200.0)
    if edge_col is not None:
        medians[:, :edge_col + 1] = 20.0
    rows, cols = np.array([5, 4][:voters]), np.full(voters, 5)
    vote = polarity.vote_polarity(rows, cols, np.tile([[60.0, 180.0]], (voters, 1)), medians)
    assert vote == (side if voters == 2 else None, *(voters * v for v in votes))


def test_a_chequerboard_of_two_flat_tones_is_split_between_them():
    # Squares of 25 pixels at 40 and 200, each level spread by one: every
    # passing region is an edge between two flat areas with no side of its
    # own, but neither tone is a backdrop for the other, so their
    # thresholds stand and the dark squares are the objects.
    rng = np.random.default_rng(0)
    y, x = np.mgrid[:200, :200]
    dark = (y // 25 + x // 25) % 2 == 0
    image = (np.where(dark, 40, 200) + rng.integers(-1, 2, dark.shape)).astype(np.uint8)
    assert zentrel.analyse(image).auto.fallback is None
    np.testing.assert_array_equal(zentrel.binarize(image) == 0, dark)


def test_a_barcode_of_two_inks_far_apart_is_split_between_them():
    # Bars 1-4 pixels wide at 25 on paper at 230, spread by 3: the levels
    # between the two inks are empty, but they are a gap between two
    # groups, not a comb of stretched levels, so no spread is read in steps
    # of it and the bars are no flat backdrop.
    rng = np.random.default_rng(5)
    bars = np.zeros((150, 300), bool)
    x = 0
    while x < 280:
        width = int(rng.integers(1, 5))
        bars[20:130, x:x + width] = rng.random() < 0.5
        x += width
    image = np.clip(np.rint(np.where(bars, 25, 230) + rng.normal(0, 3, bars.shape)), 0, 255).astype(np.uint8)
    assert zentrel.analyse(image).auto.quantum == 1.0
    assert ((zentrel.binarize(image) == 0) == bars).mean() > 0.98  # 0.88 when the gap read as a comb


def test_flat_and_featureless_images_fall_back_soundly():
    flat = np.full((64, 64), 7, np.uint8)
    assert (zentrel.binarize(flat) == 255).all()
    assert zentrel.analyse(flat).auto.fallback == "flat"
    # Noise alone is ground without marks: no piece of it stands out.
    noise = np.random.default_rng(1).normal(120, 3, (128, 128)).round().astype(np.uint8)
    assert zentrel.analyse(noise).auto.fallback == "ground"
    assert (zentrel.binarize(noise) == 255).mean() > 0.999


def _histogram(*parts):
    """A 256-bin histogram of (level, count) parts."""
    h = np.zeros(256)
    for level, count in parts:
        h[level] += count
    return h


@pytest.mark.parametrize("histogram, expected", [
    # Two narrow peaks 120 levels apart: separated and peaked.
    (_histogram((60, 300), (61, 300), (180, 700), (181, 700)), True),
    # One Gaussian (spread 10): Otsu halves it near 100, means about 92 and
    # 108 with spreads about 6: separation 2.7, but no peak (16 < 4 x 6).
    (np.exp(-0.5 * ((np.arange(256) - 100) / 10.0) ** 2) * 1e4, False),
    # The same with 2 % of it 40 levels darker: still one class with a tail.
    (np.exp(-0.5 * ((np.arange(256) - 100) / 10.0) ** 2) * 1e4 + _histogram((60, 350)), False),
])
def test_two_classes_of_the_whole_histogram(histogram, expected):
    assert ground.two_classes(histogram) is expected


def test_settings_reach_the_stages():
    # Regions far apart in every fit still fail a separation of 100 spreads.
    image, _ = lamp_scene((128, 128))
    strict = dataclasses.replace(DEFAULT, min_separation=100.0, split_separation=100.0)
    *_, choices, records, _, _ = auto.run(image, settings=strict)
    # Nor does the whole picture's histogram: ground, not Otsu (split_separation reached it too).
    assert choices.settings == strict and choices.fallback == "ground" and choices.passed_count == 0
    assert "separation" in choices.verdicts and not (records["status"] == 0).any()

def test_preset_and_options_are_checked():
    image, _ = lamp_scene((96, 96))
    with pytest.raises(ValueError, match="preset"):
        zentrel.binarize(image, preset="fast")
    with pytest.raises(ValueError, match="objects"):
        zentrel.binarize(image, objects="grey")
    with pytest.raises(ValueError, match="classic"):
        zentrel.binarize(image, mean1_range=(10, 200))
    forced = zentrel.analyse(image, objects="bright")
    assert forced.objects == "bright" and "caller" in forced.auto.objects_reason


def test_ground_grids_by_hand():
    # Quantiles (2 %, 16 %, 50 %, 84 %, 98 %) of two regions: one of plain
    # ground (spread 4, reach 9), one over a mark (spread 10, reach 20,
    # both above the typical 7 and 14.5, so those serve).
    quantiles = np.array([[[90, 96, 100, 104, 109], [40, 80, 100, 110, 120]]], np.float32)
    grid, core = ground.ground_grids(quantiles)
    assert grid.tolist() == [[92.0, 86.5]]  # median - min(reach, 14.5) + 1
    assert core.tolist() == [[85.0, 73.0]]  # median - 4 x min(spread, 7) + 1


def test_piece_weight_weighs_pieces_by_their_area():
    # Pieces of 1, 1, 2 and 8 pixels, the 2 not reaching the core:
    # (1 + 1 + 64) / (1 + 1 + 8).
    assert ground.piece_weight([0, 1, 1, 2, 8], [False, True, True, False, True]) == 6.6
    assert ground.piece_weight([0, 5], [False, False]) == 0.0


@pytest.mark.parametrize("mirrored", [False, True])
def test_texture_gives_few_marks_and_keeps_its_crack(mirrored):
    from conftest import drawn_crack

    image, crack = drawn_crack()
    image = 255 - image if mirrored else image
    analysis = zentrel.analyse(image)
    assert analysis.auto.fallback == "ground" and analysis.objects == ("bright" if mirrored else "dark")
    marks = zentrel.binarize(image) == (255 if mirrored else 0)
    assert marks[crack].mean() > 0.6 and marks[~crack].mean() < 0.01


def test_a_stray_bright_area_does_not_choose_the_side_of_a_cracked_ground():
    # The stripe's edges pass but have no side of their own, and the
    # histogram shows no two classes, so its smaller, bright part would name
    # the objects. The crack's pieces outweigh the texture's specks: dark,
    # as if given.
    from conftest import drawn_striped_crack

    image, crack = drawn_striped_crack()
    choices = zentrel.analyse(image).auto
    assert choices.objects == "dark" and not choices.side_known and "pieces" in choices.objects_reason
    assert choices.fallback is None
    result = zentrel.binarize(image)
    np.testing.assert_array_equal(result, zentrel.binarize(image, objects="dark"))
    assert (result[crack] == 0).all()


def _away_from(mask, reach):
    """Pixels with no pixel of mask within reach (a square of side 2 reach + 1)."""
    counts = np.pad(np.cumsum(np.cumsum(mask, 0), 1), ((1, 0), (1, 0)))
    n, m = mask.shape
    top, left = np.clip(np.arange(n) - reach, 0, n), np.clip(np.arange(m) - reach, 0, m)
    bottom, right = np.clip(np.arange(n) + reach + 1, 0, n), np.clip(np.arange(m) + reach + 1, 0, m)
    inside = (counts[np.ix_(bottom, right)] - counts[np.ix_(top, right)] - counts[np.ix_(bottom, left)]
              + counts[np.ix_(top, left)])
    return inside == 0


def test_writing_on_a_dark_support_is_kept_while_the_support_is_not():
    # The support's edge against the white board sets no ink level: the
    # writing on it, three times fainter than that step, is the picture's
    # ink (with the step as the level, 146 of its regions failed as faint
    # and 2.5 % of the writing was found). The edge's regions are
    # thresholded on the support, which they made ink 12-24 pixels in
    # from the board (a tenth of it; now under 1 %).
    from conftest import drawn_papyrus

    image, ink, support = drawn_papyrus()
    choices = zentrel.analyse(image).auto
    assert choices.objects == "dark" and "faint" not in choices.verdicts
    marks = zentrel.binarize(image) == 0
    bare = support & _away_from(ink, 2)
    inner, rim = bare & _away_from(~support, 24), bare & _away_from(~support, 12) & ~_away_from(~support, 24)
    assert marks[ink].mean() > 0.85 and marks[~support].mean() < 0.001
    assert marks[inner].mean() < 0.01 and marks[rim].mean() < 0.03


def test_the_mirror_decision_is_the_decision_of_the_negative():
    rng = np.random.default_rng(4)
    levels = rng.integers(0, 256, (70, 90), dtype=np.uint8)
    grid = rng.uniform(60, 200, (3, 4)).astype(np.float32)
    core = grid - np.float32(30)
    mirrored = engine.decide(levels, grid, 32, core=core, mirror=True)
    assert np.array_equal(mirrored, 255 - engine.decide(255 - levels, grid, 32, core=core))


# Dark class spreads of four passing regions (flat: above 0, at most 2
# levels) beside bright ones of 9 (or 1.5: two flat tones), and whether
# each has a side of its own; a fifth did not pass.
@pytest.mark.parametrize("spreads, sideless, bright, backdrop", [
    ([1.0, 1.5, 2.0, 9.0], [1, 1, 1, 0], 9.0, True),    # three flat, all sideless
    ([1.0, 1.5, 9.0, 9.0], [1, 1, 0, 0], 9.0, False),   # two flat of four: not most
    ([1.0, 1.5, 2.0, 9.0], [1, 0, 0, 0], 9.0, False),   # most flat ones have a side (clipped ink)
    ([0.0, 0.0, 0.0, 9.0], [1, 1, 1, 0], 9.0, False),   # two clean levels are no backdrop
    ([1.0, 1.5, 2.5, 9.0], [1, 1, 1, 0], 9.0, False),   # 2.5 is not flat: two of four
    ([1.0, 1.5, 2.0, 9.0], [1, 1, 1, 0], 1.5, False),   # flat beside flat: a chequerboard's edges
])
def test_a_backdrop_is_most_passing_regions_flat_and_sideless(spreads, sideless, bright, backdrop):
    sides = (np.arange(4), np.where(sideless, 0, 1))  # the fifth region did not pass
    got = fallback.on_backdrop(np.array([[s, bright] for s in spreads + [1.0]]), sides)
    assert got is backdrop
    assert fallback.fallback_of((0, 255), True, backdrop=got) == ("backdrop" if backdrop else None)
    assert fallback.fallback_of((7, 7), True, backdrop=got) == "flat"
