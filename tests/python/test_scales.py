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


def test_coarse_grid_at_the_finer_nodes_by_hand():
    # Fine node i lies halfway between coarse nodes when i is even, on one
    # when odd; before the first and past the last the nearest node holds.
    coarse = np.array([[0.0, 2.0], [4.0, 6.0]])
    want = np.array([[0, 0, 1, 2, 2], [0, 0, 1, 2, 2], [2, 2, 3, 4, 4], [4, 4, 5, 6, 6]], float)
    assert np.array_equal(scales.coarse_at_fine(coarse, 32, (4, 5)), want)


def _choices(passed, selected, thin=True, fallback=None, objects="dark"):
    return dataclasses.replace(zentrel.analyse(np.full((40, 40), 9, np.uint8)).auto, passed_count=passed,
                               selected_count=selected, thin=thin, fallback=fallback, objects=objects)


@pytest.mark.parametrize("fine, used", [
    (dict(passed=80, selected=200), True),    # 0.40 of the finer regions pass, half of 0.8
    (dict(passed=79, selected=200), False),   # under half as often
    (dict(passed=200, selected=200, thin=False), False),
    (dict(passed=200, selected=200, fallback="otsu"), False),
    (dict(passed=0, selected=0), False),      # not fitted at all
])
def test_the_finer_analysis_is_used_when_it_passes_half_as_often(fine, used):
    assert scales.fine_agrees(_choices(40, 50), _choices(**fine)) is used


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
