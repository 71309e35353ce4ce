"""The image each method gives Tesseract, and the options Tesseract reads it with.

    METHODS                      -> names in table order
    page_for(method, grey)       -> (uint8 page, Tesseract options)

Binarised pages hold 0 (ink) and 255 only. ``none`` and ``tess-sauvola``
pass the grey page and leave the thresholding to Tesseract (its Otsu by
default, its Sauvola with ``thresholding_method=2``); Tesseract's line
recognizer then still reads the grey levels, which no binarised page gives
it. ``sk-otsu``, scikit-image's global Otsu threshold handed over as a
binarised page, shows what that costs: it is the threshold Tesseract takes
by default itself. The peers run at their
libraries' defaults, untuned: doxapy's Sauvola and Wolf use window 75 and
k 0.2 (what ``to_binary`` does without parameters), OpenCV's Gaussian the
usual blockSize 11 and C 2. zentrel's result is used as ``binarize``
returns it, whatever ``analyse`` says of the objects' side: it puts 0
below the local threshold on either side, which is ink for dark text.
"""

from __future__ import annotations

import numpy as np

__all__ = ["METHODS", "page_for"]

METHODS = ("none", "tess-sauvola", "sk-otsu", "dx-sauvola", "dx-wolf", "cv-gauss", "zentrel")

# Peers from the quality benchmark, at their defaults, fed the image as it is.
PEER_METHODS = ("sk-otsu", "dx-sauvola", "dx-wolf", "cv-gauss")

_TESSERACT_OPTIONS = {"tess-sauvola": ("-c", "thresholding_method=2")}


def page_for(method: str, grey: np.ndarray, zentrel_page=None) -> tuple[np.ndarray, tuple[str, ...]]:
    """The page Tesseract reads for ``method``, and the options to give it;
    ``zentrel_page``, when given, is zentrel's binarization of ``grey``."""
    options = _TESSERACT_OPTIONS.get(method, ())
    if method in ("none", "tess-sauvola"):
        return grey, options
    if method == "zentrel":
        if zentrel_page is None:
            import zentrel

            zentrel_page = zentrel.binarize(grey)
        return zentrel_page, options
    if method in PEER_METHODS:
        from quality.peers import PEERS

        peer = next(p for p in PEERS if p.name == method)
        ink = peer.method(dict(peer.defaults, invert=False))(grey)
        return np.where(ink, np.uint8(0), np.uint8(255)), options
    raise ValueError(f"unknown method {method!r}; known: {', '.join(METHODS)}")
