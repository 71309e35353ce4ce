"""What a binarize run has ended, counted, recorded and shown.

    Progress(tally, log, enabled)   .ended(index, input, line), .lost(job, written),
                                    .counts() -> the final line's words, .close()

Each input's line goes to the record (--log) and is counted in the run's
tally: done, skipped, or failed with its message kept for the lines written
at the end. The bar (tqdm, on standard error, only on a terminal) counts
files and shows the rate and the time left; beside it the pages
thresholded, the files skipped and those failed.
"""

from __future__ import annotations

import os
import sys
from pathlib import Path

__all__ = ["Progress"]


class Progress:
    def __init__(self, tally, log=None, enabled: bool = True):
        from tqdm import tqdm

        self.tally, self.log = tally, log
        self.failures: dict = {}  # input index -> (input, message)
        self.pages = 0
        self._bar = tqdm(total=tally.total, file=sys.stderr, unit="file", dynamic_ncols=True,
                         disable=None if enabled else True)

    def ended(self, index: int, source: Path, line: dict) -> None:
        """Record, count and show one input's line."""
        line["input"] = os.path.abspath(source)
        line["outputs"] = [os.path.abspath(path) for path in line["outputs"]]
        if self.log is not None:
            self.log.write(line)
        status = line["status"]
        if status == "done":
            self.tally.done += 1
        elif status == "skipped":
            self.tally.skipped += 1
        else:
            self.failures[index] = (source, line["error"])
        if line.get("analysis"):
            self.pages += sum(1 for page in line["analysis"] if "error" not in page)
        elif status == "done":  # the chunked path, one page and no analysis kept
            self.pages += line.get("pages") or 1
        self._bar.set_postfix_str(f"{self.pages} pages, {self.tally.skipped} skipped, "
                                  f"{len(self.failures)} failed", refresh=False)
        self._bar.update(1)

    def lost(self, job, written: bool) -> None:
        """A file cut off by an interrupt: done when its output appeared meanwhile."""
        self.tally.done += written

    def counts(self) -> str:
        """The final line: how the files ended."""
        return (f"{self.tally.done} of {self.tally.total} files done ({self.pages} pages), "
                f"{self.tally.skipped} skipped, {len(self.failures)} failed")

    def close(self, error) -> None:
        """Close the bar, then one ``error(text)`` per file that failed, then the record."""
        self._bar.close()
        for index in sorted(self.failures):
            source, message = self.failures[index]
            error(f"{source}: {message}")
        if self.log is not None:
            self.log.close()
