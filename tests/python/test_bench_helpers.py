"""The benchmark script's pure helpers: metrics, tiling, memory arithmetic, tables."""

import numpy as np
import pytest

import bench_helpers as bench


def test_quality_counts_object_pixels():
    truth = np.array([[1, 1, 0, 0]], dtype=bool)
    predicted = np.array([[1, 0, 1, 0]], dtype=bool)  # 1 TP, 1 FN, 1 FP, 1 TN
    q = bench.quality(predicted, truth)
    assert q["accuracy"] == pytest.approx(0.5)
    assert q["precision"] == pytest.approx(0.5)
    assert q["recall"] == pytest.approx(0.5)
    assert q["f_measure"] == pytest.approx(0.5)


def test_quality_perfect_and_empty_prediction():
    truth = np.array([[True, False], [False, True]])
    assert bench.quality(truth, truth) == {"accuracy": 1.0, "precision": 1.0, "recall": 1.0, "f_measure": 1.0}
    nothing = bench.quality(np.zeros_like(truth), truth)
    assert nothing["accuracy"] == 0.5 and nothing["f_measure"] == 0.0


def test_quality_rejects_mismatched_shapes():
    with pytest.raises(ValueError):
        bench.quality(np.zeros((2, 2), bool), np.zeros((2, 3), bool))


def test_tile_to_repeats_and_crops():
    picture = np.arange(6, dtype=np.uint8).reshape(2, 3)
    tiled = bench.tile_to(picture, 5)
    assert tiled.shape == (5, 5) and tiled.flags.c_contiguous
    assert tiled[0].tolist() == [0, 1, 2, 0, 1]
    assert tiled[:, 0].tolist() == [0, 3, 0, 3, 0]


def test_repeats_ratio_and_memory_arithmetic():
    assert bench.repeats_for(1024, None) == 5
    assert bench.repeats_for(4096, None) == 3
    assert bench.repeats_for(4096, 7) == 7
    assert bench.ratio(2.0, 4.0) == 0.5
    assert bench.ratio(None, 1.0) is None and bench.ratio(1.0, 0.0) is None
    assert bench.rss_delta_bytes_per_pixel(1000, 1016, 1024) == 16.0


def test_format_table_aligns_columns():
    table = bench.format_table(["image", "s"], [["moon", "0.5000"], ["scene", "12.000"]])
    lines = table.splitlines()
    assert lines[0] == "image       s"
    assert lines[2] == "moon   0.5000"  # text left, numbers right
    assert lines[3] == "scene  12.000"
    with pytest.raises(ValueError):
        bench.format_table(["a"], [["1", "2"]])


def test_fmt_cells():
    assert bench.fmt(None) == "-"
    assert bench.fmt(0.01234) == "0.0123"
    assert bench.fmt(0.0125, "ms") == "12.5"
    assert bench.fmt(1.5, "x") == "1.50"


def test_rows_from_a_case():
    case = {
        "image": "scene", "size": 64, "percent": 10, "region_size": 32, "ours_passed": False,
        "seconds": {m: 0.1 for m in bench.METHODS},
        "ratios": {m: 1.0 for m in bench.PEER_METHODS},
        "stage_seconds": {s: 0.001 for s in bench.STAGES},
        "region_analysis": {"one_thread_seconds": 0.002, "all_threads_seconds": 0.001, "speedup": 2.0},
        "memory": {"bytes_per_pixel": 3.0},
        "quality": {"ours": None, "cv_gauss": {"accuracy": 0.9, "f_measure": 0.8}},
    }
    headers, rows = bench.timing_rows([case])
    assert len(rows[0]) == len(headers) and rows[0][4] == "NO"
    headers, rows = bench.detail_rows([case])
    assert len(rows[0]) == len(headers)
    assert rows[0][headers.index("ours acc/F")] == "-"
    assert rows[0][headers.index("cv-gauss acc/F")] == "0.900/0.800"
    assert rows[0][headers.index("speedup")] == "2.00"
