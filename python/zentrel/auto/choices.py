"""What the automatic default chose for one image, and why.

    AutoChoices(...)   the record settle() makes and the later stages read
"""

from __future__ import annotations

from dataclasses import dataclass

from zentrel.auto.fallback import ON_GROUND
from zentrel.auto.levels import LevelMapping
from zentrel.auto.settings import DEFAULT, AutoSettings


@dataclass(frozen=True)
class AutoChoices:
    """What the automatic default chose for one image, and why."""

    mapping: LevelMapping
    objects: str
    objects_reason: str
    limits: dict
    min_separation: float
    selected_count: int
    passed_count: int
    fallback: str | None
    verdicts: tuple
    settings: AutoSettings = DEFAULT  # the numbers it ran with
    thin: bool = False  # dark objects read as thin strokes: no region lies inside one
    smooth: bool = False  # the fits smoothed their histograms (levels.fit_smoothing)
    fine_size: int | None = None  # the grid is averaged with one at this region size (scales)
    marks: bool = False  # faint marks stay only where they join ink (marks)
    quantum: float = 1.0  # the spacing of the occupied levels (levels.level_step)
    side_known: bool = True  # given, voted by the passing regions, or shown by the histogram's two
    #                          classes; else the marks' pieces chose it (ground)

    @property
    def mirror(self) -> bool:
        """Whether the grid and core lie on mirrored levels (255 - level)
        and the decision reads those: bright marks on ground (ground)."""
        return self.fallback in ON_GROUND and self.objects == "bright"

    @property
    def median(self) -> bool:
        """Whether the pixel decision reads 3x3 medians: objects wider than
        strokes, on a grid built from them (AutoSettings.wide_median)."""
        return self.settings.wide_median and not self.thin and self.fallback is None
