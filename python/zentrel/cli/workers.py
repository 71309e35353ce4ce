"""Worker processes the command line can stop at once.

Each worker handles one task at a time, so the parent always knows which
task every worker holds. Workers ignore SIGINT (a Ctrl-C reaches the whole
process group): the parent alone decides to stop, and then terminates them.
"""

from __future__ import annotations

import contextlib
import multiprocessing
import signal
import sys
from dataclasses import dataclass
from multiprocessing.connection import wait

__all__ = ["Lost", "Workers"]

# How long a terminated worker gets to exit before it is killed.
_TERMINATE_SECONDS = 1.0


@dataclass(frozen=True)
class Lost:
    """The outcome of a task whose worker died (exit code, negative for a signal)."""

    exitcode: int

    def __str__(self) -> str:
        if self.exitcode < 0:
            try:
                name = signal.Signals(-self.exitcode).name
            except ValueError:
                name = f"signal {-self.exitcode}"
            return f"the worker process was killed by {name}"
        return f"the worker process exited with status {self.exitcode}"


# Blocked while workers start: a Ctrl-C must not reach a worker before it ignores
# SIGINT (it would print a traceback), nor stop the parent with a worker half started.
_HELD = {signal.SIGINT, signal.SIGTERM}


def _serve(connection, function) -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, _HELD)
    while True:
        try:
            task = connection.recv()
        except EOFError:
            return
        if task is None:
            return
        connection.send(function(task))


class Workers:
    """``count`` processes that run ``function(task)``; a context manager.

    Leaving the ``with`` block normally lets idle workers exit; leaving it by
    an exception (an interrupt) terminates them, whatever they are doing.
    """

    def __init__(self, count: int, function):
        # Spawned workers start clean: no copy of the parent's threads or locks.
        self._context = multiprocessing.get_context("spawn")
        self._function = function
        self._count = count
        self._workers = []  # [process, connection, task or None]

    def __enter__(self) -> "Workers":
        try:
            for _ in range(self._count):
                self._start()
        except BaseException:
            self.__exit__(*sys.exc_info())
            raise
        return self

    def _start(self) -> None:
        parent_end, child_end = self._context.Pipe()
        process = self._context.Process(target=_serve, args=(child_end, self._function), daemon=True)
        held = signal.pthread_sigmask(signal.SIG_BLOCK, _HELD)
        try:
            process.start()
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, held)
        child_end.close()
        self._workers.append([process, parent_end, None])

    def run(self, tasks):
        """Yield (task, outcome) as tasks finish; the outcome is a Lost when the worker died."""
        pending = list(reversed(tasks))
        while pending or any(worker[2] is not None for worker in self._workers):
            for worker in list(self._workers):
                if worker[2] is None and pending:
                    worker[2] = pending.pop()
                    try:
                        worker[1].send(worker[2])
                    except OSError:  # the worker died while idle: its pipe is broken
                        pass  # its sentinel reports it below
            busy = [w for w in self._workers if w[2] is not None]
            ready = set(wait([w[1] for w in busy] + [w[0].sentinel for w in busy]))
            for worker in busy:
                process, connection, task = worker
                if connection in ready:
                    try:
                        outcome = connection.recv()
                    except (EOFError, OSError):
                        process.join()
                        outcome = Lost(process.exitcode)
                elif process.sentinel in ready:
                    process.join()
                    outcome = Lost(process.exitcode)
                else:
                    continue
                worker[2] = None
                if isinstance(outcome, Lost):
                    self._replace(worker)
                yield task, outcome

    def _replace(self, worker) -> None:
        worker[1].close()
        self._workers.remove(worker)
        self._start()

    def __exit__(self, kind, value, traceback) -> None:
        if kind is None:
            for _, connection, _ in self._workers:
                with contextlib.suppress(OSError):
                    connection.send(None)
        else:
            for process, _, _ in self._workers:
                process.terminate()
        for process, connection, _ in self._workers:
            process.join(_TERMINATE_SECONDS)
            if process.is_alive():
                process.kill()
                process.join()
            connection.close()
