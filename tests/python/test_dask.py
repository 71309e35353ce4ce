"""zentrel.dask on a LocalCluster of two worker processes: the chunked
result equals the in-memory one byte for byte, survives a lost worker, and
refuses what it cannot honour."""

import json
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest
import zentrel
from conftest import drawn_crack, drawn_fundus, drawn_papyrus, drawn_striped_crack
from hypothesis import example, given, settings, strategies as st
from zentrel.auto import levels

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
zd = pytest.importorskip("zentrel.dask")


@pytest.fixture(scope="module")
def client():
    import cloudpickle

    # The workers cannot import this file; functions from it travel by value.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as c:
        yield c
    cloudpickle.unregister_pickle_by_value(sys.modules[__name__])


def _image(shape, seed, dtype=np.uint8):
    image, _ = zentrel.uneven_scene(shape, seed=seed)
    if dtype == np.float32:  # fractions and values just above -1 truncate like the engine's
        image = image.astype(np.float32) + np.float32(0.75)
        image[0, :3] = (-0.5, 255.9, 0.25)
    elif dtype != np.uint8:
        image = image.astype(dtype)
    return image


CASES = [
    # shape, chunks, settings, dtype
    ((301, 263), (64, 50), dict(preset="classic", percent=50, region_size=25, smooth=True), np.uint8),
    ((70, 83), (10, 12), dict(preset="classic", percent=100, region_size=17), np.uint8),  # < a region
    ((256, 256), (100, 90), dict(preset="classic", region_size=32), np.float32),  # ragged chunks
    ((96, 160), (96, 160), dict(preset="classic", percent=30, region_size=8), np.int32),  # one chunk
    ((150, 210), (33, 70), dict(preset="classic", percent=40, region_size=9, c1_range=(0.1, 0.9),
                                valley_ratio=0.9), np.int64),
    ((256, 256), (100, 90), dict(), np.float32),  # the automatic default on stretched values
    ((200, 240), (64, 50), dict(region_size=24, objects="bright"), np.uint8),
    ((180, 150), (23, 40), dict(percent=30, region_size=15), np.uint16),
]


@pytest.mark.parametrize("case", CASES, ids=lambda c: f"{c[0]}-{c[1]}-{c[2].get('preset', 'auto')}")
def test_chunked_equals_in_memory(client, case):
    shape, chunks, settings, dtype = case
    image = _image(shape, seed=sum(shape), dtype=dtype)
    array = da.from_array(image, chunks=chunks)
    binary = zd.binarize(array, **settings)
    assert binary.chunks == array.chunks and binary.dtype == np.uint8
    got_binary, got_surface = client.compute([binary, zd.threshold_surface(array, **settings)],
                                             sync=True)
    assert np.array_equal(got_binary, zentrel.binarize(image, **settings))
    assert np.array_equal(got_surface, zentrel.threshold_surface(image, **settings))

    got, want = zd.analyse(array, **settings), zentrel.analyse(image, **settings)
    assert got.stage_seconds.keys() == want.stage_seconds.keys()
    assert got == type(want)(**{**want.__dict__, "stage_seconds": got.stage_seconds})


def _slow(block):
    time.sleep(0.03)
    return block


def test_a_killed_worker_does_not_change_the_result(client):
    image = _image((512, 512), seed=5)
    array = da.from_array(image, chunks=64).map_blocks(_slow, dtype=np.uint8)
    future = client.compute(zd.binarize(array, percent=20))
    pids = client.run(os.getpid)
    while not client.run_on_scheduler(
            lambda dask_scheduler: sum(ts.state == "memory" for ts in dask_scheduler.tasks.values())):
        time.sleep(0.02)
    assert not future.done()  # the worker goes while the work is under way
    os.kill(next(iter(pids.values())), signal.SIGKILL)
    assert np.array_equal(future.result(timeout=120), zentrel.binarize(image, percent=20))
    client.wait_for_workers(2, timeout=60)


def test_no_passing_region_raises_across_processes(client):
    image = np.tile(np.uint8([60, 90]), (64, 32))  # two modes below the dark-mode limit
    array = da.from_array(image, chunks=20)
    with pytest.raises(zentrel.NoRegionPassedError, match="4 regions were selected") as caught:
        client.compute(zd.binarize(array, region_size=16, preset="classic"), sync=True)
    want = zentrel.analyse(image, region_size=16, preset="classic")
    assert caught.value.analysis == type(want)(
        **{**want.__dict__, "stage_seconds": caught.value.analysis.stage_seconds})
    assert zd.analyse(array, percent=0, preset="classic").selected_count == 0


