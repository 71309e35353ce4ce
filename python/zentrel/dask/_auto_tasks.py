"""The automatic default's tasks over chunks: its whole-image statistics as
exact reductions (value range, fine histogram, level histogram) and the
gathering of the region grids. The stages themselves and their order are
zentrel.auto's (pipeline.stages); zentrel.dask only supplies the source."""

from __future__ import annotations

import numpy as np

from zentrel.auto.levels import (LevelMapping, apply_mapping, fine_histogram, level_histogram,
                                 level_mapping, sample_histogram)
from zentrel.auto.settings import AutoSettings


def value_range_part(block, block_info=None):
    cell = np.empty((1, 1), object)
    finite = bool(np.isfinite(block).all()) if block.dtype.kind == "f" else True
    cell[0, 0] = (finite, block.min().item(), block.max().item())
    return cell


def value_range(cells) -> tuple:
    parts = [cell[0, 0] for cell in cells]
    if not all(finite for finite, _, _ in parts):
        raise ValueError("image: holds NaN or infinite values")
    return min(low for _, low, _ in parts), max(high for _, _, high in parts)


def fine_histogram_part(block, value_range, settings: AutoSettings, block_info=None):
    cell = np.empty((1, 1), object)
    low, high = value_range
    cell[0, 0] = fine_histogram(block, low, high, settings) if high > low else None
    return cell


def mapping_of(dtype, value_range, cells, settings: AutoSettings) -> LevelMapping:
    low, high = value_range
    histogram = sum(cell[0, 0] for cell in cells) if high > low else None
    return level_mapping(dtype, low, high, histogram, settings)


def levels_block(block, mapping):
    return apply_mapping(block, mapping)


def chunk_histograms(block, offset, image_shape, settings: AutoSettings) -> tuple:
    """A chunk's 256-bin level histogram and that of its pixels on the
    level sample's lattice."""
    return level_histogram(block), sample_histogram(block, offset, image_shape, settings)


def histogram_sums(pairs) -> tuple:
    """The whole image's level and level-sample histograms from the chunks'
    chunk_histograms (exact integer sums)."""
    return tuple(sum(pair[index] for pair in pairs).astype(np.int64) for index in (0, 1))
