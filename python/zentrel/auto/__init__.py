"""The automatic default (preset="auto"): from any real or boolean image to
a threshold grid, one stage per module, in this order:

    levels      value range, fine histogram -> LevelMapping -> uint8 levels
    (engine)    variance and quantile grids of the levels, one cell per region
    regions     region scores, tile by tile -> the regions to fit
    (engine)    two-Gaussian fits of those regions under the default's limits
    judge       one verdict per region: passed, threshold, class means
    settle, on the small grids, in named steps:
      polarity  the objects' side: voted by passing regions, else Otsu
      strokes   which pass: dark objects' strokes among wider areas' edges
                pass alone, else faint classes fail (judge); whether thin
      fallback  flat image or too few passing regions: Otsu's one
                threshold, or ground with a few marks (ground: the
                marks' pieces choose the side, one more pixel pass)
      surface   the threshold grid settled outward from passing regions
      faint     faint bright objects, and faint dark marks, raised
    (engine)    every pixel against the grid

analysis.run_auto is the package's entry (zentrel.api.run calls it).
pipeline.stages states this order once, for any source of the image-sized
work: pipeline.run on an in-memory array (WholeImage), zentrel.dask over
chunks. settings.AutoSettings holds every tuned number (DEFAULT).

Everything here works on quantities that can be gathered exactly from parts
of an image: the value range and a fine histogram of the input, the minimum,
maximum and (for a fallback) the 256-bin histogram of the levels, and small
grids with one cell per region (variance, quantiles, fit records).
Image-sized work happens in the engine's stages; the only per-pixel
operation here (mapping values to levels) is element by element, so a
caller working chunk by chunk gets the same result as one working on the
whole image.
"""

from zentrel.auto.analysis import analysis_of, run_auto
from zentrel.auto.judge import judge_regions
from zentrel.auto.levels import LevelMapping, apply_mapping, level_mapping, to_levels
from zentrel.auto.choices import AutoChoices
from zentrel.auto.pipeline import WholeImage, run, scaled_stages, stages
from zentrel.auto.settling import settle

__all__ = [
    "AutoChoices",
    "LevelMapping",
    "WholeImage",
    "analysis_of",
    "apply_mapping",
    "judge_regions",
    "level_mapping",
    "run",
    "run_auto",
    "scaled_stages",
    "settle",
    "stages",
    "to_levels",
]
