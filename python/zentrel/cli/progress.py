"""The binarize command's progress: a bar over the files, with pages, skips and failures.

    Progress(total, enabled)   .ended(line), .counts() -> the final line's words, .close()

The bar (tqdm, on standard error, only on a terminal) counts files and
shows the rate and the time left; beside it the pages thresholded, the files
skipped and those failed.
"""

from __future__ import annotations

import sys

__all__ = ["Progress"]


class Progress:
    def __init__(self, total: int, enabled: bool = True):
        from tqdm import tqdm

        self.total = total
        self.done = self.skipped = self.failed = self.pages = 0
        self._bar = tqdm(total=total, file=sys.stderr, unit="file", dynamic_ncols=True,
                         disable=None if enabled else True)

    def ended(self, line: dict) -> None:
        """Count one input's line of the record."""
        status = line["status"]
        if status == "done":
            self.done += 1
        elif status == "skipped":
            self.skipped += 1
        else:
            self.failed += 1
        if line.get("analysis"):
            self.pages += sum(1 for page in line["analysis"] if "error" not in page)
        elif status == "done":  # the chunked path, one page and no analysis kept
            self.pages += line.get("pages") or 1
        self._bar.set_postfix_str(self._postfix(), refresh=False)
        self._bar.update(1)

    def _postfix(self) -> str:
        return f"{self.pages} pages, {self.skipped} skipped, {self.failed} failed"

    def counts(self) -> str:
        """The final line: how the files ended."""
        return (f"{self.done} of {self.total} files done ({self.pages} pages), "
                f"{self.skipped} skipped, {self.failed} failed")

    def close(self) -> None:
        self._bar.close()
