"""The OCR benchmark (bench/ocr.py, bench/ocrbench): its scoring rules, and one small run through Tesseract."""

import json

import pytest

import ocr
from ocrbench import scoring, tesseract


@pytest.mark.parametrize(
    "page, box, missed",
    [
        ("TOTAL  12.00\nthanks", "Total 12.00", False),  # case and spaces do not count
        ("Totall2.00", "Total 12.00", True),  # one character wrong is a miss
        ("ab\ncd", "bc", True),  # never found across a line break
        ("\ufb01ne", "FINE", False),  # the ligature reads as its letters
    ],
)
def test_box_found_rule(page, box, missed):
    assert scoring.page_misses(page, [box]) == [missed]


@pytest.mark.parametrize("text, scored", [("", False), (" - . ", False), ("$1", True), ("é", True)])
def test_only_boxes_with_a_letter_or_digit_are_scored(text, scored):
    assert scoring.eligible(text) == scored


@pytest.mark.parametrize(
    "ocr_text, truth, expected",
    [
        ("abd", "abc", (1, 3)),
        ("A B\nC", "abc", (0, 3)),
        ("", "abc", (3, 3)),
        ("xabc", "abc", (1, 3)),
        ("kitten", "sitting", (3, 7)),
    ],
)
def test_box_errors(ocr_text, truth, expected):
    assert scoring.box_errors(ocr_text, truth) == expected


def test_sample_is_spread_and_capped():
    assert scoring.sample(10, 3) == [1, 5, 8]
    assert scoring.sample(3, 5) == scoring.sample(3, None) == [0, 1, 2]


@pytest.mark.skipif(tesseract.version() is None, reason=tesseract.INSTALL_HINT)
def test_run_on_a_generated_page(tmp_path):
    from PIL import Image, ImageDraw, ImageFont

    scale = 3
    small = Image.new("L", (120, 40), 255)
    draw = ImageDraw.Draw(small)
    font = ImageFont.load_default()
    boxes = []
    for (x, y), printed, truth in [((8, 6), "HELLO", "HELLO"), ((8, 22), "World 42", "WORLD42")]:
        draw.text((x, y), printed, fill=0, font=font)
        boxes.append([v * scale for v in draw.textbbox((x, y), printed, font=font)] + [truth])
    boxes.append(boxes[0][:4] + ["HELLD"])  # the label is wrong by one letter
    boxes.append([90, 60, 120, 90, "--"])  # punctuation only: not scored
    small.resize((120 * scale, 40 * scale), Image.BICUBIC).save(tmp_path / "page.png")
    (tmp_path / "page.boxes.json").write_text(json.dumps(boxes))
    (tmp_path / "manifest.json").write_text(json.dumps([{"set": "made", "image": "page.png",
                                                         "boxes": "page.boxes.json"}]))

    def run():
        out = tmp_path / "ocr.json"
        assert ocr.main([str(tmp_path / "manifest.json"), "--methods", "none", "--json", str(out),
                         "--cache", str(tmp_path / "cache.json")]) == 0
        return json.loads(out.read_text())

    first = run()
    image = first["images"][0]
    assert image["page"]["none"]["missed"] == 1 and image["page"]["none"]["boxes"] == 3
    assert image["box"]["none"]["cer"] == pytest.approx(1 / 17)  # HELLO 5, world42 7, HELLD 5 (1 edit)
    assert first["tesseract_reads"] == 4  # the page and three boxes
    again = run()
    assert again["tesseract_reads"] == 0 and again["images"][0]["box"] == image["box"]
