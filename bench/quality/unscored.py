#!/usr/bin/env python3
"""Pictures without ground truth, looked at: the default beside a few peers at their defaults, one montage.

    python3 bench/quality/unscored.py /work/shared/realdata/unscored/papyri
    python3 bench/quality/unscored.py FOLDER --out bench/results/papyri.png --peers sk-otsu dx-wolf

Every image file of FOLDER (read as the command line reads it) is one row: the input, zentrel's
default (the side it found, foreground black, its fallback and side named under the row's label)
and each peer at its defaults on the dark side, as zentrel found nothing else to tell them. Nothing
is scored: it is for looking.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

from quality.montage import montage  # noqa: E402
from quality.peers import PEERS, zentrel_run  # noqa: E402
from quality.protocol import run_method  # noqa: E402

SUFFIXES = {".png", ".jpg", ".jpeg", ".tif", ".tiff", ".bmp"}


def rows_of(folder: Path, peers) -> list:
    import zentrel
    from zentrel.io import read_grey

    rows = []
    for path in sorted(p for p in folder.iterdir() if p.suffix.lower() in SUFFIXES):
        image = read_grey(path)
        result, objects = zentrel_run(image)
        auto = zentrel.analyse(image).auto
        label = f"{path.stem}\n{objects}, {auto.fallback or 'surface'}"
        masks = [result == 255 if objects == "bright" else result == 0]
        for peer in peers:
            mask, error, _ = run_method(peer.method(dict(peer.defaults, invert=objects == "bright")), image)
            masks.append(None if error else mask)
        rows.append((label, image, masks))
        dark = float(np.mean(masks[0]))
        print(f"{path.name}: {image.shape[1]}x{image.shape[0]}, objects {objects}, "
              f"{auto.fallback or 'surface'}, {auto.passed_count} of {auto.selected_count} regions passed, "
              f"{dark:.1%} marked")
    return rows


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("folder", type=Path)
    p.add_argument("--out", type=Path, default=HERE.parent / "results" / "unscored.png")
    p.add_argument("--peers", nargs="+", default=["sk-otsu", "dx-wolf", "dx-sauvola"])
    p.add_argument("--tile", type=int, default=300)
    args = p.parse_args(argv)
    peers = [peer for peer in PEERS if peer.name in args.peers]
    rows = rows_of(args.folder, peers)
    args.out.parent.mkdir(parents=True, exist_ok=True)
    montage(rows, ["zentrel"] + [f"{peer.name} (def)" for peer in peers], args.out, tile=args.tile)
    print(f"montage: {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
