"""The chunked path on Dask against the in-memory one, on large generated images.

    python3 -m pip install ".[dask]"
    python3 bench/dask_bench.py                       # 32768² (1 GiB) and 65536² (4 GiB)
    python3 bench/dask_bench.py --sizes 8192 --skip-limited   # a quick look

For each size an unevenly lit scene (dark discs on a grid under a smooth
light falloff, with noise) is generated chunk by chunk into a Zarr store in
--workdir (kept for later runs). Then, with percent 10 and region size 32:

- in memory: the Zarr read into one numpy array, ``zentrel.binarize`` (the
  automatic default, or --preset classic) on
  all cores (timed alone and with the read and a Zarr write);
- chunked: ``zentrel.dask.binarize`` on the Zarr, result written to Zarr, on
  a LocalCluster of 1 and of 2 single-thread worker processes;
- the peak resident memory of each worker (sampled every 0.2 s) against
  the bound  idle worker + 6 x chunk bytes + G x region-grid bytes, where
  region-grid bytes are 4 per region and G counts the grids the gathering
  steps hold: 8 for the classic analysis, 16 for the automatic default's
  grid logic (see GRIDS_HELD);
- the equality of the chunked result with the in-memory one (when the
  in-memory run fits; otherwise of the region analysis only);
- for the largest size, the 2-worker run again with each worker's memory
  limited to --limited-memory (default 2 GiB).
"""

from __future__ import annotations

import argparse
import json
import shutil
import threading
import time
from pathlib import Path

import numpy as np

MiB = 1 << 20
# Float32-sized region grids a gathering step holds at its peak: the
# classic selection and fill (variances, their ranking, the known and the
# filled grid); the automatic default's grid logic (its float64 planes, the
# medians, masks and the front's sums, about 64 bytes per region).
GRIDS_HELD = {"classic": 8, "auto": 16}


def scene_block(block_info=None):
    """One chunk of the scene, a function of the pixel positions alone."""
    (r0, r1), (c0, c1) = block_info[None]["array-location"]
    rows, cols = block_info[None]["shape"]
    y = np.arange(r0, r1, dtype=np.float32)[:, None]
    x = np.arange(c0, c1, dtype=np.float32)[None, :]
    # Light between 150 and 225, objects 65 levels darker: both classes stay
    # inside the classic analysis's default windows, so both presets find
    # thresholds everywhere and neither run is dominated by filling an empty grid.
    light = 150.0 + 75.0 * (0.5 + 0.5 * np.cos(np.pi * x / cols)) * (0.6 + 0.4 * np.sin(np.pi * y / rows))
    pitch = 96.0
    cy, cx = np.floor(y / pitch), np.floor(x / pitch)
    radius = 12.0 + 20.0 * ((cy * 7 + cx * 13) % 5) / 4.0
    inside = (y - (cy + 0.5) * pitch) ** 2 + (x - (cx + 0.5) * pitch) ** 2 < radius ** 2
    rng = np.random.default_rng([r0, c0])
    values = np.where(inside, light - 65.0, light) + rng.normal(0.0, 5.0, (r1 - r0, c1 - c0)).astype(np.float32)
    return np.clip(values, 0, 255).astype(np.uint8)


def _recipe(chunk: int) -> str:
    """What a stored scene was made from: the scene code and the chunk size.
    A store made by other code is made again rather than silently reused."""
    import hashlib
    import inspect

    return hashlib.sha256(f"{inspect.getsource(scene_block)}|{chunk}".encode()).hexdigest()[:16]


