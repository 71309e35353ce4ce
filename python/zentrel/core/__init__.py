"""The engine's side of the package: everything that calls the native
module, and the facts it holds.

    engine                      the native module (zentrel.core._engine); only core
                                imports it, every layer above calls it through here
    Settings                    one analysis's options, checked (settings)
    limits                      the classic limits as keyword options
    outcomes                    status and test names and words
    lattice                     the region grid: shape, origins
    Analysis, RegionInfo, NoRegionPassedError, no_region_error   (analysis)
    run_classic                 the classic analysis in one engine call

Layers above: zentrel.auto (the automatic default), zentrel.api (one entry
point for both presets), zentrel.io, zentrel.dask, zentrel.report and
zentrel.cli. None of them reaches below this package's public names.
"""

from zentrel.core import _engine as engine
from zentrel.core import lattice, limits, outcomes
from zentrel.core.analysis import Analysis, NoRegionPassedError, RegionInfo, no_region_error
from zentrel.core.classic import check_element_type, real_array, run_classic
from zentrel.core.settings import INT32_MAX, Settings, check_int, check_shape, preset_conflict

__all__ = [
    "INT32_MAX",
    "Analysis",
    "NoRegionPassedError",
    "RegionInfo",
    "Settings",
    "check_element_type",
    "check_int",
    "check_shape",
    "engine",
    "lattice",
    "limits",
    "no_region_error",
    "outcomes",
    "preset_conflict",
    "real_array",
    "run_classic",
]
