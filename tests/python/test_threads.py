"""Any thread count gives the same output and the same console text, byte for byte."""

import numpy as np
import pytest
from zentrel.scenes import uneven_scene


@pytest.mark.parametrize("debug", [False, True], ids=["progress", "debug"])
@pytest.mark.parametrize(
    ("shape", "percent", "region_size", "smooth"),
    [((512, 512), 50, 32, False), ((400, 600), 30, 25, True), ((384, 384), 100, 16, False)],
)
def test_threads_change_nothing(threshold, monkeypatch, shape, percent, region_size, smooth, debug):
    image, _ = uneven_scene(shape, seed=11)
    runs = {}
    for threads in ("1", "2", "5"):
        monkeypatch.setenv("ZENTREL_THREADS", threads)
        runs[threads] = threshold(image, percent=percent, region_size=region_size,
                                  debug=debug, smooth_his=smooth)
    one = runs["1"]
    assert one[0] is True
    assert "is done..." in one[2] or debug
    for threads, run in runs.items():
        assert run[0] is one[0], threads
        assert np.array_equal(run[1], one[1]), threads
        assert run[2] == one[2], threads


def test_threads_are_kept_from_call_to_call_and_a_forked_child_has_its_own():
    import multiprocessing
    import threading

    import zentrel

    image, _ = uneven_scene((256, 320), seed=3)
    expected = zentrel.binarize(image, threads=1)

    def samplers():
        return {t for t in threading.enumerate() if t.name.startswith("zentrel-sample")}

    zentrel.binarize(image, threads=2)
    kept = samplers()
    for _ in range(5):
        assert np.array_equal(zentrel.binarize(image, threads=2), expected)
    assert kept and samplers() == kept
    # The child inherits the parent's pools but none of their threads.
    with multiprocessing.get_context("fork").Pool(1) as pool:
        out = pool.apply_async(zentrel.binarize, (image,), {"threads": 2}).get(timeout=60)
    assert np.array_equal(out, expected)
