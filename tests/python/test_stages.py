"""The engine's stages, composed in Python on whole images and on blocks,
give what the one-call functions give, bit for bit."""

import numpy as np
import pytest
import zentrel
from zentrel.core import engine as _engine
from zentrel.core import lattice

CASES = [
    # shape, seed, percent, region size, smooth
    ((256, 256), 1, 10, 32, False),
    ((301, 263), 2, 50, 25, True),
    ((200, 333), 3, 100, 17, False),
    ((96, 160), 4, 30, 8, False),
]


@pytest.mark.parametrize("indices, region_size, origins", [
    ([0, 1, 2, 3, 4], 5, [0, 2, 5, 7, 10]),  # odd R: steps of 2 and 3
    ([0, 1, 7], 32, [0, 16, 112]),
    ([0, 1, 2, 3], 1, [0, 0, 1, 1]),
])
def test_region_lattice_by_hand(indices, region_size, origins):
    assert lattice.origins(indices, region_size).tolist() == origins
    # The first region starting at or after each origin is that region
    # (for R = 1 two regions share an origin: the first of them).
    assert [lattice.first_region_at(o, region_size) for o in origins] == \
        [indices[origins.index(o)] for o in origins]


@pytest.mark.parametrize("shape, region_size, grid", [((10, 7), 4, (4, 2)), ((3, 64), 4, (0, 31)),
                                                      ((31, 32), 32, (0, 1))])
def test_grid_shape_by_hand(shape, region_size, grid):
    assert lattice.grid_shape(shape, region_size) == grid


def compose(levels, percent, region_size, smooth):
    """binarize, threshold_surface and the analysis records, stage by stage."""
    variances = _engine.variance_map(levels, region_size)
    count = variances.size * percent // 100
    rows, cols = _engine.select_regions(variances, count)
    records = _engine.analyse_regions(levels, region_size, rows, cols, smooth=smooth)
    passed = records["status"] == 0
    grid = _engine.fill_grid(variances.shape, records["row"][passed], records["col"][passed],
                             records["threshold"][passed])
    binary, surface = _engine.decide(levels, grid, region_size, want_surface=True)
    return binary, surface, records, variances[rows, cols], grid


@pytest.mark.parametrize("case", CASES, ids=lambda c: f"{c[0]}-{c[2]}%-R{c[3]}")
def test_composed_stages_equal_the_one_call_functions(case):
    shape, seed, percent, region_size, smooth = case
    levels, _ = zentrel.uneven_scene(shape, seed=seed)
    kwargs = dict(percent=percent, region_size=region_size, smooth=smooth, preset="classic")
    binary, surface, records, variances, _ = compose(levels, percent, region_size, smooth)
    analysis = zentrel.analyse(levels, **kwargs)
    for name in records.dtype.names:
        assert np.array_equal(records[name], analysis.records[name], equal_nan=True), name
    assert np.array_equal(variances, analysis.variances)
    assert np.array_equal(binary, zentrel.binarize(levels, **kwargs))
    assert np.array_equal(surface, zentrel.threshold_surface(levels, **kwargs))


