"""The default's output, pinned: a digest per picture of binarize(image)
with no options, on the real crops of tests/python/data and a few drawn
scenes. A change that moves one of them updates the digest here on purpose
and says why in its commit; anything else that moves one is a regression.
"""

import hashlib
from pathlib import Path

import numpy as np
import pytest
import zentrel
from PIL import Image
from conftest import drawn_fundus
from zentrel.scenes import uneven_scene

DATA = Path(__file__).parent / "data"


def _picture(name):
    if name.endswith(".png"):
        return np.asarray(Image.open(DATA / name).convert("L"))
    kind, seed = name.rsplit(" ", 1)
    if kind == "fundus":
        return drawn_fundus(256, seed=int(seed))[0]
    scene = uneven_scene((384, 384), seed=int(seed))[0]
    return 255 - scene if kind == "bright scene" else scene


PINNED = {
    "bickley_h04_crop.png": "c794aec21480ec39",
    "dibco2009_h02_crop.png": "ddd99f119d9ba234",
    "mstex2015_h23_crop.png": "3dd5bdb54ee59a8c",
    "sroie_000_crop.png": "f7e7c8ee1ada731f",
    "scene 0": "11af8f697c172541",
    "scene 1": "f7f1363922669ca7",
    "bright scene 0": "38cec10e4c840ff7",
    "fundus 0": "872aaaeff124fb77",
}


@pytest.mark.parametrize("name", sorted(PINNED))
def test_default_output_is_pinned(name):
    output = zentrel.binarize(_picture(name))
    assert hashlib.sha256(output.tobytes()).hexdigest()[:16] == PINNED[name]
