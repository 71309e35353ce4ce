"""Scores of a predicted foreground mask against the exact one.

The measures of the document-binarisation contests: the foreground's
F-measure, PSNR of the binary image, DRD (distance-reciprocal distortion) and
the fraction of pixels right. All take boolean masks (True = foreground) and
are vectorised; ``Reference`` prepares one truth for scoring many predictions,
optionally only inside a mask.
"""

from __future__ import annotations

import math

import numpy as np

__all__ = ["PSNR_CAP", "DRD_BLOCK", "Reference", "drd", "drd_weights", "f_measure", "psnr", "score", "METRICS"]

METRICS = ("f_measure", "psnr", "drd", "accuracy", "precision", "recall")
# PSNR of a perfect result is infinite; it is reported as this many decibels
# so that means stay finite (one wrong pixel in 512 x 512 already gives 54 dB).
PSNR_CAP = 100.0
DRD_RADIUS = 2  # 5 x 5 neighbourhood
DRD_BLOCK = 8  # block side for counting the ground truth's non-uniform blocks


def _masks(pred, truth):
    pred = np.asarray(pred, dtype=bool)
    truth = np.asarray(truth, dtype=bool)
    if pred.shape != truth.shape or pred.ndim != 2:
        raise ValueError(f"need two 2-D masks of one shape, got {pred.shape} and {truth.shape}")
    return pred, truth


def _f_of(tp: int, n_pred: int, n_true: int) -> float:
    return 0.0 if tp == 0 else 2.0 * tp / (n_pred + n_true)


def _psnr_of(wrong: int, total: int) -> float:
    mse = wrong / total if total else 0.0
    return PSNR_CAP if mse == 0 else min(PSNR_CAP, 10.0 * math.log10(1.0 / mse))


def f_measure(pred, truth) -> float:
    """Harmonic mean of the foreground's precision and recall (0 when either is 0)."""
    pred, truth = _masks(pred, truth)
    return _f_of(np.count_nonzero(pred & truth), np.count_nonzero(pred), np.count_nonzero(truth))


def psnr(pred, truth) -> float:
    """10 log10(1 / MSE) of the two binary images (values 0 and 1), capped at PSNR_CAP."""
    pred, truth = _masks(pred, truth)
    return _psnr_of(np.count_nonzero(pred != truth), truth.size)


def drd_weights(radius: int = DRD_RADIUS) -> np.ndarray:
    """Inverse distance to the centre, 0 at the centre, normalised to sum 1."""
    d = np.arange(-radius, radius + 1, dtype=np.float64)
    dist = np.hypot(d[:, None], d[None, :])
    w = np.zeros_like(dist)
    w[dist > 0] = 1.0 / dist[dist > 0]
    return w / w.sum()


def nonuniform_blocks(truth, block: int = DRD_BLOCK) -> int:
    """Number of block x block tiles of the ground truth holding both classes (partial edge tiles count)."""
    truth = np.asarray(truth, dtype=bool)
    rows, cols = truth.shape
    br, bc = -(-rows // block), -(-cols // block)
    pad = np.zeros((br * block, bc * block), np.int32)
    valid = np.zeros_like(pad)
    pad[:rows, :cols] = truth
    valid[:rows, :cols] = 1
    ones = pad.reshape(br, block, bc, block).sum(axis=(1, 3))
    size = valid.reshape(br, block, bc, block).sum(axis=(1, 3))
    return int(np.count_nonzero((ones > 0) & (ones < size)))


def _weighted_neighbours(values: np.ndarray) -> np.ndarray:
    """Sum of the DRD weights times ``values`` over each pixel's neighbourhood; nothing from outside."""
    w, r = drd_weights(), DRD_RADIUS
    rows, cols = values.shape
    padded = np.pad(values.astype(np.float64), r, mode="constant")
    out = np.zeros((rows, cols))
    for dy in range(2 * r + 1):
        for dx in range(2 * r + 1):
            if w[dy, dx]:
                out += w[dy, dx] * padded[dy:dy + rows, dx:dx + cols]
    return out


class Reference:
    """A ground truth prepared once to score many predictions of it.

    ``inside`` (a bool mask, default everywhere) limits the scoring to its
    pixels: counts and PSNR are over them alone, and DRD charges only the
    wrong pixels inside (their neighbourhoods still read the truth around
    them, and the block count is the whole truth's).
    """

    def __init__(self, truth, inside=None):
        truth = np.asarray(truth, dtype=bool)
        if truth.ndim != 2:
            raise ValueError(f"need a 2-D mask, got shape {truth.shape}")
        self.truth = truth
        self.inside = None if inside is None else _masks(inside, truth)[0]
        counted = truth if self.inside is None else truth & self.inside
        self.n_true = int(np.count_nonzero(counted))
        self.n_pixels = truth.size if self.inside is None else int(np.count_nonzero(self.inside))
        # What a wrong pixel costs, from the truth alone: predicted foreground on
        # background, its foreground-free neighbours' weight; predicted
        # background on foreground, its foreground neighbours' weight.
        near = _weighted_neighbours(truth)
        self._cost = np.where(truth, near, _weighted_neighbours(np.ones_like(truth)) - near)
        if self.inside is not None:
            self._cost[~self.inside] = 0.0
        self._blocks = max(1, nonuniform_blocks(truth))

    def _wrong(self, pred) -> np.ndarray:
        wrong = pred != self.truth
        return wrong if self.inside is None else wrong & self.inside

    def drd(self, pred) -> float:
        """Summed neighbourhood disagreement of the wrong pixels over the non-uniform block count."""
        pred = _masks(pred, self.truth)[0]
        return float(self._cost[self._wrong(pred)].sum()) / self._blocks

    def score(self, pred) -> dict:
        """All measures (see ``score``) of one prediction."""
        pred = _masks(pred, self.truth)[0]
        counted = pred if self.inside is None else pred & self.inside
        tp = np.count_nonzero(counted & self.truth)
        n_pred = np.count_nonzero(counted)
        wrong = self._wrong(pred)
        n_wrong = np.count_nonzero(wrong)
        return {
            "f_measure": _f_of(tp, n_pred, self.n_true),
            "psnr": _psnr_of(n_wrong, self.n_pixels),
            "drd": float(self._cost[wrong].sum()) / self._blocks,
            "accuracy": 1.0 - n_wrong / self.n_pixels if self.n_pixels else 0.0,
            "precision": tp / n_pred if n_pred else 0.0,
            "recall": tp / self.n_true if self.n_true else 0.0,
        }


def drd(pred, truth) -> float:
    """Distance-reciprocal distortion: summed weighted disagreement around each wrong pixel / NUBN.

    For a wrong pixel k with predicted value g, DRD_k = sum over its 5 x 5
    neighbourhood of |truth - g| times the weight matrix; neighbours outside
    the image add nothing. The sum over all wrong pixels is divided by the
    number of non-uniform 8 x 8 blocks of the ground truth (at least 1).
    """
    pred, truth = _masks(pred, truth)
    return Reference(truth).drd(pred)


def score(pred, truth, inside=None) -> dict:
    """All measures of one result: f_measure, psnr, drd, accuracy, precision, recall.

    ``inside`` limits them to a part of the picture (see ``Reference``).
    """
    pred, truth = _masks(pred, truth)
    return Reference(truth, inside).score(pred)


def mean_scores(scores: list[dict]) -> dict:
    """Mean of each measure over several results (empty dict for none)."""
    if not scores:
        return {}
    return {k: float(np.mean([s[k] for s in scores])) for k in scores[0]}
