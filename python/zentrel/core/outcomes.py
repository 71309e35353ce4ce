"""What a region's analysis can come to, in names and words.

    STATUS_NAMES, STATUS_WORDS          record status codes (0 = "recorded")
    TEST_NAMES, TEST_WORDS              the engine's bimodality test codes
    AUTO_TEST_NAMES, AUTO_TEST_WORDS    the test codes of the automatic
                                        default's records: the engine's, then
                                        its own judgements of a fit
    NO_THRESHOLD                        the threshold of a record that gave none

The engine's names and words come from its own table; the automatic
default's judgements follow them as codes of their own.
"""

from __future__ import annotations

import numpy as np

from zentrel.core import _engine

STATUS_NAMES, STATUS_WORDS = (tuple(column) for column in zip(*_engine.outcome_table()[0]))
TEST_NAMES, TEST_WORDS = (tuple(column) for column in zip(*_engine.outcome_table()[1]))

# The default's own judgements of a fit, as test codes after the engine's.
# chi_ratio keeps the engine's code (the same quantity, judged against the
# default's own bound instead of the engine limit, which the default leaves
# open), with words of its own.
_OWN_WORDS = {
    "chi_ratio": "a fit that does not follow its histogram",
    "peak": "means closer than the narrower component's spread allows (no clear peak)",
    "separation": "components too close together for their spreads",
    "faint": "a dark class much lighter than the picture's ink (bleed-through, texture)",
    "edge": "the edge of a dark area among strokes (a margin, a surround), not an object",
    "side": ("its own classes put the objects on the other side (the edge of an object of the other kind), "
             "or on neither among strokes (the edge of a wide area)"),
}
AUTO_TEST_NAMES = TEST_NAMES + tuple(name for name in _OWN_WORDS if name not in TEST_NAMES)
AUTO_TEST_WORDS = (tuple(_OWN_WORDS.get(name, words) for name, words in zip(TEST_NAMES, TEST_WORDS))
                   + tuple(_OWN_WORDS[name] for name in AUTO_TEST_NAMES[len(TEST_NAMES):]))

# The threshold the engine records for a region that gave none, read from
# one: a one-pixel region's histogram is too flat to split.
NO_THRESHOLD = float(_engine.analyse_regions(np.zeros((1, 1), np.uint8), 1, [0], [0])["threshold"][0])
