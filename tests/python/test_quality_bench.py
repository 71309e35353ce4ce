"""The quality benchmark's scene generator and metrics, and the real-data benchmark (bench/quality)."""

import json

import numpy as np
import pytest

from quality import evaluate, families, make_scene, score
from quality.metrics import PSNR_CAP, drd, nonuniform_blocks


def _truth_with_edge():
    """16 x 16, foreground in columns 0..3 of the top 8 rows: one non-uniform 8 x 8 block."""
    truth = np.zeros((16, 16), bool)
    truth[:8, :4] = True
    return truth


def test_perfect_prediction():
    truth = _truth_with_edge()
    s = score(truth.copy(), truth)
    assert s["f_measure"] == 1.0 and s["drd"] == 0.0 and s["accuracy"] == 1.0
    assert s["psnr"] == PSNR_CAP


@pytest.mark.parametrize(
    "pixel, expected",
    [
        # Far from the edge: all 24 neighbours disagree with the flipped value, so the whole weight (1).
        ((12, 12), 1.0),
        # Right of the edge at column 4: the 10 neighbours in columns 2-3 agree with it. The rest
        # sum to 3 + (1 + 2/sqrt2 + 2/sqrt5) + (1/2 + 2/sqrt5 + 2/sqrt8) = 8.41017 of the total 13.82046.
        ((2, 4), 8.41017 / 13.82046),
    ],
)
def test_drd_of_one_flipped_pixel(pixel, expected):
    truth = _truth_with_edge()
    assert nonuniform_blocks(truth) == 1
    pred = truth.copy()
    pred[pixel] = ~pred[pixel]
    assert drd(pred, truth) == pytest.approx(expected, rel=1e-5)


def test_score_counts_errors():
    truth = np.array([[1, 1, 0, 0]], bool)
    s = score(np.array([[1, 0, 1, 0]], bool), truth)  # 1 TP, 1 FN, 1 FP, 1 TN
    assert s["f_measure"] == pytest.approx(0.5) and s["accuracy"] == pytest.approx(0.5)
    assert s["psnr"] == pytest.approx(10 * np.log10(2))
    assert score(np.zeros_like(truth), truth)["f_measure"] == 0.0
    with pytest.raises(ValueError):
        score(np.zeros((2, 2), bool), np.zeros((2, 3), bool))


@pytest.mark.parametrize("family", families())
def test_scenes_are_deterministic_with_both_classes(family):
    image, truth, params = make_scene(family, 5, (96, 128))
    assert image.dtype == np.uint8 and image.shape == (96, 128)
    assert truth.dtype == bool and truth.any() and (~truth).any()
    assert params["objects"] in ("dark", "bright")
    again, truth_again, _ = make_scene(family, 5, (96, 128))
    assert np.array_equal(image, again) and np.array_equal(truth, truth_again)
    other, _, _ = make_scene(family, 6, (96, 128))
    assert not np.array_equal(image, other)


def test_evaluate_scores_failures_as_background():
    def broken(image):
        raise RuntimeError("no")

    out = evaluate(broken, "objects", [1, 2], shape=(64, 64))
    assert out["failures"] == 2 and out["f_measure"] == 0.0 and out["scenes"] == 2
    truthful = evaluate(lambda im: make_scene("objects", 1, (64, 64))[1], "objects", [1], shape=(64, 64))
    assert truthful["f_measure"] == 1.0 and truthful["failures"] == 0


