"""AdaptiveThreshold from end to end on scenes whose answer is known."""

import numpy as np
import pytest
from zentrel.scenes import uneven_scene


def away_from_edges(objects, margin=2):
    """True where every pixel within `margin` (a square) has the same class."""
    rows, cols = objects.shape
    padded = np.pad(objects, margin, mode="edge")
    same = np.ones_like(objects)
    for dy in range(2 * margin + 1):
        for dx in range(2 * margin + 1):
            same &= padded[dy : dy + rows, dx : dx + cols] == objects
    return same


SCENES = {
    "512 square": dict(shape=(512, 512), seed=1),
    "wide": dict(shape=(300, 700), seed=2),
    "tall odd": dict(shape=(611, 333), seed=5),
}


@pytest.mark.parametrize("scene_args", SCENES.values(), ids=SCENES.keys())
@pytest.mark.parametrize(("percent", "region_size"), [(10, 32), (30, 32), (20, 25), (50, 48)])
def test_objects_black_background_white(threshold, scene_args, percent, region_size):
    image, objects = uneven_scene(**scene_args)
    result, output, _, _ = threshold(image, percent=percent, region_size=region_size)
    assert result is True
    assert np.isin(output, (0, 255)).all()
    inner = away_from_edges(objects)
    right = (output == 255) == ~objects
    assert right[inner].mean() >= 0.99
    # No global threshold does as well on this scene.
    best_global = max(((image >= t) == ~objects)[inner].mean() for t in range(256))
    assert best_global < 0.99


def progress_free(text):
    return [line for line in text.split("\n") if "is done..." not in line]


def test_debug_changes_only_the_trace(threshold):
    image, _ = uneven_scene((256, 256), seed=4)
    # 112 selected regions: enough for progress lines.
    plain = threshold(image, percent=50, region_size=32)
    traced = threshold(image, percent=50, region_size=32, debug=True)
    assert plain[0] is traced[0] is True
    assert np.array_equal(plain[1], traced[1])
    assert "Debug: ending mrgmin" in traced[2] and "Debug:" not in plain[2]
    assert "is done..." in plain[2] and "is done..." not in traced[2]
    assert "Number of regions=112\n" in traced[2]
    driver_lines = [line for line in progress_free(plain[2]) if line]
    traced_lines = traced[2].split("\n")
    for line in driver_lines:
        assert line in traced_lines


def test_smooth_his_changes_the_fits_not_the_driver(threshold):
    image, objects = uneven_scene((512, 512), seed=6)
    plain = threshold(image, percent=20, region_size=32)
    smooth = threshold(image, percent=20, region_size=32, smooth_his=True)
    assert smooth[0] is True
    inner = away_from_edges(objects)
    assert ((smooth[1] == 255) == ~objects)[inner].mean() >= 0.99
    # The same regions are selected; only the fits may differ.
    head = lambda text: text.split(" Gaussian curve fitting")[0]  # noqa: E731
    assert head(plain[2]) == head(smooth[2])


def test_repeated_calls_are_identical(threshold):
    image, _ = uneven_scene((256, 256), seed=8)
    first = threshold(image, percent=25, region_size=20)
    second = threshold(image, percent=25, region_size=20)
    assert first[0] is second[0]
    assert np.array_equal(first[1], second[1]) and first[2] == second[2]
