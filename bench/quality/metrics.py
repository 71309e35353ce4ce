"""Scores of a predicted foreground mask against the exact one.

The measures of the document-binarisation contests: the foreground's
F-measure, PSNR of the binary image, DRD (distance-reciprocal distortion) and
the fraction of pixels right. All take boolean masks (True = foreground) and
are vectorised.
"""

from __future__ import annotations

import math

import numpy as np

__all__ = ["PSNR_CAP", "DRD_BLOCK", "drd", "drd_weights", "f_measure", "psnr", "score", "METRICS"]

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


def f_measure(pred, truth) -> float:
    """Harmonic mean of the foreground's precision and recall (0 when either is 0)."""
    pred, truth = _masks(pred, truth)
    tp = np.count_nonzero(pred & truth)
    if tp == 0:
        return 0.0
    return 2.0 * tp / (np.count_nonzero(pred) + np.count_nonzero(truth))


def psnr(pred, truth) -> float:
    """10 log10(1 / MSE) of the two binary images (values 0 and 1), capped at PSNR_CAP."""
    pred, truth = _masks(pred, truth)
    mse = np.count_nonzero(pred != truth) / truth.size
    return PSNR_CAP if mse == 0 else min(PSNR_CAP, 10.0 * math.log10(1.0 / mse))


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


def drd(pred, truth) -> float:
    """Distance-reciprocal distortion: summed weighted disagreement around each wrong pixel / NUBN.

    For a wrong pixel k with predicted value g, DRD_k = sum over its 5 x 5
    neighbourhood of |truth - g| times the weight matrix; neighbours outside
    the image add nothing. The sum over all wrong pixels is divided by the
    number of non-uniform 8 x 8 blocks of the ground truth (at least 1).
    """
    pred, truth = _masks(pred, truth)
    wrong = pred != truth
    if not wrong.any():
        return 0.0
    w = drd_weights()
    r = DRD_RADIUS
    rows, cols = truth.shape
    t = np.pad(truth, r, mode="constant")
    inside = np.pad(np.ones_like(truth), r, mode="constant")
    total = 0.0
    ys, xs = np.nonzero(wrong)
    g = pred[ys, xs]
    for dy in range(-r, r + 1):
        for dx in range(-r, r + 1):
            if dy == 0 and dx == 0:
                continue
            ny, nx = ys + r + dy, xs + r + dx
            differs = (t[ny, nx] != g) & inside[ny, nx]
            total += w[dy + r, dx + r] * np.count_nonzero(differs)
    return total / max(1, nonuniform_blocks(truth))


def score(pred, truth) -> dict:
    """All measures of one result: f_measure, psnr, drd, accuracy, precision, recall."""
    pred, truth = _masks(pred, truth)
    tp = np.count_nonzero(pred & truth)
    n_pred, n_true = np.count_nonzero(pred), np.count_nonzero(truth)
    wrong = np.count_nonzero(pred != truth)
    return {
        "f_measure": f_measure(pred, truth),
        "psnr": psnr(pred, truth),
        "drd": drd(pred, truth),
        "accuracy": 1.0 - wrong / truth.size,
        "precision": tp / n_pred if n_pred else 0.0,
        "recall": tp / n_true if n_true else 0.0,
    }


def mean_scores(scores: list[dict]) -> dict:
    """Mean of each measure over several results (empty dict for none)."""
    if not scores:
        return {}
    return {k: float(np.mean([s[k] for s in scores])) for k in scores[0]}
