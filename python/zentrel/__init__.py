"""zentrel: adaptive thresholding of grey images under uneven lighting.

>>> import zentrel
>>> image, objects = zentrel.uneven_scene((256, 256), seed=2)
>>> binary = zentrel.binarize(image, percent=20)
>>> binary.shape
(256, 256)
"""

from zentrel._version import __version__
from zentrel.api import analyse, binarize, threshold_surface
from zentrel.core import Analysis, NoRegionPassedError, RegionInfo
from zentrel.scenes import uneven_scene

# Where users meet them (tracebacks, reprs, pickles): as zentrel's own.
for _public in (Analysis, NoRegionPassedError, RegionInfo):
    _public.__module__ = __name__
del _public

__all__ = [
    "Analysis",
    "NoRegionPassedError",
    "RegionInfo",
    "analyse",
    "binarize",
    "threshold_surface",
    "uneven_scene",
]
