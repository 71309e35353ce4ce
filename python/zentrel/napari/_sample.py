"""The sample-data contribution: an unevenly lit scene and its true objects."""

from __future__ import annotations

import numpy as np

import zentrel


def uneven_scene() -> list:
    image, objects = zentrel.uneven_scene((512, 512), seed=1)
    return [(image, {"name": "uneven scene"}, "image"),
            (objects.astype(np.uint8), {"name": "true objects", "visible": False}, "labels")]