@pytest.mark.parametrize(
    ("array", "error", "message"),
    [
        (da.zeros((64, 64, 3), dtype=np.uint8, chunks=(32, 32, 3)), ValueError, "3 dimensions"),
        (da.zeros((64, 64, 3), dtype=np.uint8, chunks=(64, 64, 1)), ValueError, "a 2-D array"),
        (da.zeros((64, 64), dtype=np.complex64, chunks=32), TypeError, "real-valued"),
        ([[0] * 64] * 64, TypeError, "a dask array"),
        (da.zeros((64, 20), dtype=np.uint8, chunks=32), ValueError, "smaller than one region"),
    ],
    ids=["3-D", "third-axis-chunks", "complex", "list", "too-small"],
)
def test_bad_input_is_refused_at_once(array, error, message):
    with pytest.raises(error, match=message):
        zd.binarize(array)


def test_bad_values_and_limits(client):
    image = np.zeros((64, 64), np.float32)
    image[40, 50] = 256.0
    with pytest.raises(ValueError, match=r"value 256 at \(40, 50\) is not a grey level"):
        client.compute(zd.binarize(da.from_array(image, chunks=32), preset="classic"), sync=True)
    image[40, 50] = np.nan
    with pytest.raises(ValueError, match="NaN"):
        client.compute(zd.binarize(da.from_array(image, chunks=32)), sync=True)
    with pytest.raises(ValueError, match="c1_range"):
        zd.binarize(da.zeros((64, 64), dtype=np.uint8), c1_range=(0.9, 0.1), preset="classic")
    with pytest.raises(ValueError, match="applies to preset='classic'"):
        zd.binarize(da.zeros((64, 64), dtype=np.uint8), c1_range=(0.1, 0.9))
    with pytest.raises(TypeError, match="unexpected keyword argument 'colour'"):
        zd.binarize(da.zeros((64, 64), dtype=np.uint8), colour=1)


@pytest.mark.parametrize("setup, words", [
    ("sys.modules['dask'] = None", "zentrel[dask]"),
    # A dask before the task objects zentrel.dask builds on.
    ("import dask.array, types; sys.modules['dask._task_spec'] = types.ModuleType('old')", "2024.12.0 or later"),
])
def test_import_without_the_extra_names_it(setup, words):
    code = f"import sys; {setup}; import zentrel.dask"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode != 0
    assert "ImportError" in result.stderr and words in result.stderr


def test_command_line_zarr_in_and_out(tmp_path):
    import zarr
    from zentrel.cli import main

    image = _image((300, 260), seed=9)
    zarr.create_array(tmp_path / "in.zarr", shape=image.shape, chunks=(128, 128), dtype=np.uint8)[:] = image
    assert main(["binarize", str(tmp_path / "in.zarr"), "-o", str(tmp_path / "out.zarr"),
                 "--chunks", "100", "--percent", "20"]) == 0
    got = zarr.open(str(tmp_path / "out.zarr"), mode="r")
    assert got.chunks == (100, 100)
    assert np.array_equal(got[:], zentrel.binarize(image, percent=20))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.zarr", "out.zarr"]  # no temporaries


