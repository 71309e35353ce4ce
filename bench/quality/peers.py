"""The methods compared: zentrel as shipped, and peers with parameter grids.

Every method maps a uint8 image to a bool foreground mask. The peers were
made for dark ink on bright paper; each has an ``invert`` parameter that
feeds them the negative image instead, so bright objects can be found too.
That choice is tuned like any other parameter.
"""

from __future__ import annotations

import inspect
import itertools
from dataclasses import dataclass, field

import numpy as np

__all__ = ["Peer", "PEERS", "PIP_PACKAGES", "LIBRARY_MODULES", "zentrel_default", "zentrel_classic", "zentrel_run",
           "classic_keywords"]

# Import name -> pip package, installed on demand by run.py.
PIP_PACKAGES = {"cv2": "opencv-python-headless", "skimage": "scikit-image", "doxapy": "doxapy", "PIL": "Pillow"}
# Peer.library -> import name.
LIBRARY_MODULES = {"opencv": "cv2", "scikit-image": "skimage", "doxapy": "doxapy"}

WINDOWS = (7, 15, 31, 63, 127, 255)  # from stroke width to past the largest objects (~150 px)
INVERT = (False, True)


@dataclass(frozen=True)
class Peer:
    """A peer method: ``run(image, **params)`` -> bool mask of dark objects, its grid and defaults.

    ``defaults`` are the parameters a user of the library gets without
    choosing any: its documented defaults, or {} where the library fills
    them in itself (doxapy).
    """

    name: str
    library: str
    run: callable
    grid: dict = field(default_factory=dict)
    defaults: dict = field(default_factory=dict)

    def combinations(self) -> list[dict]:
        """Every parameter combination of the grid, ``invert`` included."""
        grid = dict(self.grid, invert=INVERT)
        return [dict(zip(grid, combo)) for combo in itertools.product(*grid.values())]

    def method(self, params: dict):
        """The image -> foreground callable for one combination."""
        params = dict(params)
        invert = params.pop("invert")

        def call(image):
            return self.run(255 - image if invert else image, **params)

        return call


# ------------------------------------------------------------------ OpenCV

def _cv(kind):
    def run(image, block, C):
        import cv2

        mode = cv2.ADAPTIVE_THRESH_MEAN_C if kind == "mean" else cv2.ADAPTIVE_THRESH_GAUSSIAN_C
        out = cv2.adaptiveThreshold(image, 255, mode, cv2.THRESH_BINARY, block, C)
        return out == 0  # at or below the local mean minus C

    return run


# ------------------------------------------------------------------ scikit-image

def _sk_otsu(image):
    from skimage.filters import threshold_otsu

    return image <= threshold_otsu(image)


def _sk_sauvola(image, window, k):
    from skimage.filters import threshold_sauvola

    return image <= threshold_sauvola(image, window_size=window, k=k)


def _sk_niblack(image, window, k):
    from skimage.filters import threshold_niblack

    return image <= threshold_niblack(image, window_size=window, k=k)


# ------------------------------------------------------------------ doxapy

def _doxa(algorithm):
    def run(image, **params):
        import doxapy

        out = np.empty_like(image)
        binarizer = doxapy.Binarization(getattr(doxapy.Binarization.Algorithms, algorithm))
        binarizer.initialize(np.ascontiguousarray(image))
        binarizer.to_binary(out, params)
        return out == 0  # doxapy writes ink as 0

    return run


def _doxa_su(image, window=None):
    return _doxa("SU")(image) if window is None else _doxa("SU")(image, window=window, minN=window)


# Defaults: OpenCV's documentation shows blockSize 11 and C 2; scikit-image's
# Sauvola and Niblack default to window 15 and k 0.2; doxapy fills in its own
# (window 75, k 0.2, NICK's k -0.2, Su's window 9, as its results show).
_CV_DEFAULTS = {"block": 11, "C": 2}
_SK_DEFAULTS = {"window": 15, "k": 0.2}

PEERS = (
    Peer("sk-otsu", "scikit-image", _sk_otsu),
    Peer("cv-mean", "opencv", _cv("mean"), {"block": WINDOWS, "C": (0, 4, 10, 20, 35)}, _CV_DEFAULTS),
    Peer("cv-gauss", "opencv", _cv("gauss"), {"block": WINDOWS, "C": (0, 4, 10, 20, 35)}, _CV_DEFAULTS),
    Peer("sk-sauvola", "scikit-image", _sk_sauvola, {"window": WINDOWS, "k": (0.0, 0.05, 0.1, 0.2, 0.35, 0.5)},
         _SK_DEFAULTS),
    Peer("sk-niblack", "scikit-image", _sk_niblack, {"window": WINDOWS, "k": (-0.2, 0.0, 0.2, 0.5, 1.0, 1.5)},
         _SK_DEFAULTS),
    Peer("dx-sauvola", "doxapy", _doxa("SAUVOLA"), {"window": WINDOWS, "k": (0.0, 0.05, 0.1, 0.2, 0.35, 0.5)}),
    Peer("dx-wolf", "doxapy", _doxa("WOLF"), {"window": WINDOWS, "k": (0.05, 0.1, 0.3, 0.5)}),
    Peer("dx-su", "doxapy", _doxa_su, {"window": (3, 5, 9, 15, 31, 63)}),
    Peer("dx-nick", "doxapy", _doxa("NICK"), {"window": WINDOWS, "k": (-0.3, -0.2, -0.1, 0.0)}),
    Peer("dx-gatos", "doxapy", _doxa("GATOS"), {"window": (31, 63, 127), "k": (0.2, 0.5)}),
    Peer("dx-bataineh", "doxapy", _doxa("BATAINEH")),
    Peer("dx-wan", "doxapy", _doxa("WAN"), {"window": WINDOWS, "k": (0.05, 0.1, 0.2, 0.4)}),
)



# ------------------------------------------------------------------ zentrel

def classic_keywords() -> dict:
    """Keywords that select the classic behaviour, where ``binarize`` knows a preset."""
    import zentrel

    return {"preset": "classic"} if "preset" in inspect.signature(zentrel.binarize).parameters else {}


def zentrel_run(image) -> tuple:
    """(``zentrel.binarize`` with its defaults, the objects' side it found), from one analysis."""
    from zentrel.api import run
    from zentrel.core import Settings

    done = run(image, Settings.from_kwargs("binarize"), {"binary", "analysis"})
    return done.binary, done.analysis.objects


def zentrel_default(image, white_objects=None):
    """``zentrel.binarize`` with its defaults; foreground is the side it found for the objects.

    ``white_objects`` (True/False) reads the result on that side instead.
    """
    result, objects = zentrel_run(image)
    if white_objects is None:
        white_objects = objects == "bright"
    return result == 255 if white_objects else result == 0


def zentrel_classic(image, white_objects: bool = False):
    """The classic engine: dark objects (0) unless ``white_objects``."""
    import zentrel

    result = zentrel.binarize(image, **classic_keywords())
    return result == 255 if white_objects else result == 0
