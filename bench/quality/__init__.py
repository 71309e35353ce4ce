"""Quality benchmark: generated scenes with exact ground truth, metrics, tuned peers.

The stable interface, for judging any binariser::

    import sys; sys.path.insert(0, "bench")
    from quality import families, make_scene, score, evaluate

    image, truth, params = make_scene("documents", seed=3, shape=(512, 512))
    metrics = score(predicted_foreground, truth)     # bool masks
    means = evaluate(lambda im: my_foreground(im), "objects", seeds=range(10))

Only numpy and Pillow are needed for these; the peers load their libraries
when used.
"""

from .metrics import score
from .protocol import evaluate
from .scenes import families, make_scene

__all__ = ["evaluate", "families", "make_scene", "score"]
