"""Stopping a run on SIGINT or SIGTERM: at once, or, inside a step that must
not be cut in two, as soon as that step ends.

    STOP_SIGNALS
    Stopped(signum)      raised in the main thread by a stop; not an Exception
    stop(signum, frame)  the handler the command line installs
    held()               a context: a stop that comes inside it is raised as it ends

Python runs the handler in the main thread whatever thread the signal
reached (the engine's threads do not block it), so a held step needs no
signal mask: the handler notes the stop and the step raises it.
"""

from __future__ import annotations

import contextlib
import signal
from typing import Optional

__all__ = ["STOP_SIGNALS", "Stopped", "held", "stop"]

# A run stopped by one of these exits with 128 + its number: 130 for SIGINT, 143 for SIGTERM.
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)

_holding = 0
_noted: Optional[int] = None


class Stopped(BaseException):
    """Raised in the main thread by SIGINT or SIGTERM; not an Exception, so nothing swallows it."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


def stop(signum, frame) -> None:
    """The handler: raise Stopped, or note it while a step is held."""
    global _noted
    # Later signals are ignored, so the clean-up the first one starts can finish.
    for number in STOP_SIGNALS:
        signal.signal(number, signal.SIG_IGN)
    if _holding:
        _noted = signum
        return
    raise Stopped(signum)


@contextlib.contextmanager
def held():
    """Run the block whole: a stop that comes meanwhile is raised as it ends
    (and dropped if the block ends by another exception, which then stops
    the run)."""
    global _holding, _noted
    _holding += 1
    try:
        yield
    finally:
        _holding -= 1
        signum = None
        if not _holding:
            signum, _noted = _noted, None
    if signum is not None:
        raise Stopped(signum)
