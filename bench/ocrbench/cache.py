"""Tesseract's texts kept between runs, so only what changed is read again.

    cache = TextCache(path)                         # empty when the file is missing or unreadable
    cache.get(image, method, protocol, digest)      # the stored value, or None
    cache.put(image, method, protocol, digest, v)   # replaces what that image, method and protocol had
    cache.save()                                    # atomic rewrite

``digest`` hashes what Tesseract was given (the page's bytes and shape, its
options, its version, the crop margin), so a method whose output changed
misses the cache, and keeping one digest per image, method and protocol
keeps the file from growing with every build.
"""

from __future__ import annotations

import hashlib
import json
from pathlib import Path

import numpy as np
from zentrel.io import write_atomic

__all__ = ["TextCache", "digest"]

_FORMAT = 1


def digest(page, *parts) -> str:
    """Hex SHA-256 of a uint8 page (its shape and bytes) and the strings of ``parts``."""
    h = hashlib.sha256()
    h.update(repr((page.shape, str(page.dtype), *map(str, parts))).encode())
    h.update(np.ascontiguousarray(page))
    return h.hexdigest()


class TextCache:
    def __init__(self, path):
        self.path = Path(path)
        self.entries = {}
        try:
            data = json.loads(self.path.read_text())
            if data.get("format") == _FORMAT:
                self.entries = data["entries"]
        except (OSError, ValueError, KeyError, AttributeError):
            pass  # no cache yet, or one this version cannot read: start afresh

    @staticmethod
    def _key(image, method, protocol) -> str:
        return f"{image}|{method}|{protocol}"

    def get(self, image, method, protocol, page_digest):
        entry = self.entries.get(self._key(image, method, protocol))
        return entry["value"] if entry and entry["digest"] == page_digest else None

    def put(self, image, method, protocol, page_digest, value) -> None:
        self.entries[self._key(image, method, protocol)] = {"digest": page_digest, "value": value}

    def save(self) -> None:
        self.path.parent.mkdir(parents=True, exist_ok=True)
        text = json.dumps({"format": _FORMAT, "entries": self.entries}).encode()
        write_atomic(self.path, lambda file: file.write(text), overwrite=True)
