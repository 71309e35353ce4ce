"""Scores of OCR output against ground-truth boxes; pure Python, no Tesseract.

    normalise("Total 12.00")            -> "total12.00"
    eligible("--")                      -> False   (no letter or digit)
    page_misses(page_text, box_texts)   -> [bool, ...]  (True: not found on the page)
    levenshtein("abc", "abd")           -> 1
    box_errors(ocr_text, truth)         -> (edits, truth characters)
    sample(n, k)                        -> k indices spread over range(n)

Both protocols compare normalised text: NFKC, case folded, all whitespace
removed (one set's transcripts have no spaces, and Tesseract's spacing is
not what is judged).
"""

from __future__ import annotations

import unicodedata

__all__ = ["normalise", "eligible", "page_lines", "page_misses", "levenshtein", "box_errors", "sample"]


def normalise(text: str) -> str:
    """NFKC (so ligatures such as 'ﬁ' compare as 'fi'), case folded, without whitespace."""
    return "".join(unicodedata.normalize("NFKC", text).casefold().split())


def eligible(text: str) -> bool:
    """A box is scored when its normalised text holds a letter or digit."""
    return any(ch.isalnum() for ch in normalise(text))


def page_lines(page_text: str) -> str:
    """The page's lines, each normalised, joined by newlines.

    Normalised box text holds no newline, so a box is never found across two
    lines of the page: a line break is as far apart as Tesseract can say.
    """
    return "\n".join(normalise(line) for line in page_text.splitlines())


def page_misses(page_text: str, box_texts) -> list[bool]:
    """For each box text, True when it is not a substring of any normalised page line."""
    lines = page_lines(page_text)
    return [normalise(text) not in lines for text in box_texts]


def levenshtein(a: str, b: str) -> int:
    """Edit distance: insertions, deletions and substitutions each cost 1."""
    if len(a) < len(b):
        a, b = b, a
    previous = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        current = [i]
        for j, cb in enumerate(b, 1):
            current.append(min(previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (ca != cb)))
        previous = current
    return previous[-1]


def sample(n: int, k: int | None) -> list[int]:
    """``k`` of the indices 0..n-1, evenly spread (all of them when k is None or >= n)."""
    if k is None or k >= n:
        return list(range(n))
    return [int((i + 0.5) * n / k) for i in range(k)]


def box_errors(ocr_text: str, truth: str) -> tuple[int, int]:
    """(edit distance, ground-truth characters) of one box, both normalised.

    The character error rate of many boxes is the sum of the first over the
    sum of the second, so long boxes weigh by their length.
    """
    truth = normalise(truth)
    return levenshtein(normalise(ocr_text), truth), len(truth)
