"""
The module function ``AdaptiveThreshold``
=========================================

``zentrel_py.AdaptiveThreshold`` is the engine's original interface: it
writes into an ``int16`` array the caller provides, returns whether a
region passed, and prints its progress. :func:`zentrel.binarize` gives the
same result as a new array, silently.
"""

import inspect
from typing import Any

import numpy as np

import zentrel
import zentrel_py

image, objects = zentrel.uneven_scene((384, 384), seed=7)

output = np.empty(image.shape, dtype=np.int16)
ok = zentrel_py.AdaptiveThreshold(image, output, 10, 32)
print()
if ok:
    white = int((output == 255).sum())
    right = float(((output == 255) == ~objects).mean())
    print(f"{white} of {output.size} pixels came out white; {right:.2%} classified right")
else:
    print("no region passed the bimodal test; the output holds 1 everywhere")

# %%
# The same from the package, with the module's classic limits (named
# explicitly in versions whose ``binarize`` offers presets).

classic: dict[str, Any] = (
    {"preset": "classic"} if "preset" in inspect.signature(zentrel.binarize).parameters else {}
)
binary = zentrel.binarize(image, percent=10, region_size=32, **classic)
identical = bool(ok) and bool(np.array_equal(binary, output))
print("identical to AdaptiveThreshold:", identical)
assert identical, "zentrel.binarize and AdaptiveThreshold disagree"