def test_command_line_batch_on_the_cluster(client, tmp_path, capsys):
    import tifffile
    import zarr
    from PIL import Image
    from zentrel.cli import main

    # a and b go one file per task; c, being Zarr, through the chunked path.
    images = {name: _image((200 + 8 * k, 240), seed=k) for k, name in enumerate("abc")}
    Image.fromarray(images["a"]).save(tmp_path / "a.png")
    tifffile.imwrite(tmp_path / "b.tif", images["b"], tile=(64, 64))
    zarr.create_array(tmp_path / "c.zarr", shape=images["c"].shape, chunks=(64, 64),
                      dtype=np.uint8)[:] = images["c"]
    (tmp_path / "bad.png").write_text("not an image")
    book = [_image((120, 150), seed=k) for k in (4, 5)]
    (tmp_path / "d").mkdir()
    Image.fromarray(book[0]).save(tmp_path / "d" / "book.tif", save_all=True,
                                  append_images=[Image.fromarray(book[1])])
    inputs = [str(tmp_path / name) for name in ("a.png", "b.tif", "c.zarr", "bad.png", "d")]
    logs = {}
    for where in ("cluster", "here"):
        options = ["--scheduler", client.scheduler.address] if where == "cluster" else []
        logs[where] = tmp_path / f"{where}.jsonl"
        status = main(["binarize", *inputs, "--out-dir", str(tmp_path / where), "--name", "{stem}.tif",
                       "--log", str(logs[where]), *options])
        err = capsys.readouterr().err
        assert status == 1
        assert "bad.png: cannot read image" in err and ("dashboard" in err) == (where == "cluster")
    out = tmp_path / "cluster"
    for name, image in images.items():
        assert np.array_equal(tifffile.imread(out / f"{name}.tif"), zentrel.binarize(image))
    assert not (out / "bad.tif").exists()
    with tifffile.TiffFile(out / "book.tif") as tiff:  # a folder's files go below --out-dir
        assert [np.array_equal(p.asarray(), zentrel.binarize(b)) for p, b in zip(tiff.pages, book)] == [True] * 2
    # The same files and, but for where they went and the seconds, the same record.
    assert [p.read_bytes() for p in sorted(out.rglob("*.tif"))] == \
        [p.read_bytes() for p in sorted((tmp_path / "here").rglob("*.tif"))]

    def lines(where):
        found = [json.loads(line) for line in logs[where].read_text().splitlines()]
        return sorted(json.dumps({**line, "seconds": 0}).replace(f"/{where}/", "/out/") for line in found)

    assert lines("cluster") == lines("here")


@st.composite
def chunkings(draw):
    """A region size and chunks of one axis as the pipeline lays them:
    every chunk but the last at least R-1 long (shorter ones are merged)."""
    region_size = draw(st.integers(1, 40))
    chunks = draw(st.lists(st.integers(max(region_size - 1, 1), 60), min_size=0, max_size=7))
    return tuple(chunks) + (draw(st.integers(1, 60)),), region_size


