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


def drawn_fundus(n=384, seed=0):
    """A bright disc (150, falling 0.08 a column from its centre) on black
    with thin dark lines (3 pixels, 25 darker) inside, and noise; (image,
    lines, disc)."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[:n, :n]
    r = np.hypot(y - n / 2, x - n / 2)
    lines = np.zeros((n, n), bool)
    for k in range(9):
        c = 40 + k * 38
        lines |= (np.abs(x - c - 0.3 * (y - n / 2) * (k % 2)) < 1.5) & (r < n * 0.42)
        lines |= (np.abs(y - c) < 1.5) & (r < n * 0.42) & (k % 3 == 0)
    image = np.where(r < n * 0.45, 150.0 - 0.08 * np.abs(x - n / 2), 0.0) - 25.0 * lines
    image += rng.normal(0, 3, (n, n))
    return np.clip(np.rint(image), 0, 255).astype(np.uint8), lines, r < n * 0.45


def drawn_striped_crack(shape=(160, 240), seed=1):
    """Asphalt (128, spread 10) with a bright stripe 20 columns wide along
    its left side and one wavy crack 3 pixels wide, 45 levels darker, right
    of it; (image, crack mask)."""
    rng = np.random.default_rng(seed)
    image = rng.normal(128, 10, shape)
    image[:, :20] += 40
    y, x = np.mgrid[:shape[0], :shape[1]]
    crack = (np.abs(y - (80 + 20 * np.sin(x / 30)).astype(int)) <= 1) & (x >= 28)
    return np.clip(image - 45 * crack, 0, 255).astype(np.uint8), crack


def drawn_crack(shape=(192, 256), seed=0):
    """Grey asphalt-like texture (mean 130, spread about 10, grains of a few
    pixels) crossed by one wavy crack 2 pixels wide, 40 levels darker;
    (image, crack mask)."""
    rng = np.random.default_rng(seed)
    noise = rng.normal(0, 1, (shape[0] + 2, shape[1] + 2))
    grains = sum(noise[i:i + shape[0], j:j + shape[1]] for i in range(3) for j in range(3)) / 3.0
    y, x = np.mgrid[:shape[0], :shape[1]]
    middle = shape[0] / 2 + 0.15 * shape[0] * np.sin(x / shape[1] * 2 * np.pi)
    crack = np.abs(y - middle) < 1.0
    image = 130 + 10 * grains - 40 * crack
    return np.clip(np.rint(image), 0, 255).astype(np.uint8), crack


def drawn_papyrus(n=1024, seed=2):
    """A dark support (115, grain of spread 6) on a white board (250), holed
    here and there, written all over with soft strokes (3 pixels wide, 60
    levels deep at their middle, blurred as ink in fibres is); (image, ink
    mask, support mask)."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[:n, :n]
    support = (y >= 60) & (y < n - 60) & (x >= 60) & (x < n - 60)
    for _ in range(12):
        cy, cx, r = rng.integers(80, n - 80), rng.integers(80, n - 80), rng.integers(8, 20)
        support &= np.hypot(y - cy, x - cx) > r
    ink = np.zeros((n, n), bool)
    wy, wx = np.mgrid[:14, :16]  # one letter's box: a slanted stem, half of them crossed
    stem = np.abs(wx - wy // 3) <= 1
    bar = (np.abs(wy - 7) <= 1) & (wx < 10)
    for row in range(90, n - 90, 26):
        for col in range(90, n - 100, 16):
            ink[row:row + 14, col:col + 16] |= stem | bar if rng.random() < 0.5 else stem
    ink &= support
    soft = ink.astype(np.float64)
    for _ in range(3):  # three 3x3 means: a blur of about 1.4 pixels
        padded = np.pad(soft, 1, mode="edge")
        soft = sum(padded[i:i + n, j:j + n] for i in range(3) for j in range(3)) / 9.0
    image = np.where(support, 115.0, 250.0) - 60.0 * soft / soft.max()
    image += rng.normal(0, 6, (n, n)) * support + rng.normal(0, 1.5, (n, n))
    return np.clip(np.rint(image), 0, 255).astype(np.uint8), ink, support