def generate(path: Path, side: int, chunk: int, client) -> None:
    import dask.array as da
    import zarr

    recipe = _recipe(chunk)
    if (path / "zarr.json").exists():
        if zarr.open(str(path), mode="r").attrs.get("zentrel_bench_recipe") == recipe:
            return
    shutil.rmtree(path, ignore_errors=True)
    started = time.perf_counter()
    chunks = ((chunk,) * (side // chunk), (chunk,) * (side // chunk))
    image = da.map_blocks(scene_block, chunks=chunks, dtype=np.uint8, meta=np.empty((0, 0), np.uint8))
    da.to_zarr(image, str(path))
    zarr.open(str(path), mode="r+").attrs["zentrel_bench_recipe"] = recipe
    print(f"generated {path} ({side}², {time.perf_counter() - started:.0f} s)", flush=True)


class PeakMemory:
    """Samples each worker's resident memory while running."""

    def __init__(self, client, every=0.2):
        self.client, self.every, self.peak = client, every, {}
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    @staticmethod
    def _rss():
        import psutil

        return psutil.Process().memory_info().rss

    def _run(self):
        while not self._stop.is_set():
            try:
                for worker, rss in self.client.run(self._rss).items():
                    self.peak[worker] = max(self.peak.get(worker, 0), rss)
            except Exception:
                pass
            self._stop.wait(self.every)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


def chunked_run(source: Path, target: Path, workers: int, memory_limit, chunk: int, preset: str):
    import distributed

    import zentrel.dask as zd
    from zentrel.dask import io

    shutil.rmtree(target, ignore_errors=True)
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  memory_limit=memory_limit, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        client.run(lambda: __import__("zentrel.dask._pipeline"))  # imports out of the timing
        idle = max(client.run(PeakMemory._rss).values())
        started = time.perf_counter()
        with PeakMemory(client) as memory:
            io.write(zd.binarize(io.open_image(source, chunks=chunk), preset=preset), target)
        seconds = time.perf_counter() - started
        return seconds, idle, max(memory.peak.values())


def in_memory_run(source: Path, target: Path, preset: str):
    import dask.array as da
    import zarr

    import zentrel

    shutil.rmtree(target, ignore_errors=True)
    started = time.perf_counter()
    image = zarr.open(str(source), mode="r")[:]
    read = time.perf_counter() - started
    started = time.perf_counter()
    binary = zentrel.binarize(image, preset=preset)
    alone = time.perf_counter() - started
    del image
    started = time.perf_counter()
    da.to_zarr(da.from_array(binary, chunks=4096), str(target))
    written = time.perf_counter() - started
    return alone, read + alone + written, binary


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[32768, 65536])
    parser.add_argument("--chunk", type=int, default=4096)
    parser.add_argument("--workdir", type=Path, default=Path("/tmp/zentrel-dask-bench"))
    parser.add_argument("--in-memory-max", type=int, default=32768,
                        help="largest side run in memory too (default 32768)")
    parser.add_argument("--limited-memory", default="2GiB")
    parser.add_argument("--skip-limited", action="store_true")
    parser.add_argument("--preset", choices=("auto", "classic"), default="auto")
    parser.add_argument("--json", type=Path, default=None)
    args = parser.parse_args(argv)

    import distributed
    import zarr

    args.workdir.mkdir(parents=True, exist_ok=True)
    rows = []
    chunk_bytes = args.chunk * args.chunk
    for side in args.sizes:
        source = args.workdir / f"scene-{side}.zarr"
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as c, \
                distributed.Client(c) as client:
            generate(source, side, args.chunk, client)
        grid_bytes = 4 * (2 * side // 32 - 1) ** 2
        row = {"side": side, "chunk": args.chunk, "grid_MiB": grid_bytes / MiB, "preset": args.preset}
        want = None
        if side <= args.in_memory_max:
            alone, whole, want = in_memory_run(source, args.workdir / "in-memory-out.zarr",
                                              args.preset)
            row.update(in_memory_s=alone, in_memory_with_io_s=whole)
            print(f"{side}² in memory: binarize {alone:.1f} s, with read and write {whole:.1f} s", flush=True)
        runs = [(1, None), (2, None)]
        if side == max(args.sizes) and not args.skip_limited:
            runs.append((2, args.limited_memory))
        for workers, limit in runs:
            target = args.workdir / "chunked-out.zarr"
            seconds, idle, peak = chunked_run(source, target, workers, limit or "auto", args.chunk,
                                              args.preset)
            bound = idle + 6 * chunk_bytes + GRIDS_HELD[args.preset] * grid_bytes
            key = f"{workers}w" + ("_limited" if limit else "")
            same = None
            if want is not None:
                same = bool(np.array_equal(zarr.open(str(target), mode="r")[:], want))
            row[key] = {"seconds": seconds, "idle_MiB": idle / MiB, "peak_MiB": peak / MiB,
                        "bound_MiB": bound / MiB, "equal": same, "memory_limit": limit}
            print(f"{side}² chunked, {workers} worker(s){' limited to ' + limit if limit else ''}: "
                  f"{seconds:.1f} s, peak {peak / MiB:.0f} MiB per worker (idle {idle / MiB:.0f}, "
                  f"bound {bound / MiB:.0f}), equal to in-memory: {same}", flush=True)
        rows.append(row)
        del want

    print("\n| image | in memory | in memory + IO | 1 worker | 2 workers | 1w/2w | 2w / in memory + IO "
          "| peak MiB per worker (bound) | equal |")
    print("|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        one, two = r["1w"], r["2w"]
        mem = r.get("in_memory_with_io_s")
        print(f"| {r['side']}² | {r.get('in_memory_s', float('nan')):.1f} s | {mem or float('nan'):.1f} s "
              f"| {one['seconds']:.1f} s | {two['seconds']:.1f} s | {one['seconds'] / two['seconds']:.2f} "
              f"| {two['seconds'] / mem if mem else float('nan'):.2f} "
              f"| {max(one['peak_MiB'], two['peak_MiB']):.0f} ({two['bound_MiB']:.0f}) | {two['equal']} |")
        if "2w_limited" in r:
            lim = r["2w_limited"]
            print(f"| {r['side']}², 2 workers at {lim['memory_limit']} each | | | | {lim['seconds']:.1f} s "
                  f"| | | {lim['peak_MiB']:.0f} ({lim['bound_MiB']:.0f}) | {lim['equal']} |")
    if args.json:
        args.json.write_text(json.dumps(rows, indent=1))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