@pytest.mark.parametrize("case", CASES, ids=lambda c: f"{c[0]}-R{c[3]}")
def test_blocks_give_their_part_of_the_whole(case):
    shape, seed, percent, region_size, smooth = case
    levels, _ = zentrel.uneven_scene(shape, seed=seed)
    binary, surface, records, _, grid = compose(levels, percent, region_size, smooth)
    full_map = _engine.variance_map(levels, region_size)
    rng = np.random.default_rng(seed)
    for _ in range(4):
        # A block with edges off the region lattice, and the regions inside it.
        top, left = (int(rng.integers(0, s // 2)) for s in shape)
        bottom, right = (int(rng.integers(o + region_size + 1, s + 1)) for o, s in zip((top, left), shape))
        block = levels[top:bottom, left:right]
        got, got_surface = _engine.decide(block, grid, region_size, offset=(top, left),
                                          image_shape=shape, want_surface=True)
        assert np.array_equal(got, binary[top:bottom, left:right])
        assert np.array_equal(got_surface, surface[top:bottom, left:right])

        first = [lattice.first_region_at(o, region_size) for o in (top, left)]  # starting inside
        last = [min(lattice.first_region_at(e - region_size + 1, region_size) - 1, n - 1)
                for e, n in zip((bottom, right), full_map.shape)]  # ending inside
        counts = [b - a + 1 for a, b in zip(first, last)]
        if min(counts) < 1:
            continue
        part = _engine.variance_map(block, region_size, offset=(top, left), regions=(*first, *counts))
        assert np.array_equal(part, full_map[first[0]:last[0] + 1, first[1]:last[1] + 1])
        inside = ((records["row"] >= first[0]) & (records["row"] <= last[0])
                  & (records["col"] >= first[1]) & (records["col"] <= last[1]))
        again = _engine.analyse_regions(block, region_size, records["row"][inside],
                                        records["col"][inside], offset=(top, left), smooth=smooth)
        assert np.array_equal(again["threshold"], records["threshold"][inside])
        assert np.array_equal(again["status"], records["status"][inside])


def test_the_median_decision_reads_each_pixels_nine_and_blocks_their_neighbours():
    rng = np.random.default_rng(5)
    levels = rng.integers(0, 256, (70, 90)).astype(np.uint8)
    grid = rng.uniform(60, 200, lattice.grid_shape(levels.shape, 16)).astype(np.float32)
    padded = np.pad(levels, 1, mode="edge")  # the edge repeats beyond the image
    nine = np.stack([padded[dy:dy + 70, dx:dx + 90] for dy in range(3) for dx in range(3)])
    want = _engine.decide(np.median(nine, axis=0).astype(np.uint8), grid, 16)
    assert np.array_equal(_engine.decide(levels, grid, 16, median=True, threads=3), want)
    # A block with a row and column of its neighbours where the image has them.
    for top, bottom, left, right in ((0, 30, 20, 90), (31, 70, 0, 1), (10, 11, 40, 41)):
        margin = (min(top, 1), min(70 - bottom, 1), min(left, 1), min(90 - right, 1))
        block = levels[top - margin[0]:bottom + margin[1], left - margin[2]:right + margin[3]]
        got = _engine.decide(block, grid, 16, offset=(top, left), image_shape=levels.shape, median=True,
                             margin=margin)
        assert np.array_equal(got, want[top:bottom, left:right])


@pytest.mark.parametrize("region_size, side, offset", [(8, 2, (0, 0)), (7, 2, (3, 5)), (32, 8, (0, 16)),
                                                     (9, 9, (1, 0))])
def test_square_sums_count_each_square(region_size, side, offset):
    # Against the squares cut out one by one; the block at offset holds the
    # listed regions, which one or two threads share.
    rng = np.random.default_rng(region_size)
    block = rng.integers(0, 256, (100, 110), dtype=np.uint8)
    k = region_size // side
    rows, cols = np.array([1, 2, 4, 3]), np.array([2, 3, 2, 5])
    for threads in (1, 2):
        sums, powers = _engine.square_sums(block, region_size, side, rows, cols, offset=offset, threads=threads)
        assert sums.shape == powers.shape == (4, k, k) and sums.dtype == np.int64
        for i, (r, c) in enumerate(zip(rows, cols)):
            top, left = r * region_size // 2 - offset[0], c * region_size // 2 - offset[1]
            for a in range(k):
                for b in range(k):
                    square = block[top + a * side:top + (a + 1) * side, left + b * side:left + (b + 1) * side]
                    assert sums[i, a, b] == int(square.astype(np.int64).sum())
                    assert powers[i, a, b] == int((square.astype(np.int64) ** 2).sum())


def test_tile_scores_by_hand():
    # Tiles of 2 x 2: columns 0-1 (best 4) and column 2 (best 9); floor 3.5
    # leaves a tile whose best is 3 at the 1e-6 term alone.
    variance = np.array([[1, 4, 9], [2, 0, 3], [3, 1, 2]], np.float32)
    got = _engine.tile_scores(variance, 2, 3.5, 9.0)
    small = [[1e-6 * v / 9 for v in row] for row in variance.tolist()]
    want = np.array([[0.25, 1.0, 1.0], [0.5, 0.0, 3 / 9], [0.0, 0.0, 0.0]]) + small
    assert got.dtype == np.float32 and np.array_equal(got, want.astype(np.float32))
    # top 0: no small term.
    assert np.array_equal(_engine.tile_scores(variance, 3, 0.0, 0.0), (variance / 9).astype(np.float32))


def test_linear_quantile_is_numpys_to_the_bit():
    from zentrel.auto.regions import linear_quantile
    # By hand: 1..4 at 0.1 lies 0.3 of the way from 1 to 2; at 0.9, 0.7 from 3 to 4.
    assert linear_quantile(np.array([[4, 1], [3, 2]], np.float32), 0.1) == 1.0 + 1.0 * 0.30000000000000004
    assert linear_quantile(np.array([4, 1, 3, 2], np.float32), 0.9) == 4.0 - 1.0 * (1 - 0.7000000000000002)
    rng = np.random.default_rng(7)
    for n in (1, 2, 3, 10, 257, 4000):
        for values in (rng.random(n).astype(np.float32) * 1e3, rng.integers(0, 5, n).astype(np.float32) / 3,
                       np.r_[rng.random(n - 1), np.inf].astype(np.float32)):
            for share in (0.0, 0.1, 0.5, 0.77, 1.0):
                with np.errstate(invalid="ignore"):  # inf - inf: nan, both ways
                    got, want = linear_quantile(values, share), np.quantile(values.astype(np.float64), share)
                np.testing.assert_array_equal(got, want, strict=True)


def test_lattice_histogram_counts_the_lattice():
    levels = np.array([[1, 2, 3], [4, 5, 6], [7, 8, 9], [1, 1, 1]], np.uint8)
    # Step 2 from (1, 0): rows 1 and 3, columns 0 and 2.
    want = np.zeros(256, np.int64)
    want[[4, 6]] = 1
    want[1] = 2
    assert np.array_equal(_engine.lattice_histogram(levels, 2, (1, 0)), want)
    assert _engine.lattice_histogram(levels, 5, (4, 0)).sum() == 0  # first row past the end
    big = np.random.default_rng(3).integers(0, 256, (301, 257), dtype=np.uint8)
    for threads in (1, 2, 5):
        got = _engine.lattice_histogram(big, 3, (2, 1), threads=threads)
        assert np.array_equal(got, np.bincount(big[2::3, 1::3].ravel(), minlength=256))


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda b: _engine.variance_map(b, 8, offset=(4, 0)), "must name its regions"),
        (lambda b: _engine.variance_map(b, 8, offset=(4, 0), regions=(0, 0, 1, 1)), "does not lie inside"),
        (lambda b: _engine.analyse_regions(b, 8, [15], [0]), "does not lie inside"),
        (lambda b: _engine.decide(b, np.zeros((3, 3), np.float32), 8), "region grid"),
        (lambda b: _engine.decide(b, np.zeros((15, 15), np.float32), 8, offset=(1, 0),
                                  image_shape=(64, 64)), "outside the image"),
        (lambda b: _engine.decide(b, np.zeros((15, 15), np.float32), 8, margin=(1, 0, 0, 0)), "medians"),
        (lambda b: _engine.decide(b, np.zeros((15, 15), np.float32), 8, median=True, margin=(40, 40, 0, 0)),
         "wider than the levels"),
        (lambda b: _engine.select_regions(np.zeros((2, 2), np.float32), 5), "accepted are 0..4"),
        (lambda b: _engine.fill_grid((2, 2), [2], [0], [1.0]), "outside the grid"),
        (lambda b: _engine.square_sums(b, 8, 2, [15], [0]), "does not lie inside"),
        (lambda b: _engine.square_sums(b, 8, 9, [0], [0]), "side"),
        (lambda b: _engine.lattice_histogram(b, 0), "step"),
        (lambda b: _engine.tile_scores(np.zeros((2, 2)), 0, 0.0, 1.0), "side"),
    ],
)
def test_stages_refuse_what_they_cannot_honour(call, message):
    with pytest.raises(ValueError, match=message):
        call(np.zeros((64, 64), np.uint8))


def test_piece_sizes_count_what_mark_pieces_labels():
    rng = np.random.default_rng(1)
    for _ in range(20):
        shape = tuple(rng.integers(1, 60, 2))
        block = rng.choice(np.array([0, 1, 255], np.uint8), size=shape, p=[0.1, 0.35, 0.55])
        _, reaches, sizes = _engine.mark_pieces(block)
        counted = _engine.piece_sizes(block)
        assert np.array_equal(counted[0], reaches) and np.array_equal(counted[1], sizes)
        assert sizes.sum() == np.count_nonzero(block != 255)
