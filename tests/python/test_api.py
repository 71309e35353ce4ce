"""The zentrel package: quiet array-in, array-out functions on the same engine."""

import threading

import numpy as np
import pytest
import zentrel
import zentrel_py
from conftest import flush_c_stdio


def adaptive_threshold(image, percent, region_size, smooth=False):
    output = np.zeros(np.shape(image), np.int16)
    ok = zentrel_py.AdaptiveThreshold(image, output, percent, region_size, False, smooth)
    flush_c_stdio()
    return ok, output


CASES = [
    dict(shape=(256, 256), seed=1, percent=10, region_size=32, smooth=False),
    dict(shape=(300, 420), seed=2, percent=30, region_size=25, smooth=False),
    dict(shape=(333, 257), seed=3, percent=50, region_size=40, smooth=True),
    dict(shape=(512, 512), seed=4, percent=5, region_size=64, smooth=False),
]


@pytest.mark.parametrize("case", CASES, ids=lambda c: f"{c['shape']}-{c['percent']}%-R{c['region_size']}")
@pytest.mark.parametrize("dtype", [np.uint8, np.float64])
def test_binarize_equals_adaptive_threshold(case, dtype):
    image, _ = zentrel.uneven_scene(case["shape"], seed=case["seed"])
    image = image.astype(dtype)
    ok, expected = adaptive_threshold(image, case["percent"], case["region_size"], case["smooth"])
    assert ok
    got = zentrel.binarize(image, percent=case["percent"], region_size=case["region_size"],
                           smooth=case["smooth"], preset="classic")
    assert got.dtype == np.uint8 and got.shape == image.shape
    assert np.array_equal(got, expected.astype(np.uint8))


def test_api_writes_nothing_to_stdout_or_stderr(capfd):
    image, _ = zentrel.uneven_scene((256, 256), seed=1)
    capfd.readouterr()
    zentrel.binarize(image)
    zentrel.threshold_surface(image)
    zentrel.analyse(image, percent=30)
    with pytest.raises(zentrel.NoRegionPassedError):
        zentrel.binarize(np.full((64, 64), 9, np.uint8), preset="classic")
    with pytest.raises(ValueError):
        zentrel.binarize(np.full((64, 64), 300.0), preset="classic")
    flush_c_stdio()
    captured = capfd.readouterr()
    assert captured.out == "" and captured.err == ""


@pytest.mark.parametrize("threads", [1, 2])
def test_threads_binarise_at_once_like_one_after_another(threads):
    images = [zentrel.uneven_scene((384, 384), seed=s)[0] for s in range(6)]
    expected = [zentrel.binarize(im, percent=40, threads=1) for im in images]
    results = [None] * len(images)

    def work(i):
        results[i] = zentrel.binarize(images[i], percent=40, threads=threads)

    workers = [threading.Thread(target=work, args=(i,)) for i in range(len(images))]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    for got, want in zip(results, expected):
        assert np.array_equal(got, want)


def test_a_step_on_a_thread_of_its_own_hands_over_its_value_or_error():
    from concurrent.futures import ThreadPoolExecutor

    from zentrel.auto.pipeline import WholeImage

    with ThreadPoolExecutor(max_workers=1) as pool:
        assert WholeImage.call(lambda x: x, pool.submit(sum, [1, 2])) == 3
        with pytest.raises(ValueError, match="invalid literal"):
            WholeImage.call(lambda x: x, pool.submit(int, "x"))


@pytest.mark.parametrize("threads", [1, 2, 3])
def test_thread_count_does_not_change_the_result(threads):
    image, _ = zentrel.uneven_scene((300, 300), seed=9)
    assert np.array_equal(zentrel.binarize(image, percent=50, threads=threads),
                          zentrel.binarize(image, percent=50, threads=1))


