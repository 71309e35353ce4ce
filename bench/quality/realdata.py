"""Real pictures with hand-made ground truth, listed in a manifest: loading and scoring.

    from quality.realdata import load_manifest, load_picture, load_truth

    entries = load_manifest("/path/to/manifest.json")   # dicts; paths made absolute
    picture = load_picture(entries[0])
    picture.image          # zentrel's input: grey as the command line reads it (wide values kept)
    picture.peer_image     # uint8 for the peers (wider input: min..max onto 0..255)
    picture.bright         # the objects are bright in the image
    picture.reference.score(mask)   # every measure, inside the field of view where one is given
    load_truth(entries[0])          # the ground truth alone: a bool mask of the objects
    in_half(entries, "tune")        # the entries of the sets numbers are chosen on ("check": the others)

A manifest entry names its ``set``, ``image`` and ``gt`` (relative to the
manifest's folder), ``gt_foreground`` (black or white) and ``image_objects``
(dark or bright). A ``NAME_fovmask.png`` beside ``NAME_gt.png`` limits the
scoring to its white pixels.
"""

from __future__ import annotations

import hashlib
import json
from dataclasses import dataclass
from pathlib import Path

import numpy as np
from zentrel.io import read_grey, rescale_to_8bit

from .metrics import Reference

__all__ = ["HALVES", "Picture", "entry_digest", "fovmask_path", "in_half", "load_manifest", "load_picture",
           "load_truth"]

# The shared sets cut in two by whole sets, fixed once: tuned numbers are chosen on "tune" and
# reported on "check" too, a change that holds on "tune" alone is not kept. Each half has pages
# with bleed-through and faint ink, a clean page set, nuclei, and thin dark lines on a texture.
HALVES = {
    "tune": ("dibco2009", "dibco2011", "bickley_diary", "mstex2015", "mcs2019", "nuclei_dsb_gnf", "ctc_gowt1",
             "crackforest_cfd"),
    "check": ("hdibco2010", "hdibco2012", "phibd", "dibco2017", "nih3t3_murphy", "isbi2012_em_membrane",
              "drive_retina"),
}


@dataclass
class Picture:
    name: str
    set: str
    image: np.ndarray
    peer_image: np.ndarray
    reference: Reference
    bright: bool


def load_manifest(path) -> list[dict]:
    """The manifest's entries, with ``image``, ``gt`` and ``fovmask`` (or None) as absolute paths
    and ``name``, the image's path as listed, to tell entries apart."""
    path = Path(path)
    root = path.resolve().parent
    entries = []
    for entry in json.loads(path.read_text()):
        gt = root / entry["gt"]
        fov = fovmask_path(gt)
        entries.append(dict(entry, name=entry["image"], image=str(root / entry["image"]), gt=str(gt),
                            fovmask=str(fov) if fov.exists() else None))
    return entries


def fovmask_path(gt) -> Path:
    """Where the field-of-view mask of a ground truth ``NAME_gt.png`` would be: ``NAME_fovmask.png``."""
    gt = Path(gt)
    stem = gt.stem[:-3] if gt.stem.endswith("_gt") else gt.stem
    return gt.with_name(f"{stem}_fovmask.png")


def in_half(entries: list[dict], half: str | None) -> list[dict]:
    """The entries of the sets in HALVES[half] (every entry for None); a set in neither half is in neither."""
    if half is None:
        return list(entries)
    if half not in HALVES:
        raise ValueError(f"half: {half!r}; expected one of {sorted(HALVES)}")
    return [e for e in entries if e["set"] in HALVES[half]]


def entry_digest(entry: dict) -> str:
    """Hash of the bytes of the entry's image, ground truth and field-of-view mask."""
    digest = hashlib.sha256()
    for key in ("image", "gt", "fovmask"):
        if entry.get(key):
            digest.update(Path(entry[key]).read_bytes())
    return digest.hexdigest()[:20]


def load_truth(entry: dict) -> np.ndarray:
    """An entry's ground truth as a bool mask of its objects."""
    gt = read_grey(entry["gt"])
    return gt < 128 if entry["gt_foreground"] == "black" else gt >= 128


def load_picture(entry: dict) -> Picture:
    """Read an entry's picture (colour to BT.601 luma, alpha dropped) and its ground truth."""
    image = read_grey(entry["image"], keep_wide=True)
    peer_image = image if image.dtype == np.uint8 else rescale_to_8bit(image)
    truth = load_truth(entry)
    if truth.shape != image.shape:
        raise ValueError(f"{entry['name']}: ground truth {truth.shape} and image {image.shape} differ in size")
    inside = read_grey(entry["fovmask"]) >= 128 if entry.get("fovmask") else None
    return Picture(entry["name"], entry["set"], image, peer_image, Reference(truth, inside),
                   entry["image_objects"] == "bright")
