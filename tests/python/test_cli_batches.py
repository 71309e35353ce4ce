"""Archive batches: pages of multi-page files, folder trees, --skip-existing and --log."""

import os

import numpy as np
import pytest
import zentrel
from PIL import Image
from zentrel.cli import main
from zentrel.cli.record import Record, last_lines, read_lines
from zentrel.cli.tree import walk

SHAPE = (120, 150)


def scene(seed):
    return zentrel.uneven_scene(SHAPE, seed=seed)[0]


def save_pages(path, pages):
    first, *rest = [Image.fromarray(page) for page in pages]
    first.save(path, save_all=True, append_images=rest)


def pages_of(path):
    with Image.open(path) as image:
        out = []
        for index in range(image.n_frames):
            image.seek(index)
            out.append((image.mode, np.asarray(image.convert("L")).copy()))
        return out


def records(path):
    return list(read_lines(path))


@pytest.fixture(scope="module")
def book():
    return [scene(seed) for seed in (1, 2, 3)]


@pytest.mark.parametrize("name, bilevel, files, mode", [
    ("out.tif", False, ["out.tif"], "L"),
    ("out.tif", True, ["out.tif"], "1"),
    ("out.png", False, ["out-p0001.png", "out-p0002.png", "out-p0003.png"], "L"),
])
def test_every_page_is_thresholded_on_its_own_in_order(tmp_path, book, name, bilevel, files, mode):
    save_pages(tmp_path / "book.tif", book)
    assert main(["binarize", str(tmp_path / "book.tif"), "-o", str(tmp_path / name)]
                + ["--bilevel"] * bilevel) == 0
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["book.tif", *files])
    got = [page for file in files for page in pages_of(tmp_path / file)]
    assert [m for m, _ in got] == [mode] * 3
    for (_, values), page in zip(got, book):
        np.testing.assert_array_equal(values, zentrel.binarize(page))


def test_a_failing_page_is_named_and_the_others_are_written(tmp_path, book, capsys):
    # A flat page has no two-peaked region: the classic analysis refuses it.
    pages = [book[0], np.full(SHAPE, 128, np.uint8), book[2]]
    save_pages(tmp_path / "book.tif", pages)
    log = tmp_path / "run.jsonl"
    assert main(["binarize", str(tmp_path / "book.tif"), "--out-dir", str(tmp_path / "bw"),
                 "--name", "{stem}.tif", "--classic", "--log", str(log)]) == 1
    assert "book.tif: page 2 of 3: no region passed" in capsys.readouterr().err
    written = pages_of(tmp_path / "bw" / "book.tif")
    np.testing.assert_array_equal(written[1][1], zentrel.binarize(book[2], preset="classic"))
    (line,) = records(log)
    assert (line["status"], line["pages"]) == ("failed", 3)
    assert [sorted(page) for page in line["analysis"]][1] == ["error", "page"]
    assert line["analysis"][0]["regions_passed"] > 0 and line["analysis"][0]["objects"] is None


def test_a_folder_tree_is_walked_in_order_and_mirrored(tmp_path, book, capsys):
    tree = tmp_path / "scans"
    (tree / "b" / "c").mkdir(parents=True)
    Image.fromarray(book[0]).save(tree / "z.png")
    Image.fromarray(book[1]).save(tree / "b" / "a.png")
    Image.fromarray(book[2]).save(tree / "b" / "c" / "a.jpg")
    (tree / ".hidden.png").write_bytes(b"not looked at")
    (tree / "notes.txt").write_text("not an image")
    os.symlink("..", tree / "b" / "c" / "up")  # a loop
    out = tree / "bw"  # inside the tree: not walked
    log = tmp_path / "run.jsonl"
    for _ in range(2):  # the second run finds the output folder in the tree
        assert main(["binarize", str(tree), "--out-dir", str(out), "--log", str(log),
                     "--overwrite"]) == 0
    assert "up: a link back to" in capsys.readouterr().err
    inputs = [os.path.relpath(line["input"], tree) for line in records(log)]
    assert inputs == ["b/a.png", "b/c/a.jpg", "z.png"] * 2
    assert sorted(str(p.relative_to(out)) for p in out.rglob("*.png")) == ["b/a.png", "b/c/a.png", "z.png"]
    np.testing.assert_array_equal(pages_of(out / "b" / "a.png")[0][1], zentrel.binarize(book[1]))


def test_walk_notes_links_and_skips_hidden_and_output(tmp_path):
    (tmp_path / "a" / "out").mkdir(parents=True)
    (tmp_path / "a" / "x.TIF").write_bytes(b"")
    (tmp_path / "a" / "out" / "y.png").write_bytes(b"")
    (tmp_path / "a" / ".h").mkdir()
    (tmp_path / "a" / ".h" / "z.png").write_bytes(b"")
    os.symlink(tmp_path / "a", tmp_path / "again")
    walked = walk([tmp_path / "a", tmp_path / "again", tmp_path / "a" / "x.TIF"], skip=[tmp_path / "a" / "out"])
    assert [(f.source.name, str(f.folder)) for f in walked.found] == [("x.TIF", "."), ("x.TIF", ".")]
    assert len(walked.notes) == 1 and "the same folder as" in walked.notes[0]


def test_skip_existing_resumes_without_redoing(tmp_path, book):
    inputs = tmp_path / "in"
    inputs.mkdir()
    for k, page in enumerate(book):
        Image.fromarray(page).save(inputs / f"{k}.png")
    save_pages(inputs / "book.tif", book)
    out, log = tmp_path / "out", tmp_path / "run.jsonl"
    assert main(["binarize", str(inputs), "--out-dir", str(out), "--log", str(log)]) == 0
    (out / "1.png").unlink()
    (out / "book-p0002.png").unlink()
    temporary = out / ".1.png.zentrel-tmp-0123abcd"  # what a killed writer leaves
    temporary.write_bytes(b"part")
    with open(log, "ab") as file:
        file.write(b'{"input": "cut sh')  # a line a crash cut off
    before = {p.name: p.stat().st_mtime_ns for p in out.iterdir()}
    assert main(["binarize", str(inputs), "--out-dir", str(out), "--log", str(log), "--skip-existing"]) == 0
    assert not temporary.exists()
    # The book lost a page, so it is done again whole; the complete files are left as they were.
    assert [p.name for p in sorted(out.iterdir()) if p.stat().st_mtime_ns == before.get(p.name)] == ["0.png", "2.png"]
    second = {os.path.basename(line["input"]): line["status"] for line in records(log)[4:]}
    assert second == {"0.png": "skipped", "1.png": "done", "2.png": "skipped", "book.tif": "done"}
    # Without a record, an output that does not decode is not complete, and is left alone.
    (out / "0.png").write_bytes(b"garbage")
    assert main(["binarize", str(inputs / "0.png"), "--out-dir", str(out), "--skip-existing"]) == 1
    assert (out / "0.png").read_bytes() == b"garbage"


def test_record_lines_stay_whole(tmp_path):
    path = tmp_path / "run.jsonl"
    path.write_bytes(b'{"input": "a", "status": "done"}\n{"input": "b", "sta')
    with Record(path) as record:
        record.write({"input": "c", "status": "failed"})
    assert path.read_bytes().endswith(b'"sta\n{"input": "c", "status": "failed"}\n')
    assert {k: v["status"] for k, v in last_lines(path).items()} == {"a": "done", "c": "failed"}
