"""Where each chunk's regions lie: pure arithmetic on the region lattice.

Region i of an axis starts at pixel i*R//2 and is R pixels long. Every region
belongs to exactly one chunk, the one holding its first pixel, so that the
chunks' region ranges tile the whole grid without overlap; the block a chunk
reads for its regions is the chunk itself plus up to R-1 pixels past its far
edge.
"""

from __future__ import annotations

from typing import NamedTuple


class AxisPart(NamedTuple):
    start: int         # first pixel of the chunk
    stop: int          # one past its last pixel
    first_region: int  # regions first_region..stop_region-1 start inside the chunk
    stop_region: int
    block_start: int   # the pixels those regions cover
    block_stop: int


def region_count(side: int, region_size: int) -> int:
    return max(2 * side // region_size - 1, 0)


def first_region_at(pixel: int, region_size: int) -> int:
    """The first region whose top-left pixel is at or after ``pixel``:
    floor(i*R/2) >= p exactly when i >= ceil(2p/R)."""
    return -(-2 * pixel // region_size)


def axis_parts(chunks: tuple, region_size: int) -> list[AxisPart]:
    """The chunks of one axis with the regions that start in each."""
    side = sum(chunks)
    count = region_count(side, region_size)
    parts, start = [], 0
    for length in chunks:
        stop = start + length
        first = min(first_region_at(start, region_size), count)
        last = min(first_region_at(stop, region_size), count)
        if last > first:
            block = (first * region_size // 2, (last - 1) * region_size // 2 + region_size)
        else:
            block = (start, start)
        parts.append(AxisPart(start, stop, first, last, *block))
        start = stop
    return parts


def chunk_of(positions, starts):
    """Index of the chunk holding each pixel position, given the chunks' first pixels."""
    import numpy as np

    return np.searchsorted(np.asarray(starts), positions, side="right") - 1
