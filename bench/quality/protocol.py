"""Scoring a method over a family's scenes."""

from __future__ import annotations

import time
import traceback

import numpy as np

from .metrics import Reference, mean_scores
from .scenes import make_scene

__all__ = ["evaluate", "run_method"]


def run_method(method, image: np.ndarray):
    """Call ``method(image)`` and return (bool mask, error text or None, seconds).

    A call that raises, or returns something other than a mask of the image's
    shape, is a failure; it is scored as all background.
    """
    start = time.perf_counter()
    try:
        mask = np.asarray(method(image))
        if mask.shape != image.shape:
            raise ValueError(f"returned shape {mask.shape}, image {image.shape}")
        if mask.dtype != bool:
            raise TypeError(f"returned {mask.dtype}; a bool mask is required")
        error = None
    except Exception as exc:  # any failure counts against the method, none stops the run
        mask = np.zeros(image.shape, bool)
        error = "".join(traceback.format_exception_only(type(exc), exc)).strip()
    return mask, error, time.perf_counter() - start


def evaluate(method, family: str, seeds, shape=(512, 512), scenes=None, references=None) -> dict:
    """Mean scores of ``method`` (image -> bool foreground mask) on a family's scenes.

    Returns the mean of every measure in ``metrics.score``, plus ``failures``
    (calls that raised), ``errors`` (their first distinct messages),
    ``seconds_per_image`` and ``scenes``. ``scenes`` may pass the already
    made (image, truth, params) triples for these seeds, and ``references``
    their truths' ``metrics.Reference`` (made once for many methods).
    """
    seeds = list(seeds)
    if scenes is None:
        scenes = [make_scene(family, s, shape) for s in seeds]
    if references is None:
        references = [Reference(truth) for _, truth, _ in scenes]
    results, errors, seconds = [], [], 0.0
    for (image, _, _), reference in zip(scenes, references):
        mask, error, dt = run_method(method, image)
        seconds += dt
        if error is not None:
            errors.append(error)
        results.append(reference.score(mask))
    out = mean_scores(results)
    out.update(
        failures=len(errors),
        errors=sorted(set(errors))[:3],
        seconds_per_image=seconds / max(1, len(scenes)),
        scenes=len(scenes),
    )
    return out
