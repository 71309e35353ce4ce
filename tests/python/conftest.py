import ctypes

import numpy as np
import pytest
import zentrel_py

_libc = ctypes.CDLL(None)


def flush_c_stdio():
    """The module prints through C stdio, which buffers when not on a terminal."""
    _libc.fflush(None)


@pytest.fixture
def threshold(capfd):
    """Call AdaptiveThreshold and return (result, output, stdout text, stderr text)."""

    def run(image, percent=10, region_size=32, output="zeros", **kwargs):
        if isinstance(output, str):
            output = np.zeros(np.shape(image)[:2], dtype=np.int16)
        capfd.readouterr()
        try:
            result = zentrel_py.AdaptiveThreshold(image, output, percent, region_size, **kwargs)
        finally:
            flush_c_stdio()
        captured = capfd.readouterr()
        return result, output, captured.out, captured.err

    return run


@pytest.fixture(scope="session")
def scene():
    from zentrel.scenes import uneven_scene

    return uneven_scene((256, 256), seed=3)
