"""The zentrel command line, end to end through `python -m zentrel`."""

import re
import subprocess
import sys
from dataclasses import replace

import numpy as np
import pytest
import zentrel
from PIL import Image

SIZE = (256, 256)


def run(*args, cwd):
    return subprocess.run([sys.executable, "-m", "zentrel", *map(str, args)],
                          capture_output=True, text=True, cwd=cwd)


def error_lines(stderr):
    return [line for line in stderr.splitlines() if line.startswith("zentrel: error:")]


def read(path):
    with Image.open(path) as image:
        return image.mode, np.asarray(image).copy()


def assert_binary_of(path, grey, **settings):
    mode, values = read(path)
    assert mode == "L"
    assert set(np.unique(values).tolist()) <= {0, 255}
    np.testing.assert_array_equal(values, zentrel.binarize(grey, **settings))


def bt601(rgb):
    rgb = rgb.astype(np.float64)
    return np.rint(0.299 * rgb[..., 0] + 0.587 * rgb[..., 1] + 0.114 * rgb[..., 2]).astype(np.uint8)


@pytest.fixture(scope="module")
def grey():
    image, _ = zentrel.uneven_scene(SIZE, seed=3)
    image = image.copy()
    image[0, 0], image[0, 1] = 0, 255  # full range, so --rescale of a wide copy is exact
    return image


