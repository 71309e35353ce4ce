"""Where each chunk's regions lie: pure arithmetic on the region lattice.

Region i of an axis starts at pixel lattice.origins(i) and is R pixels long.
Every region belongs to exactly one chunk, the one holding its first pixel.
A chunk's regions split in two pieces along each axis: the inner ones, which
end inside the chunk, and the seam ones, which reach up to R-1 pixels into the next
chunk. In two dimensions that makes four pieces per chunk; the inner x inner
piece is computed from the chunk alone, the others from the edge bands
(R-1 pixels wide) of the chunk and its neighbours, so no task ever needs a
neighbour's whole chunk. The pieces tile the region grid without overlap.
Chunks are at least R-1 pixels long (merged first where they are not), so a
seam piece never reaches past the next chunk.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

from zentrel.core import lattice
from zentrel.core.lattice import first_region_at


class AxisPart(NamedTuple):
    start: int         # first pixel of the chunk
    stop: int          # one past its last pixel
    first_region: int  # regions first_region..stop_region-1 start inside the chunk;
    seam_region: int   # those from seam_region on reach into the next chunk
    stop_region: int

    def piece(self, seam: bool) -> tuple:
        """(first, stop) region of the inner or of the seam piece."""
        return (self.seam_region, self.stop_region) if seam else (self.first_region, self.seam_region)


def axis_parts(chunks: tuple, region_size: int) -> list[AxisPart]:
    """The chunks of one axis with the regions that start in each, split
    where they stop ending inside the chunk (floor(i*R/2) + R > stop)."""
    side = sum(chunks)
    count = lattice.grid_shape((side, side), region_size)[0]
    parts, start = [], 0
    for length in chunks:
        stop = start + length
        first = min(first_region_at(start, region_size), count)
        last = min(first_region_at(stop, region_size), count)
        seam = min(max(first_region_at(stop - region_size + 1, region_size), first), last)
        parts.append(AxisPart(start, stop, first, seam, last))
        start = stop
    return parts


def piece_of(regions: np.ndarray, parts: list[AxisPart]) -> np.ndarray:
    """Piece index along one axis of each region: 2*chunk for the inner
    piece, 2*chunk + 1 for the seam piece."""
    bounds = np.array([b for p in parts for b in (p.first_region, p.seam_region)], np.int64)
    return np.searchsorted(bounds, np.asarray(regions, np.int64), side="right") - 1
