"""The automatic default (preset="auto"): from any real or boolean image to
a threshold grid, one stage per module.

    levels      value range, fine histogram -> LevelMapping -> uint8 levels
    regions     variance grid -> region scores, tile by tile -> the selection
    (engine)    fits of the selected regions under the default's limits,
                and per-region quantiles of the levels
    judge       one verdict per region: passed, threshold, class means
    polarity    the objects' side: voted by passing regions, else Otsu
    fallback    flat image or too few passing regions: one threshold
    surface     the threshold grid settled outward from passing regions
                (+ faint bright objects)
    (engine)    every pixel against the grid

pipeline.run applies the stages in this order; pipeline.settle is the part
after the fits, shared with zentrel.dask. settings holds every tuned number.

Everything here works on quantities that can be gathered exactly from parts
of an image: the value range and a fine histogram of the input, the minimum,
maximum and (for a fallback) the 256-bin histogram of the levels, and small
grids with one cell per region (variance, quantiles, fit records).
Image-sized work happens in the engine's stages; the only per-pixel
operation here (mapping values to levels) is element by element, so a
caller working chunk by chunk gets the same result as one working on the
whole image.
"""

from zentrel.auto.judge import judge_regions
from zentrel.auto.levels import LevelMapping, apply_mapping, level_mapping, to_levels
from zentrel.auto.pipeline import AutoChoices, run, settle

__all__ = [
    "AutoChoices",
    "LevelMapping",
    "apply_mapping",
    "judge_regions",
    "level_mapping",
    "run",
    "settle",
    "to_levels",
]