def test_threshold_surface_explains_binarize():
    image, _ = zentrel.uneven_scene((256, 320), seed=5)
    surface = zentrel.threshold_surface(image, percent=20)
    binary = zentrel.binarize(image, percent=20)
    assert surface.dtype == np.float32 and surface.shape == image.shape
    # The objects are wider than strokes: each pixel's 3x3 median is read,
    # the edge repeating beyond the image.
    assert zentrel.analyse(image, percent=20).auto.median
    padded = np.pad(image, 1, mode="edge")
    read = np.median([padded[dy:dy + 256, dx:dx + 320] for dy in range(3) for dx in range(3)], axis=0)
    # Away from the right band a pixel is white where it reaches the integer
    # part of its threshold.
    h = 16
    cols = (2 * image.shape[1] // 32 - 1) * h
    left = np.s_[:, :cols]
    expected = np.where(read[left].astype(np.int32) >= np.trunc(surface[left]).astype(np.int32), 255, 0)
    assert np.array_equal(binary[left], expected)
    right = np.s_[h:-h, cols:]
    expected_right = np.where(read[right].astype(np.float32) > surface[right], 255, 0)
    assert np.array_equal(binary[right], expected_right)


def test_analyse_reports_regions():
    image, _ = zentrel.uneven_scene((256, 256), seed=1)
    result = zentrel.analyse(image, percent=30, region_size=32, preset="classic")
    assert result.grid_shape == (15, 15)
    assert result.selected_count == len(result.regions) == 67
    variances = [r.variance for r in result.regions]
    assert variances == sorted(variances, reverse=True)
    passed = [r for r in result.regions if r.passed]
    assert len(passed) == result.valid_count > 0
    for r in passed:
        c1, mean1, _, mean2, _ = r.fitted
        assert mean1 < r.threshold < mean2 and 0.2 <= c1 <= 0.8
        assert r.top == r.row * 16 and r.left == r.col * 16
    for r in result.regions:
        assert (r.failed_test is None) == (r.status != "failed_test")


def test_no_region_error_says_why():
    image = np.full((128, 128), 40, np.uint8)
    image[:, 64:] = 60  # two modes, both far below the dark-mode limit
    image = image + np.random.default_rng(0).integers(0, 6, image.shape).astype(np.uint8)
    with pytest.raises(zentrel.NoRegionPassedError, match=r"(\d+) regions were selected") as error:
        zentrel.binarize(image, percent=50, preset="classic")
    assert isinstance(error.value, ValueError)
    assert error.value.analysis.valid_count == 0


def test_limits_open_dark_text_on_paper():
    rng = np.random.default_rng(2)
    page = np.full((256, 256), 215.0)
    for top in range(20, 240, 24):
        page[top : top + 8, 20:236] = 40.0  # dark lines of "text"
    page = np.clip(page + rng.normal(0, 4, page.shape), 0, 255).astype(np.uint8)
    with pytest.raises(zentrel.NoRegionPassedError):
        zentrel.binarize(page, percent=30, preset="classic")
    binary = zentrel.binarize(page, percent=30, mean1_range=(10, 160), box_mean=(2, 253),
                              preset="classic")
    assert (binary[page < 100] == 0).mean() > 0.95 and (binary[page > 180] == 255).mean() > 0.95


@pytest.mark.parametrize(
    ("kwargs", "error"),
    [
        (dict(percent=101), ValueError),
        (dict(region_size=0), ValueError),
        (dict(percent=10.5), TypeError),
        (dict(threads=0), ValueError),
        (dict(c1_range=(0.8, 0.2)), ValueError),
    ],
)
def test_bad_parameters(kwargs, error):
    image, _ = zentrel.uneven_scene((128, 128), seed=1)
    with pytest.raises(error):
        zentrel.binarize(image, **kwargs)


def test_bad_images():
    with pytest.raises(ValueError, match="^image: "):
        zentrel.binarize(np.zeros((4, 4, 3), np.uint8))
    with pytest.raises(TypeError):
        zentrel.binarize(np.zeros((64, 64), np.complex64))
