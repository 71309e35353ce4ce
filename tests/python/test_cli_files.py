"""What the command line does to files: no silent replacing, no partial files, clean stops."""

import os
import re
import resource
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
import zentrel
from PIL import Image

from test_cli import error_lines, run

SIZE = (128, 160)


@pytest.fixture(scope="module")
def grey():
    return zentrel.uneven_scene(SIZE, seed=5)[0]


def finished(folder):
    return [name for name in os.listdir(folder) if not name.startswith(".")] if folder.is_dir() else []


def temporaries(folder):
    return [p.name for p in folder.rglob("*") if ".zentrel-tmp-" in p.name]


@pytest.mark.parametrize(
    "command, target",
    [
        (["binarize", "scan.png", "-o", "out/photo.png"], "out/photo.png"),
        (["binarize", "scan.png", "--out-dir", "out"], "out/scan.png"),
        (["binarize", "scan.png", "--out-dir", "out", "--name", "{stem}-bw.tif"], "out/scan-bw.tif"),
        (["report", "scan.png", "-o", "out/photo.png"], "out/photo.png"),
    ],
    ids=["output", "out-dir", "name", "report"],
)
def test_an_existing_file_is_replaced_only_when_asked(tmp_path, grey, command, target):
    Image.fromarray(grey).save(tmp_path / "scan.png")
    (tmp_path / "out").mkdir()
    (tmp_path / target).write_bytes(b"someone's photo")

    refused = run(*command, cwd=tmp_path)

    assert refused.returncode == 1
    (line,) = error_lines(refused.stderr)
    assert line == f"zentrel: error: scan.png: {target} exists; pass --overwrite to replace it"
    assert (tmp_path / target).read_bytes() == b"someone's photo"

    replaced = run(*command, "--overwrite", cwd=tmp_path)

    assert replaced.returncode == 0, replaced.stderr
    with Image.open(tmp_path / target) as image:
        image.load()
    assert temporaries(tmp_path) == []


