"""Faint marks over chunks (zentrel.auto.marks): a mark joined to ink only
through another chunk is kept as the in-memory decision keeps it.

Each chunk's decision with the core grid gives ink (0), marks (1) and 255;
its pieces (8-connected ink and marks) along its four edges, with whether
each holds ink, are gathered, the pieces that touch across chunk edges
(corners included) are joined, and every chunk then keeps the marks of the
pieces that reach ink anywhere.

    edge_pieces(decided)            a chunk's edge summary
    reach_across(cells, shape)      per chunk, which of its pieces reach ink (None without marks)
    keep_reached_block(decided, reached, mirror, block_id)    the chunk's final 0/255
    weight_across(cells, shape, side)   ground.piece_weight of the whole image's pieces (ground fallback)

The ground fallback's side (zentrel.auto.ground) weighs whole pieces too:
each chunk's piece sizes come with its edges, and the pieces joined across
chunks add theirs.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

from zentrel.auto.ground import piece_weight
from zentrel.core import engine


class Edges(NamedTuple):
    """A chunk's piece labels along its edges and whether each piece holds ink."""

    top: np.ndarray
    bottom: np.ndarray
    left: np.ndarray
    right: np.ndarray
    reaches: np.ndarray  # bool per label; [0] False
    sizes: np.ndarray    # pixels per label; [0] 0


def edge_pieces(decided: np.ndarray) -> Edges:
    """The chunk's Edges."""
    labels, reaches, sizes = engine.mark_pieces(decided)
    return Edges(labels[0].copy(), labels[-1].copy(), labels[:, 0].copy(), labels[:, -1].copy(), reaches, sizes)


def _touching(a: np.ndarray, b: np.ndarray):
    """Index pairs of two facing edges of equal length whose pixels are
    8-neighbours: (i, i - 1), (i, i), (i, i + 1)."""
    n = len(a)
    i = np.concatenate([np.arange(n)] * 3)
    j = i + np.repeat([-1, 0, 1], n)
    inside = (j >= 0) & (j < n)
    return a[i[inside]], b[j[inside]]


def _roots(count: int, u: np.ndarray, v: np.ndarray) -> np.ndarray:
    """The smallest member of each node's connected set, edges (u, v)."""
    parent = np.arange(count)
    while True:
        ru, rv = parent[u], parent[v]
        apart = ru != rv
        if not apart.any():
            return parent
        low = np.minimum(ru, rv)[apart]
        np.minimum.at(parent, ru[apart], low)
        np.minimum.at(parent, rv[apart], low)
        while True:  # every node straight to its set's root
            jumped = parent[parent]
            if (jumped == parent).all():
                break
            parent = jumped


def reach_across(cells: list, shape: tuple):
    """For each chunk of a grid of chunks of that shape (cells: its 1x1
    object cells of edge_pieces' results, row by row) the bool per label of
    whether its piece reaches ink, through other chunks too. None when the
    cells hold None (no marks: the core grid was None)."""
    rows, cols = shape
    summaries = [[cells[i * cols + j][0, 0] for j in range(cols)] for i in range(rows)]
    if summaries[0][0] is None:
        return None
    root, offsets, sizes, inked = _joined(summaries)
    kept = inked[root]
    return [[kept[offsets[i, j]:offsets[i, j] + sizes[i, j]] for j in range(cols)] for i in range(rows)]


def weight_across(cells: list, shape: tuple, side: int):
    """ground.piece_weight of the pieces of the whole image, joined across
    chunks, from the cells' (dark, bright) Edges pair at index side; None
    when the cells hold None (no ground fallback)."""
    rows, cols = shape
    if cells[0][0, 0] is None:
        return None
    summaries = [[cells[i * cols + j][0, 0][side] for j in range(cols)] for i in range(rows)]
    root, _, _, inked = _joined(summaries)
    whole = np.zeros(len(root), np.int64)
    np.add.at(whole, root, np.concatenate([s.sizes for line in summaries for s in line]))
    roots = root == np.arange(len(root))
    return piece_weight(whole[roots], inked[roots])


def _joined(summaries) -> tuple:
    """(root per label of all chunks, each chunk's first label's offset, its
    count of labels, per label whether its whole piece reaches ink, read at
    its root): the labels of pieces that touch across chunk edges share a
    root."""
    rows, cols = len(summaries), len(summaries[0])
    sizes = np.array([[len(s.reaches) for s in line] for line in summaries])
    offsets = np.concatenate([[0], np.cumsum(sizes.ravel())])[:-1].reshape(rows, cols)
    reaches = np.concatenate([s.reaches for line in summaries for s in line])
    pairs = []

    def join(a, i, j, b, k, m):  # labels a of chunk (i, j) facing labels b of chunk (k, m)
        x, y = _touching(a, b)
        both = (x > 0) & (y > 0)
        pairs.append((offsets[i, j] + x[both], offsets[k, m] + y[both]))

    for i in range(rows):
        for j in range(cols):
            here = summaries[i][j]
            if j + 1 < cols:
                join(here.right, i, j, summaries[i][j + 1].left, i, j + 1)
            if i + 1 < rows:  # the chunk below, and the corners below left and right
                join(here.bottom, i, j, summaries[i + 1][j].top, i + 1, j)
                if j + 1 < cols:
                    join(here.bottom[-1:], i, j, summaries[i + 1][j + 1].top[:1], i + 1, j + 1)
                if j > 0:
                    join(here.bottom[:1], i, j, summaries[i + 1][j - 1].top[-1:], i + 1, j - 1)
    u = np.concatenate([p[0] for p in pairs]) if pairs else np.zeros(0, np.int64)
    v = np.concatenate([p[1] for p in pairs]) if pairs else np.zeros(0, np.int64)
    root = _roots(len(reaches), u, v)
    inked = np.zeros(len(reaches), bool)
    np.logical_or.at(inked, root, reaches)
    return root, offsets, sizes, inked


def keep_reached_block(decided: np.ndarray, reached, mirror=False, block_id=None) -> np.ndarray:
    """The chunk's final 0/255: its marks kept where their piece reaches ink;
    inverted where decided on mirrored levels (the objects 255)."""
    ink, paper = (np.uint8(255), np.uint8(0)) if mirror else (np.uint8(0), np.uint8(255))
    if reached is None or not (decided == 1).any():
        return np.where(decided == 0, ink, paper) if mirror else decided
    mine = reached[block_id[0]][block_id[1]]
    labels, _, _ = engine.mark_pieces(decided)
    return np.where(mine[labels], ink, paper)
