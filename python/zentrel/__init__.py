"""zentrel: adaptive thresholding of grey images under uneven lighting."""

from zentrel.scenes import uneven_scene

__all__ = ["uneven_scene"]