@pytest.mark.parametrize(
    "output, options, fmt, mode, compression",
    [
        ("out.png", [], "PNG", "L", None),
        ("out.PNG", ["--bilevel"], "PNG", "1", None),
        ("out.tif", [], "TIFF", "L", "tiff_adobe_deflate"),
        ("out.tiff", ["--bilevel"], "TIFF", "1", "group4"),
        ("out.pbm", [], "PPM", "1", None),
    ],
)
def test_binarize_writes_the_format_of_the_extension(tmp_path, grey, output, options, fmt, mode, compression):
    Image.fromarray(grey).save(tmp_path / "scan.png")

    result = run("binarize", "scan.png", "-o", output, *options, cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    with Image.open(tmp_path / output) as image:
        assert (image.format, image.mode) == (fmt, mode)
        assert image.info.get("compression") == compression
        values = np.asarray(image.convert("L"))
    np.testing.assert_array_equal(values, zentrel.binarize(grey))


@pytest.mark.parametrize("suffix, magic", [(".svg", b"<?xml"), (".pdf", b"%PDF-")])
def test_report_writes_the_format_of_the_extension(tmp_path, grey, suffix, magic):
    Image.fromarray(grey).save(tmp_path / "scan.png")

    result = run("report", "scan.png", "-o", f"report{suffix}", cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    data = (tmp_path / f"report{suffix}").read_bytes()
    assert data.startswith(magic) and len(data) > 10_000
    assert (b"</svg>" in data[-100:]) if suffix == ".svg" else data.rstrip().endswith(b"%%EOF")


@pytest.mark.parametrize("command", [["binarize", "-o", "out.jpg"], ["report", "-o", "out.pdfx"]])
def test_other_extensions_are_refused_with_the_supported_ones(tmp_path, grey, command):
    Image.fromarray(grey).save(tmp_path / "scan.png")

    result = run(command[0], "scan.png", *command[1:], cwd=tmp_path)

    assert result.returncode == 2
    (line,) = result.stderr.splitlines()
    supported = ".png, .tif, .tiff, .pbm, .zarr" if command[0] == "binarize" else ".png, .svg, .pdf"
    assert line.endswith(f"use one of {supported}")
    assert os.listdir(tmp_path) == ["scan.png"]


def _limit_file_size():
    resource.setrlimit(resource.RLIMIT_FSIZE, (300, 300))


_DISK_FULL = ("old.png", lambda t: Image.new("L", (5, 5)).save(t), _limit_file_size, "File too large")


@pytest.mark.parametrize(
    "command, target, prepare, limit, reason",
    [
        ("binarize", *_DISK_FULL),
        ("binarize", "old.png", lambda t: (t / "keep").mkdir(parents=True), None, "Is a directory"),
        ("binarize", "file/out.png", lambda t: t.parent.write_bytes(b"a file"), None, "Not a directory"),
        ("report", *_DISK_FULL),
    ],
    ids=["disk-full", "onto-a-folder", "parent-is-a-file", "report-disk-full"],
)
def test_a_failed_write_keeps_the_old_file_and_leaves_no_temporary(tmp_path, grey, command, target,
                                                                   prepare, limit, reason):
    Image.fromarray(grey).save(tmp_path / "scan.png")
    prepare(tmp_path / target)
    before = sorted((p.relative_to(tmp_path), p.is_dir() or p.read_bytes()) for p in tmp_path.rglob("*"))

    result = subprocess.run([sys.executable, "-m", "zentrel", command, "scan.png", "-o", target,
                             "--overwrite"], capture_output=True, text=True, cwd=tmp_path,
                            preexec_fn=limit)

    assert result.returncode == 1
    (line,) = error_lines(result.stderr)
    assert line == f"zentrel: error: scan.png: cannot write {target}: {reason}"
    assert sorted((p.relative_to(tmp_path), p.is_dir() or p.read_bytes())
                  for p in tmp_path.rglob("*")) == before


def test_a_stop_while_a_finished_file_is_counted_counts_it(tmp_path, grey, monkeypatch, capsys):
    # The stop comes after the worker wrote the first file and before the
    # run counted it: it is held until the count is made, so the line says
    # as many files as are there (the run once said 6 of the 7 written).
    from zentrel.cli import main, progress

    names = [str(tmp_path / f"in{i}.png") for i in range(3)]
    for name in names:
        Image.fromarray(grey).save(name)
    counted = progress.Progress.ended

    def stopped_first(self, *args):
        if self.tally.done == 0:
            os.kill(os.getpid(), signal.SIGINT)
        counted(self, *args)

    monkeypatch.setattr(progress.Progress, "ended", stopped_first)
    assert main(["binarize", *names, "--out-dir", str(tmp_path / "out"), "--jobs", "1"]) == 128 + signal.SIGINT
    assert capsys.readouterr().err.splitlines()[-1] == "zentrel: interrupted: 1 of 3 files done"
    assert finished(tmp_path / "out") == ["in0.png"]


@pytest.mark.parametrize("stop, jobs", [(signal.SIGINT, 2), (signal.SIGTERM, 1)], ids=["INT-jobs-2", "TERM-jobs-1"])
def test_a_signal_stops_a_batch_cleanly(tmp_path, grey, stop, jobs):
    Image.fromarray(np.tile(grey, (2, 2))).save(tmp_path / "scan.png")
    names = [f"in{i:03}.png" for i in range(400)]
    for name in names:
        os.link(tmp_path / "scan.png", tmp_path / name)
    out = tmp_path / "out"
    process = subprocess.Popen([sys.executable, "-m", "zentrel", "binarize", *names, "--out-dir", "out",
                                "--jobs", str(jobs)], cwd=tmp_path, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while len(finished(out)) < 5 and time.monotonic() < deadline:
        time.sleep(0.02)

    process.send_signal(stop)
    _, stderr = process.communicate(timeout=10)

    assert process.returncode == 128 + stop
    (line,) = stderr.splitlines()
    match = re.fullmatch(r"zentrel: interrupted: (\d+) of 400 files done", line)
    assert match, stderr
    written = os.listdir(out)  # temporaries included: none may be left
    assert 5 <= len(written) == int(match[1]) < 400
    for name in written:
        with Image.open(out / name) as image:
            image.load()
            assert image.size == (2 * SIZE[1], 2 * SIZE[0])


def test_images_above_the_pixel_limit_are_refused_in_one_line(tmp_path, grey):
    Image.fromarray(grey).save(tmp_path / "scan.png")

    result = run("binarize", "scan.png", "-o", "out.png", "--max-pixels", grey.size - 1, cwd=tmp_path)

    assert result.returncode == 1
    assert result.stderr.splitlines() == [
        f"zentrel: error: scan.png: 160x128 is {grey.size} pixels, above the limit of "
        f"{grey.size - 1}; pass --max-pixels to raise it"
    ]
    assert run("binarize", "scan.png", "-o", "out.png", "--max-pixels", grey.size,
               cwd=tmp_path).returncode == 0


def test_pillows_bomb_guard_gives_way_to_the_pixel_limit(tmp_path, grey, monkeypatch):
    from zentrel.io import read_grey

    Image.fromarray(grey).save(tmp_path / "scan.png")
    # Pillow would warn above this and refuse above twice it; warnings are errors here.
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", grey.size // 4)

    np.testing.assert_array_equal(read_grey(tmp_path / "scan.png"), grey)
    assert Image.MAX_IMAGE_PIXELS == grey.size // 4


class _Failure(Exception):
    pass


@pytest.mark.parametrize("exists", [False, True])
@pytest.mark.parametrize("overwrite", [False, True])
def test_write_atomic_leaves_the_old_file_when_the_writer_fails(tmp_path, exists, overwrite):
    from zentrel.io import write_atomic

    target = tmp_path / "out.bin"
    if exists:
        target.write_bytes(b"old")

    def write(file):
        file.write(b"partial")
        raise _Failure

    with pytest.raises(FileExistsError if exists and not overwrite else _Failure):
        write_atomic(target, write, overwrite=overwrite)
    assert os.listdir(tmp_path) == (["out.bin"] if exists else [])
    assert not exists or target.read_bytes() == b"old"


def test_a_dead_worker_loses_its_task_only():
    from zentrel.cli.workers import Lost, Workers

    with Workers(2, os._exit) as workers:
        outcomes = dict(workers.run([3, 4, 5]))
    assert outcomes == {3: Lost(3), 4: Lost(4), 5: Lost(5)}