@given(chunkings())
@example(((40, 40, 21), 17)).via("hand-picked")
@example(((16,) * 6 + (5,), 16)).via("hand-picked")
@example(((7, 9, 8), 2)).via("hand-picked")
@example(((100,), 33)).via("hand-picked")
@example(((5, 5, 5), 1)).via("hand-picked")
@settings(max_examples=150, deadline=None)
def test_pieces_tile_the_region_grid_within_one_chunk_of_reach(case):
    chunks, region_size = case
    from zentrel.dask._geometry import axis_parts, piece_of

    parts, r = axis_parts(chunks, region_size), region_size
    regions = np.arange(max(2 * sum(chunks) // r - 1, 0))
    pieces = piece_of(regions, parts)
    assert np.all(np.diff(pieces) >= 0)  # each region in exactly one piece, in order
    for index, part in enumerate(parts):
        for seam in (False, True):
            first, stop = part.piece(seam)
            assert np.array_equal(regions[pieces == 2 * index + seam], np.arange(first, stop))
            starts = regions[first:stop] * r // 2
            assert np.all(starts >= part.start) and np.all(starts < part.stop)
            # inner regions end in the chunk; seam ones within R-1 past it
            ends = starts + r
            assert np.all(ends > part.stop) if seam else np.all(ends <= part.stop)
            assert np.all(ends <= part.stop + r - 1)


def _pictures():
    from PIL import Image

    data = Path(__file__).parent / "data"
    page = np.asarray(Image.open(data / "dibco2009_h02_crop.png").convert("L"))
    receipt = np.asarray(Image.open(data / "sroie_000_crop.png").convert("L"))
    combed = np.clip((page.astype(np.int64) - 60) * 3, 0, 255).astype(np.uint8)  # every 3rd level
    crack = drawn_crack()[0]
    return {"page": page, "receipt": receipt, "combed-bright": 255 - combed, "fundus": drawn_fundus()[0],
            "crack": crack, "crack-bright": 255 - crack, "striped-crack": drawn_striped_crack()[0],
            "papyrus": drawn_papyrus(512)[0]}


@pytest.mark.parametrize("name, chunks", [("page", (100, 150)), ("receipt", (96, 200)),
                                          ("combed-bright", (128, 128)), ("fundus", (100, 130)),
                                          ("crack", (50, 70)), ("crack-bright", (96, 45)),
                                          ("striped-crack", (64, 90)), ("papyrus", (200, 260))])
def test_chunked_equals_in_memory_on_real_pictures(client, name, chunks):
    # Each picture takes the automatic default through its rules for real
    # pictures: the page thin strokes, bleed-through rejected and grounds
    # at the 84 % level; the receipt histograms split at their mean; the
    # stretched negative a combed histogram, bright objects, its spacing and
    # the medians' decision across the chunks' seams; the fundus its flat
    # black surround, the lines read against the ground on the voted side;
    # the crack, whole pieces on ground weighed across chunks, one side on
    # mirrored levels; the striped crack its side from the pieces, settled
    # again on it. The page and receipt are strokes that the finer
    # scale also fits, on its own chunks' pieces. The papyrus's edges
    # against the white board are thresholded on the support.
    image = _pictures()[name]
    want = zentrel.analyse(image)
    uses = {"page": want.auto.thin and "faint" in want.auto.verdicts and want.auto.fine_size == 16,
            "receipt": "split" in want.auto.verdicts and want.auto.fine_size == 16,
            "combed-bright": (want.objects == "bright" and want.auto.median
                              and levels.combed(levels.sample_histogram(image))),
            "fundus": want.auto.fallback == "backdrop" and want.auto.marks,
            "crack": want.auto.fallback == "ground" and not want.auto.mirror,
            "crack-bright": want.auto.mirror,
            "striped-crack": not want.auto.side_known and want.auto.fallback is None,
            "papyrus": want.objects == "dark" and want.auto.thin and want.auto.fallback is None}
    assert uses[name]
    array = da.from_array(image, chunks=chunks)
    got = client.compute(zd.binarize(array), sync=True)
    assert np.array_equal(got, zentrel.binarize(image))
    assert zd.analyse(array) == want


class _CountedReads:
    """An array that counts how often its values are read."""

    def __init__(self, array):
        self.array, self.reads, self.lock = array, 0, threading.Lock()
        self.shape, self.dtype, self.ndim = array.shape, array.dtype, array.ndim

    def __getitem__(self, index):
        with self.lock:
            self.reads += 1
        return self.array[index]


@pytest.mark.parametrize("name, fine, marks, passes", [("scene", False, False, 3), ("page", True, True, 6)])
def test_optional_stages_read_the_input_only_where_wanted(name, fine, marks, passes):
    # Region statistics, fits and decision read every chunk once each; the
    # finer scale's two passes read it again only where it is wanted, and so
    # does the pass gathering the faint marks' pieces along chunk edges.
    image = _pictures()["page"] if name == "page" else _image((300, 320), seed=1)
    auto = zentrel.analyse(image).auto
    assert (auto.fine_size is not None, auto.marks) == (fine, marks)
    counted = _CountedReads(image)
    array = da.from_array(counted, chunks=(100, 160), asarray=False)
    chunks = len(array.chunks[0]) * len(array.chunks[1])
    with dask.config.set(scheduler="synchronous"):
        assert np.array_equal(zd.binarize(array).compute(), zentrel.binarize(image))
    assert passes * chunks <= counted.reads < (passes + 1) * chunks


@given(rows=st.lists(st.integers(20, 70), min_size=1, max_size=3),
       cols=st.lists(st.integers(20, 70), min_size=1, max_size=3),
       preset=st.sampled_from(["auto", "classic"]), seed=st.integers(0, 3))
@settings(max_examples=12, deadline=None)
def test_any_chunking_gives_the_in_memory_result(rows, cols, preset, seed):
    image = _image((sum(rows), sum(cols)), seed=seed)
    options = dict(preset=preset, percent=40, region_size=16)
    try:
        want = zentrel.binarize(image, **options)
    except zentrel.NoRegionPassedError:
        want = None
    array = da.from_array(image, chunks=(tuple(rows), tuple(cols)))
    with dask.config.set(scheduler="synchronous"):
        if want is None:
            with pytest.raises(zentrel.NoRegionPassedError):
                zd.binarize(array, **options).compute()
        else:
            assert np.array_equal(zd.binarize(array, **options).compute(), want)
