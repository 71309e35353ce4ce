"""The module's face: attributes, dispatch, None answers, the driver's lines."""

import numpy as np
import pytest
import zentrel_py
from conftest import flush_c_stdio

BANNER = (
    "Adaptive threshold algorithm implemented with C++. "
    "The input image is assumed to have values in 0 ~ 255\n"
)


def test_module_attributes():
    assert zentrel_py.__version__ == "dev"
    assert zentrel_py.__doc__ is None
    public = {name for name in dir(zentrel_py) if not name.startswith("__")}
    assert public == {"AdaptiveThreshold"}


def test_overloads_in_order_with_keywords_and_docstring():
    doc = zentrel_py.AdaptiveThreshold.__doc__
    positions = [doc.index(f"numpy.ndarray[numpy.{t}], output_image") for t in ("float32", "int32", "uint8")]
    assert positions == sorted(positions)
    assert doc.count("Adaptive threshold of an image") == 3
    assert doc.count(
        "output_image: numpy.ndarray[numpy.int16], percent: int, region_size: int, "
        "debug: bool = False, smooth_his: bool = False) -> bool"
    ) == 3


@pytest.mark.parametrize(
    "output",
    [np.zeros((64, 64), np.uint8), np.zeros((64, 64), np.float64), [[0] * 64] * 64, 7],
    ids=["uint8", "float64", "list", "int"],
)
def test_output_of_another_type_matches_no_overload(output, capfd):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        zentrel_py.AdaptiveThreshold(np.zeros((64, 64), np.uint8), output, 10, 32)
    flush_c_stdio()
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("bad", [{"percent": 10.0}, {"region_size": 32.0}])
def test_float_scalars_match_no_overload(bad):
    kwargs = {"percent": 10, "region_size": 32} | bad
    with pytest.raises(TypeError):
        zentrel_py.AdaptiveThreshold(np.zeros((64, 64), np.uint8), np.zeros((64, 64), np.int16), **kwargs)


def test_none_input(threshold):
    result, output, out, _ = threshold(None, output=np.full((8, 8), 7, np.int16))
    assert result is False
    assert out == BANNER + "Input image cannot be none"
    assert (output == 7).all()


def test_none_output(threshold):
    result, _, out, _ = threshold(np.zeros((64, 64), np.uint8), output=None)
    assert result is False
    assert out == BANNER + "Output image cannot be none. Create an empty image and put it in the argument\n"


def test_read_only_output_raises_after_banner(capfd):
    output = np.full((64, 64), 7, np.int16)
    output.flags.writeable = False
    with pytest.raises(ValueError, match="^array is not writeable$"):
        zentrel_py.AdaptiveThreshold(np.zeros((64, 64), np.uint8), output, 10, 32)
    flush_c_stdio()
    assert capfd.readouterr().out == BANNER
    assert (output == 7).all()


def grid_lines(out):
    lines = out.splitlines()
    grid = next(line for line in lines if line.startswith("Number of regions in row"))
    count = next(line for line in lines if line.startswith("number of regions with the highest"))
    return grid.split("=")[1], int(count.split("=")[1])


@pytest.mark.parametrize(
    ("shape", "region_size", "percent", "grid", "selected"),
    [
        ((100, 100), 20, 10, "(9,9)", 8),
        ((100, 60), 20, 10, "(9,5)", 4),
        ((100, 100), 25, 10, "(7,7)", 4),
        ((100, 100), 25, 0, "(7,7)", 0),
    ],
)
def test_region_grid_lines(threshold, shape, region_size, percent, grid, selected):
    _, _, out, _ = threshold(np.zeros(shape, np.uint8), percent=percent, region_size=region_size)
    assert grid_lines(out) == (grid, selected)


def test_no_passing_region_leaves_ones_and_says_so(threshold):
    output = np.zeros((100, 100), np.int16)
    result, _, out, _ = threshold(np.full((100, 100), 128, np.uint8), percent=0, region_size=20, output=output)
    assert result is False
    assert (output == 1).all()
    assert out.endswith(
        "0 regions passed the bimodal test.\nStopped for 0 region\n"
    )
    assert out.startswith(
        BANNER
        + "Number of regions in row and column direction=(9,9)\n"
        + "Region varinace calculation start.. .\nRegion varinace calculation done...\n"
        + "number of regions with the highest variance = 0\n"
        + "Calculate the row and column index for the regions with the highest variance\n"
        + "Row & colum index calculation done. ..\n"
        + " Gaussian curve fitting and bimodal testing...Be patient!!!\n"
    )


def test_longer_output_is_touched_only_in_its_first_rows_times_cols(threshold):
    output = np.full(100 * 100 + 50, 7, np.int16)
    threshold(np.full((100, 100), 128, np.uint8), percent=0, region_size=20, output=output)
    assert (output[: 100 * 100] == 1).all()
    assert (output[100 * 100 :] == 7).all()


def test_keywords_equal_positionals(threshold, scene):
    image, _ = scene
    by_position = threshold(image, 10, 32)
    by_keyword = threshold(image, percent=10, region_size=32, debug=False, smooth_his=False)
    assert by_position[0] is by_keyword[0]
    assert np.array_equal(by_position[1], by_keyword[1])
    assert by_position[2] == by_keyword[2]


@pytest.mark.parametrize(
    "convert",
    [
        lambda im: im.astype(np.float32),
        lambda im: im.astype(np.int32),
        lambda im: im.astype(np.float64),
        lambda im: im.astype(np.int64),
        lambda im: im.astype(np.uint16),
        lambda im: im.tolist(),
    ],
    ids=["float32", "int32", "float64", "int64", "uint16", "list"],
)
def test_every_element_type_gives_the_uint8_result(threshold, scene, convert):
    image, _ = scene
    expected = threshold(image)
    got = threshold(convert(image))
    assert got[0] is expected[0] is True
    assert np.array_equal(got[1], expected[1])
    assert got[2] == expected[2]


def test_float_input_is_truncated_toward_zero(threshold, scene):
    image, _ = scene
    expected = threshold(image)
    fractional = image.astype(np.float32) + np.float32(0.9)
    got = threshold(fractional)
    assert np.array_equal(got[1], expected[1])
    assert got[2] == expected[2]