@pytest.mark.parametrize("suffix", [".png", ".tif", ".bmp", ".pgm", ".jpg"])
def test_single_file_equals_binarize_of_the_grey_image(tmp_path, grey, suffix):
    source = tmp_path / f"scan{suffix}"
    Image.fromarray(grey).save(source)
    _, decoded = read(source)  # JPEG is lossy: compare with what it decodes to

    result = run("binarize", source.name, "-o", "out.png", cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    assert_binary_of(tmp_path / "out.png", decoded)


@pytest.mark.parametrize("mode", ["RGB", "RGBA", "P"])
def test_colour_input_becomes_bt601_luma(tmp_path, grey, mode):
    # Channels offset differently and jittered per pixel, so the weights and the rounding matter.
    rng = np.random.default_rng(0)
    offsets = np.array([30, -10, 60])
    if mode == "P":
        # Shuffled palette: the indices themselves are no grey levels.
        order = rng.permutation(256)
        palette = np.zeros((256, 3), np.uint8)
        palette[order] = np.clip(np.arange(256)[:, None] + offsets, 0, 255)
        image = Image.frombytes("P", SIZE[::-1], order[grey].astype(np.uint8).tobytes())
        image.putpalette(palette.tobytes())
        rgb = palette[order[grey]]
    else:
        rgb = np.clip(grey[..., None].astype(int) + offsets + rng.integers(-4, 5, SIZE + (3,)), 0, 255)
        rgb = rgb.astype(np.uint8)
        if mode == "RGBA":
            image = Image.fromarray(np.dstack([rgb, rng.integers(0, 256, SIZE, dtype=np.uint8)]))
        else:
            image = Image.fromarray(rgb)
    assert image.mode == mode
    image.save(tmp_path / "colour.png")

    result = run("binarize", "colour.png", "-o", "out.png", cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    assert_binary_of(tmp_path / "out.png", bt601(rgb))


def test_batch_with_two_jobs_writes_every_output(tmp_path):
    scenes = {f"scan{seed}.png": zentrel.uneven_scene(SIZE, seed=seed)[0] for seed in (1, 2, 4)}
    for name, image in scenes.items():
        Image.fromarray(image).save(tmp_path / name)

    result = run("binarize", *scenes, "--out-dir", "out", "--jobs", "2", cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == sorted(scenes)
    for name, image in scenes.items():
        assert_binary_of(tmp_path / "out" / name, image)


def test_out_dir_names_around_inputs_and_each_other(tmp_path, grey):
    """A name taken by an input or an earlier output gets -2, -3, ... in input order."""
    (tmp_path / "sub").mkdir()
    names = ("a.png", "a.tif", "b.tif", "sub/b.png")
    images = {name: np.roll(grey, 40 * i, axis=1) for i, name in enumerate(names)}
    for name, image in images.items():
        Image.fromarray(image).save(tmp_path / name)
    before = (tmp_path / "a.png").read_bytes()

    result = run("binarize", *images, "--out-dir", ".", cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    assert (tmp_path / "a.png").read_bytes() == before
    for output, source in [("a-2.png", "a.png"), ("a-3.png", "a.tif"), ("b.png", "b.tif"),
                           ("b-2.png", "sub/b.png")]:
        assert_binary_of(tmp_path / output, images[source])


@pytest.mark.parametrize("output", ["scan.png", "./scan.png", "link.png"])
@pytest.mark.parametrize("overwrite", [[], ["--overwrite"]], ids=["", "overwrite"])
def test_refuses_to_overwrite_the_input(tmp_path, grey, output, overwrite):
    source = tmp_path / "scan.png"
    Image.fromarray(grey).save(source)
    (tmp_path / "link.png").symlink_to(source)
    before = source.read_bytes()

    result = run("binarize", "scan.png", "-o", output, *overwrite, cwd=tmp_path)

    assert result.returncode == 1
    assert source.read_bytes() == before
    (line,) = error_lines(result.stderr)
    assert "scan.png" in line and "overwrite" in line


@pytest.mark.parametrize("name, dtype", [("wide.png", np.uint16), ("wide.tif", np.uint16),
                                         ("wide.pgm", np.uint16), ("wide.tif", np.float32)])
def test_wide_images_need_rescale_when_classic(tmp_path, grey, name, dtype):
    Image.fromarray(grey.astype(dtype) * 200 + 3000).save(tmp_path / name)

    refused = run("binarize", name, "-o", "refused.png", "--classic", cwd=tmp_path)
    assert refused.returncode == 1
    (line,) = error_lines(refused.stderr)
    assert line.startswith(f"zentrel: error: {name}:") and "--rescale" in line
    assert not (tmp_path / "refused.png").exists()

    # grey spans 0..255, so mapping min..max onto 0..255 gives grey back.
    accepted = run("binarize", name, "-o", "out.png", "--rescale", "--classic", cwd=tmp_path)
    assert accepted.returncode == 0, accepted.stderr
    assert_binary_of(tmp_path / "out.png", grey, preset="classic")

    # The automatic default maps the file's own values.
    default = run("binarize", name, "-o", "default.png", cwd=tmp_path)
    assert default.returncode == 0, default.stderr
    with Image.open(tmp_path / name) as image:
        values = np.asarray(image).copy()
    assert_binary_of(tmp_path / "default.png", values)


def _truncated_png(path, grey):
    Image.fromarray(grey).save(path)
    data = path.read_bytes()
    path.write_bytes(data[: len(data) // 2])


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda path, g: path.write_bytes(b"this is no image"), "cannot read image"),
        (_truncated_png, "cannot read image"),
        (lambda path, g: Image.fromarray(np.full(SIZE, 128, np.uint8)).save(path), "no region passed"),
        (lambda path, g: Image.fromarray(g[:10, :10]).save(path), "too small"),
    ],
    ids=["garbage", "truncated", "flat", "smaller-than-region"],
)
@pytest.mark.parametrize("jobs", [1, 2])
def test_bad_file_among_good_ones(tmp_path, grey, make, message, jobs):
    for name in ("first.png", "last.png"):
        Image.fromarray(grey).save(tmp_path / name)
    make(tmp_path / "scan3.png", grey)

    result = run("binarize", "first.png", "scan3.png", "last.png", "--out-dir", "out",
                 "--jobs", jobs, "--classic", cwd=tmp_path)

    assert result.returncode == 1
    assert_binary_of(tmp_path / "out" / "first.png", grey, preset="classic")
    assert_binary_of(tmp_path / "out" / "last.png", grey, preset="classic")
    assert not (tmp_path / "out" / "scan3.png").exists()
    (line,) = error_lines(result.stderr)
    assert line.startswith("zentrel: error: scan3.png: ")
    assert message in line


@pytest.mark.parametrize(
    "args",
    [
        ["--percent", "101", "-o", "out.png"],
        ["--percent", "-1", "-o", "out.png"],
        ["--percent", "ten", "-o", "out.png"],
        ["--region-size", "0", "-o", "out.png"],
        ["--region-size", "2147483648", "-o", "out.png"],
        ["--threads", "0", "-o", "out.png"],
        ["--max-pixels", "0", "-o", "out.png"],
        ["--jobs", "0", "--out-dir", "out"],
        ["-o", "out.jpg"],
        ["--out-dir", "out", "--name", "{stem}.jpg"],
        ["--out-dir", "out", "--name", "{name}.png"],
        ["--out-dir", "out", "--name", "sub/{stem}.png"],
        ["-o", "out.png", "--name", "{stem}.png"],
        ["extra.png", "-o", "out.png"],  # two inputs, one output
        ["--out-dir", "out", "-o", "out.png"],
        [],  # no output named
    ],
    ids=lambda args: " ".join(args) or "no-output",
)
def test_bad_parameters_exit_2_before_any_work(tmp_path, grey, args):
    for name in ("scan.png", "extra.png"):
        Image.fromarray(grey).save(tmp_path / name)

    result = run("binarize", "scan.png", *args, cwd=tmp_path)

    assert result.returncode == 2
    (line,) = result.stderr.splitlines()
    assert line.startswith("zentrel binarize: error: ")
    assert not (tmp_path / "out.png").exists() and not (tmp_path / "out").exists()


def test_a_missing_extra_gives_one_line(tmp_path):
    code = ("import sys; sys.modules['tqdm'] = None\n"
            "from zentrel.cli import main\n"
            "sys.exit(main(['binarize', 'scan.png', '-o', 'out.png']))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr.strip().splitlines() == [
        'zentrel: error: the binarize command needs tqdm: pip install "zentrel[cli]"'
    ]


def test_the_library_imports_no_cli_packages():
    code = ("import sys, zentrel\n"
            "print(sorted(m for m in ('PIL', 'tqdm', 'matplotlib') if m in sys.modules))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "[]"


def test_demo_writes_pictures_and_beats_a_global_threshold(tmp_path):
    result = run("demo", "--out-dir", "demo", cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    *paths, summary = result.stdout.strip().splitlines()
    assert [p.rsplit("/", 1)[-1] for p in paths] == ["scene.png", "binary.png", "report.png"]
    with Image.open(tmp_path / paths[0]) as scene, Image.open(tmp_path / paths[1]) as binary:
        assert scene.size == binary.size == (1024, 768)
        assert scene.mode == binary.mode == "L"
        assert set(np.unique(np.asarray(binary)).tolist()) == {0, 255}
    with Image.open(tmp_path / paths[2]) as report:
        assert report.width >= 1000 and report.height >= 1000
    match = re.search(r"\(([\d.]+)%\) classified right.*threshold \((\d+)\) gets ([\d.]+)%", summary)
    assert match, summary
    local, global_best = float(match[1]), float(match[3])
    assert local > 99.0 and local > global_best
    # A second demo replaces the pictures of the first, and only those.
    Image.fromarray(np.zeros((4, 4), np.uint8)).save(tmp_path / paths[1])  # someone else's picture
    again = run("demo", "--out-dir", "demo", cwd=tmp_path)
    assert again.returncode == 1
    (line,) = error_lines(again.stderr)
    assert line == f"zentrel: error: {paths[1]} exists; pass --overwrite to replace it"
    again = run("demo", "--out-dir", "demo", "--overwrite", cwd=tmp_path)
    assert again.returncode == 0, again.stderr
    assert run("demo", "--out-dir", "demo", cwd=tmp_path).returncode == 0


@pytest.mark.parametrize("flat", [False, True], ids=["scene", "no-region-passed"])
def test_report_writes_a_picture(tmp_path, grey, flat):
    image = np.full(SIZE, 128, np.uint8) if flat else grey
    Image.fromarray(image).save(tmp_path / "scan.png")

    result = run("report", "scan.png", "-o", "report.png", "--percent", "15", cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[0] == "report.png"
    with Image.open(tmp_path / "report.png") as picture:
        assert picture.format == "PNG"
        assert 1000 <= picture.width <= 3000 and 1000 <= picture.height <= 3000
        colours = np.unique(np.asarray(picture.convert("RGB")).reshape(-1, 3), axis=0)
    assert len(colours) > 50


@pytest.mark.parametrize(
    "values, smooth, expected",
    [
        ([10.9] * 12 + [21.0] * 4, False, {10: 12, 21: 4}),  # truncated, not rounded
        ([100] * 9, True, {98: 1, 99: 2, 100: 3, 101: 2, 102: 1}),
        ([100], True, {}),  # 1-2-3-2-1 with integer division by 9
        ([1] * 9, True, {1: 9, 2: 2, 3: 1}),  # edge bins keep their counts
    ],
)
def test_region_histogram(values, smooth, expected):
    from zentrel.report import region_histogram

    # The region (top 2, left 3, side 4) inside a frame of values it must not count.
    image = np.full((8, 9), 250.0)
    block = np.full(16, -1.0)  # outside 0..255: not counted
    block[: len(values)] = values
    image[2:6, 3:7] = block.reshape(4, 4)
    want = np.zeros(256, np.int64)
    want[list(expected)] = list(expected.values())
    np.testing.assert_array_equal(region_histogram(image, 2, 3, 4, smooth=smooth), want)


@pytest.mark.parametrize(
    "objects_values, background_values, threshold, right",
    [
        ([10, 12], [20, 30], 13, 1.0),  # separable: the first threshold above the objects
        ([10, 50], [20, 30], 11, 0.75),  # one bright object is lost either way
        ([200, 200], [100, 100], 0, 0.5),  # objects brighter: best is all white
    ],
)
def test_best_global_threshold(objects_values, background_values, threshold, right):
    from zentrel.scenes import best_global_accuracy

    image = np.array([objects_values + background_values], np.uint8)
    objects = np.array([[True] * len(objects_values) + [False] * len(background_values)])
    assert best_global_accuracy(image, objects) == (threshold, right)


def test_draw_report_returns_the_analysis(tmp_path, grey):
    from zentrel.report import draw_report

    analysis = draw_report(grey, tmp_path / "report.png", percent=15, region_size=32, smooth=True,
                           preset="classic")
    expected = zentrel.analyse(grey, percent=15, region_size=32, smooth=True, preset="classic")
    assert replace(analysis, stage_seconds={}) == replace(expected, stage_seconds={})
    assert (tmp_path / "report.png").stat().st_size > 10_000


def test_every_analysis_option_reaches_the_engine(tmp_path, grey):
    from zentrel.core.limits import LIMITS

    Image.fromarray(grey).save(tmp_path / "scan.png")
    limits = []
    for option in LIMITS:  # each option at its default: the classic result stays
        values = option.default if option.arity == 2 else (option.default,)
        limits += ["--" + option.name.replace("_", "-"), *map(str, values)]
    result = run("binarize", "scan.png", "-o", "classic.png", "--classic", "--percent", "20",
                 *limits, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert_binary_of(tmp_path / "classic.png", grey, preset="classic", percent=20)

    result = run("binarize", "scan.png", "-o", "bright.png", "--objects", "bright", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert_binary_of(tmp_path / "bright.png", grey, objects="bright")

    # A limit that changes the classic result, and one the automatic default refuses.
    run("binarize", "scan.png", "-o", "narrow.png", "--classic", "--mean1-range", "0", "255",
        "--percent", "20", cwd=tmp_path)
    assert_binary_of(tmp_path / "narrow.png", grey, preset="classic", percent=20,
                     mean1_range=(0, 255))
    refused = run("binarize", "scan.png", "-o", "x.png", "--valley-ratio", "0.5", cwd=tmp_path)
    assert refused.returncode == 2 and "--classic" in refused.stderr
    assert len(refused.stderr.splitlines()) == 1
