"""The finer scale of thin strokes: the coarse grid at the finer nodes, when
the finer analysis is used, and what the mean of the two grids decides."""

import dataclasses
from pathlib import Path

import numpy as np
import pytest
import zentrel
from PIL import Image
from zentrel.auto import pipeline, scales
from zentrel.auto.settings import DEFAULT


@pytest.fixture(scope="module")
def page_picture():
    return np.asarray(Image.open(Path(__file__).parent / "data" / "dibco2009_h02_crop.png").convert("L"))


@pytest.mark.parametrize("region_size, fine", [(32, 16), (36, 18), (64, 32), (33, None), (34, None),
                                               (28, None)])
def test_the_finer_size_is_half_a_multiple_of_four_of_16_or_more(region_size, fine):
    # Odd halves and odd sizes would put the coarse nodes between finer ones.
    assert scales.fine_size(region_size) == fine


def test_coarse_grid_at_the_finer_nodes_by_hand():
    # Fine node i lies halfway between coarse nodes when i is even, on one
    # when odd; before the first and past the last the nearest node holds.
    coarse = np.array([[0.0, 2.0], [4.0, 6.0]])
    want = np.array([[0, 0, 1, 2, 2], [0, 0, 1, 2, 2], [2, 2, 3, 4, 4], [4, 4, 5, 6, 6]], float)
    assert np.array_equal(scales.coarse_at_fine(coarse, 32, (4, 5)), want)


def _choices(passed, selected, thin=True, fallback=None, objects="dark"):
    return dataclasses.replace(zentrel.analyse(np.full((40, 40), 9, np.uint8)).auto, passed_count=passed,
                               selected_count=selected, thin=thin, fallback=fallback, objects=objects)


@pytest.mark.parametrize("fine, ink, used", [
    (dict(passed=80, selected=200), 1.0, True),   # 0.40 of the finer regions pass, half of 0.8
    (dict(passed=79, selected=200), 1.0, False),  # under half as often
    (dict(passed=200, selected=200, thin=False), 1.0, False),
    (dict(passed=200, selected=200, fallback="otsu"), 1.0, False),
    (dict(passed=0, selected=0), 1.0, False),     # not fitted at all
    (dict(passed=80, selected=200), 2.0, True),   # twice the ink, or half of it
    (dict(passed=80, selected=200), 0.5, True),
    (dict(passed=80, selected=200), 2.01, False),
    (dict(passed=80, selected=200), 0.49, False),
])
def test_the_finer_analysis_is_used_when_it_passes_half_as_often_with_as_much_ink(fine, ink, used):
    assert scales.fine_agrees(_choices(40, 50), _choices(**fine), ink) is used


def test_ink_share_from_the_quantiles_by_hand():
    # Levels 10, 20, 30, 40, 50 at 2, 16, 50, 84, 98 %: a threshold of 25
    # lies halfway from 16 to 50 %, one of 9 below everything, 51 above.
    quantiles = np.array([[[10, 20, 30, 40, 50]] * 3], np.uint8)
    assert scales.ink_share(np.array([[25.0, 9.0, 51.0]]), quantiles) == pytest.approx((0.33 + 0 + 1) / 3)


def test_the_default_thresholds_strokes_at_the_mean_of_two_scales(page_picture):
    image = page_picture
    analysis = zentrel.analyse(image)
    assert analysis.auto.thin and analysis.auto.fine_size == 16
    one = dataclasses.replace(DEFAULT, two_scales=False)
    coarse = pipeline.run(image, want_surface=True, settings=one)[1]
    fine = pipeline.run(image, region_size=16, objects="dark", want_surface=True, settings=one)[1]
    got = zentrel.threshold_surface(image)
    # Between the coarse nodes both surfaces are bilinear: their mean is
    # the fused grid's surface, up to single-precision rounding.
    inner = (slice(16, 16 * (analysis.grid_shape[0])), slice(16, 16 * (analysis.grid_shape[1])))
    assert np.allclose(got[inner], (coarse[inner] + fine[inner]) / 2, atol=1e-3)
    # The finer analysis is not used for objects wider than strokes.
    assert zentrel.analyse(255 - image, objects="bright").auto.fine_size is None