def _write_manifest(root, with_fovmask):
    """Two 16 x 16 pictures: dark objects in colour, and bright ones with a bright rim outside the field of view."""
    from PIL import Image

    page = np.full((16, 16, 3), 200, np.uint8)
    page[4:8, 4:8] = (40, 60, 80)  # luma 56
    page_gt = np.full((16, 16), 255, np.uint8)
    page_gt[4:8, 4:8] = 0
    cells = np.full((16, 16), 30, np.uint8)
    cells[8:12, 8:12] = 200
    cells[:2] = 200  # not an object: outside the field of view
    cells_gt = np.where(cells == 200, 255, 0).astype(np.uint8)
    cells_gt[:2] = 0
    fov = np.full((16, 16), 255, np.uint8)
    fov[:2] = 0
    files = {"page_img.png": page, "page_gt.png": page_gt, "cells_img.png": cells, "cells_gt.png": cells_gt}
    if with_fovmask:
        files["cells_fovmask.png"] = fov
    for name, values in files.items():
        Image.fromarray(values).save(root / name)
    manifest = [
        {"set": "docs", "image": "page_img.png", "gt": "page_gt.png", "gt_foreground": "black",
         "image_objects": "dark"},
        {"set": "cells", "image": "cells_img.png", "gt": "cells_gt.png", "gt_foreground": "white",
         "image_objects": "bright"},
    ]
    (root / "manifest.json").write_text(json.dumps(manifest))
    return root / "manifest.json"


@pytest.mark.parametrize(
    "with_fovmask, cells_f",
    [
        (True, 1.0),
        # Otsu on the negative finds the 16 object pixels and the 32 of the rim: F = 2*16 / (48 + 16).
        (False, 0.5),
    ],
)
def test_real_benchmark_scores_inside_the_field_of_view_and_caches_peers(tmp_path, with_fovmask, cells_f):
    pytest.importorskip("skimage")
    from quality import real

    manifest = _write_manifest(tmp_path, with_fovmask)
    out, cache = tmp_path / "real.json", tmp_path / "cache.json"

    def run():
        real.main([str(manifest), "--peers", "sk-otsu", "--workers", "1", "--no-montage",
                   "--json", str(out), "--cache", str(cache)])
        return json.loads(out.read_text())

    first = run()
    page = first["sets"]["docs"]["per_picture"]["page_img.png"]["sk-otsu (def)"]
    assert (page["f_measure"], page["drd"], page["psnr"]) == (1.0, 0.0, 100.0)
    cells = first["sets"]["cells"]["methods"]["sk-otsu (def)"]
    assert cells["f_measure"] == pytest.approx(cells_f) and cells["recall"] == 1.0
    assert first["peer_runs_computed"] == 2 and "zentrel" in first["sets"]["cells"]["methods"]
    assert run()["peer_runs_computed"] == 0
    (tmp_path / "cells_img.png").write_bytes((tmp_path / "cells_img.png").read_bytes() + b"\0")
    assert run()["peer_runs_computed"] == 1


def test_real_benchmark_scores_a_peer_that_kills_its_process_as_a_failure(tmp_path, monkeypatch):
    pytest.importorskip("skimage")
    import os

    from quality import real
    from quality.peers import Peer

    crash = Peer("crash", "scikit-image", lambda image: os._exit(3))
    monkeypatch.setattr(real, "PEERS", (crash,) + tuple(p for p in real.PEERS if p.name == "sk-otsu"))
    out = tmp_path / "real.json"
    real.main([str(_write_manifest(tmp_path, True)), "--workers", "1", "--no-montage", "--json", str(out),
               "--cache", str(tmp_path / "cache.json")])
    docs = json.loads(out.read_text())["sets"]["docs"]["methods"]
    assert docs["crash (def)"]["failures"] == 1 and docs["crash (def)"]["f_measure"] == 0.0
    assert docs["sk-otsu (def)"]["f_measure"] == 1.0


