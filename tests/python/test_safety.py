"""Calls the engine cannot honour raise, leave the output alone and harm nothing."""

import numpy as np
import pytest
import zentrel_py
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

GOOD = np.full((64, 64), 100, np.uint8)


def huge_view():
    # A 1 x 2**31 image that occupies one byte: its side does not fit a
    # 32-bit count, and it must be refused before anything is allocated.
    return np.lib.stride_tricks.as_strided(np.zeros(1, np.uint8), shape=(1, 2**31), strides=(0, 0))


BAD_CALLS = {
    "1-d input": (lambda: np.zeros(64 * 64, np.uint8), 10, 32, "input_image", "dimensions"),
    "3-d input": (lambda: np.zeros((64, 64, 3), np.uint8), 10, 32, "input_image", "dimensions"),
    "0-d input": (lambda: np.float32(3), 10, 32, "input_image", "dimensions"),
    "region_size 0": (lambda: GOOD, 10, 0, "region_size", "got 0"),
    "region_size -3": (lambda: GOOD, 10, -3, "region_size", "got -3"),
    "percent -1": (lambda: GOOD, -1, 32, "percent", "got -1"),
    "percent 101": (lambda: GOOD, 101, 32, "percent", "got 101"),
    "too small": (lambda: np.zeros((15, 64), np.uint8), 10, 32, "input_image", "too small"),
    "too narrow": (lambda: np.zeros((64, 3), np.uint8), 10, 8, "input_image", "too small"),
    "side too long": (huge_view, 10, 32, "input_image", "longer than 2147483647"),
    "NaN": (lambda: np.where(np.eye(64, dtype=bool), np.nan, 100).astype(np.float32), 10, 32, "input_image", "nan"),
    "infinity": (lambda: np.full((64, 64), np.inf, np.float32), 10, 32, "input_image", "inf"),
    "float 256": (lambda: np.full((64, 64), 256.0, np.float32), 10, 32, "input_image", "256"),
    "float -1": (lambda: np.full((64, 64), -1.0, np.float32), 10, 32, "input_image", "-1"),
    "float64 65536": (lambda: np.full((64, 64), 65536.0), 10, 32, "input_image", "65536"),
    "int32 256": (lambda: np.full((64, 64), 256, np.int32), 10, 32, "input_image", "256"),
    "int32 65536": (lambda: np.full((64, 64), 65536, np.int32), 10, 32, "input_image", "65536"),
    "int32 -1": (lambda: np.full((64, 64), -1, np.int32), 10, 32, "input_image", "-1"),
}


@pytest.mark.parametrize("case", BAD_CALLS.values(), ids=BAD_CALLS.keys())
def test_bad_argument_raises_value_error_and_leaves_output(case, threshold):
    make_input, percent, region_size, argument, detail = case
    image = make_input()
    output = np.full(max(int(np.prod(np.shape(image)[:2])), 64 * 64), 7, np.int16)
    with pytest.raises(ValueError) as error:
        zentrel_py.AdaptiveThreshold(image, output, percent, region_size)
    message = str(error.value)
    assert message.startswith(argument) and detail in message
    assert (output == 7).all()
    # The interpreter survives and the next call works.
    result, good_output, _, _ = threshold(GOOD, percent=0, region_size=32)
    assert result is False and (good_output == 1).all()


@pytest.mark.parametrize(
    ("output", "detail"),
    [
        (np.full((64, 128), 7, np.int16)[:, ::2], "not C-contiguous"),
        (np.full((128, 64), 7, np.int16).T, "not C-contiguous"),
        (np.full(64 * 64 - 1, 7, np.int16), "4095 elements"),
    ],
    ids=["strided", "transposed", "short"],
)
def test_bad_output_raises_value_error_and_stays_unchanged(output, detail):
    with pytest.raises(ValueError, match=detail):
        zentrel_py.AdaptiveThreshold(GOOD, output, 10, 32)
    assert (output == 7).all()


@pytest.mark.parametrize("value", [-0.5, 255.9, -0.99])
def test_values_that_truncate_into_range_pass(threshold, value):
    result, output, _, _ = threshold(np.full((64, 64), value, np.float32), percent=0)
    assert result is False and (output == 1).all()


@pytest.mark.parametrize("dtype", [np.float32, np.int32, np.uint8, np.float64])
@pytest.mark.parametrize(
    "view",
    [lambda a: a.T, lambda a: a[::-1, ::-1], lambda a: a[3:-5:2, 1::3], lambda a: np.asfortranarray(a)],
    ids=["transposed", "flipped", "sliced", "fortran"],
)
def test_strided_input_equals_its_contiguous_copy(threshold, scene, dtype, view):
    image, _ = scene
    strided = view(np.pad(image, ((0, 40), (0, 100)), mode="reflect").astype(dtype))
    assert not strided.flags.c_contiguous
    expected = threshold(np.ascontiguousarray(strided), percent=20, region_size=24)
    got = threshold(strided, percent=20, region_size=24)
    assert got[0] is expected[0]
    assert np.array_equal(got[1], expected[1])
    assert got[2] == expected[2]


DTYPES = st.sampled_from([np.uint8, np.int32, np.float32, np.float64, np.int64, np.int16])


@st.composite
def calls(draw):
    dtype = draw(DTYPES)
    shape = draw(st.tuples(st.integers(1, 48), st.integers(1, 48)))
    if np.issubdtype(dtype, np.floating):
        width = 32 if dtype == np.float32 else 64
        elements = st.one_of(st.floats(-3, 260, width=width), st.sampled_from([np.nan, np.inf, -np.inf]))
    else:
        info = np.iinfo(dtype)
        elements = st.integers(max(info.min, -3), min(info.max, 300))
    # Mostly in-range images, with a chance of a stray bad value.
    base = draw(hnp.arrays(dtype, shape, elements=st.integers(0, 255).map(dtype)))
    if draw(st.booleans()):
        base[draw(st.integers(0, shape[0] - 1)), draw(st.integers(0, shape[1] - 1))] = draw(elements)
    percent = draw(st.integers(-5, 110))
    region_size = draw(st.integers(-2, 40))
    extra = draw(st.integers(0, 5))
    return base, percent, region_size, extra


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(calls())
def test_any_call_is_safe(call):
    image, percent, region_size, extra = call
    rows, cols = image.shape
    output = np.full(rows * cols + extra, 7, np.int16)
    try:
        result = zentrel_py.AdaptiveThreshold(image, output, percent, region_size)
    except (ValueError, TypeError):
        assert (output == 7).all()
        return
    head, tail = output[: rows * cols], output[rows * cols :]
    if result:
        assert np.isin(head, (0, 255)).all()
    else:
        assert (head == 1).all()
    assert (tail == 7).all()