def test_harms_keep_to_their_part_of_the_page():
    """Paper 200, ink 50 (c = 150): bleed-through darkens the paper only, by at most 0.4 c = 60, where
    the back's ink lies mirrored; every harm repeats for a seed."""
    from quality.degrade import KINDS, contrast, degrade

    page = np.full((40, 40), 200, np.uint8)
    ink = np.zeros((40, 40), bool)
    ink[10:20, 10:30] = True
    page[ink] = 50
    back = np.zeros((40, 40), bool)
    back[:, :20] = True  # mirrored, it shows on the right half
    assert contrast(page, ink) == 150.0
    bled = degrade("bleed", page, ink, seed=0, back=back).astype(int)
    assert (bled[ink] == 50).all() and (bled[:, :3] == 200).all()  # the ink, and paper far from the back's
    assert (bled[:, 35:] == 200 - 60).all() and bled[~ink].min() == 200 - 60
    assert (degrade("bleed", page, ink, seed=0, back=back, bleed_depth=0.6)[:, 35:] == 200 - 90).all()
    for kind in KINDS:
        assert np.array_equal(degrade(kind, page, ink, seed=3, back=back), degrade(kind, page, ink, seed=3, back=back))
    assert not np.array_equal(degrade("stain", page, ink, seed=1), degrade("stain", page, ink, seed=2))
    with pytest.raises(ValueError, match="back"):
        degrade("bleed", page, ink, seed=0)


def test_stress_benchmark_runs_on_the_dark_pages(tmp_path):
    pytest.importorskip("skimage")
    pytest.importorskip("scipy")
    from quality import stress

    manifest = _write_manifest(tmp_path, with_fovmask=False)
    out = tmp_path / "stress.json"
    assert stress.main([str(manifest), "--peers", "sk-otsu", "--workers", "1", "--json", str(out)]) == 0
    result = json.loads(out.read_text())
    assert result["sets"] == ["docs"] and result["methods"] == ["zentrel", "sk-otsu"]
    assert result["pages"][0]["scores"]["none|sk-otsu"]["f_measure"] == 1.0


def test_halves_are_whole_sets_and_sweeps_start_from_the_default():
    from quality import real, sweep
    from quality.realdata import HALVES, in_half

    entries = [{"set": s} for s in ("dibco2009", "phibd", "elsewhere")]
    assert [e["set"] for e in in_half(entries, "tune")] == ["dibco2009"]
    assert [e["set"] for e in in_half(entries, "check")] == ["phibd"]
    assert not set(HALVES["tune"]) & set(HALVES["check"])
    with pytest.raises(ValueError, match="half"):
        in_half(entries, "both")
    labels = [label for label, _ in sweep.variants("faint_ratio", [0.35, 0.55], {})]
    assert labels == ["0.45*", "0.35", "0.55"]
    assert sweep.parse_value("inf") == float("inf") and sweep.parse_value("(1, 2)") == (1, 2)
    with pytest.raises(SystemExit, match="not a field"):
        sweep.variants("no_such_number", [1], {})
    name, set_name, image, reference = sweep.load(("scene", "documents", 3))
    assert (name, set_name, image.shape) == ("documents 3", "documents", sweep.GENERATED_SHAPE)
    assert reference.score(reference.truth)["f_measure"] == 1.0
    # zentrel F 0.2 against a peer's 0.5 is under half; 0.3 against 0.5 is not.
    pictures = {"a": {"zentrel": {"f_measure": 0.2}, "p (def)": {"f_measure": 0.5}},
                "b": {"zentrel": {"f_measure": 0.3}, "p (def)": {"f_measure": 0.5}}}
    assert real.under_half(pictures, "p (def)") == ["a"]


def test_sweep_comment_quotes_halves_moving_sets_and_pictures_under_half():
    from quality import sweep

    # dibco2009 (tune) moves 0.80 -> 0.81 / 0.79; phibd (check) moves 0.002 only.
    by_set = {"dibco2009": [("a", [0.80, 0.81, 0.79])], "phibd": [("b", [0.900, 0.902, 0.900])]}
    line = sweep.comment(["1.0*", "2.0", "3.0"], by_set, {"a": 1.7}, "2026-12-08")
    assert line == ("(2026-12-08; tune/check half mean F: 1.0* 0.800/0.900, 2.0 0.810/0.902, 3.0 0.790/0.900; "
                    "sets moving 0.005 or more: dibco2009 0.800 -> 0.810 / 0.790; "
                    "pictures under half the best peer: 1 / 1 / 1)")
