"""A picture of several methods' results on scikit-image's sample pictures."""

from __future__ import annotations

import numpy as np

__all__ = ["PICTURES", "DOCUMENT_PICTURES", "load_pictures", "montage"]

PICTURES = ("camera", "coins", "page", "checkerboard", "astronaut", "hubble_deep_field",
            "microaneurysms", "moon", "clock", "brick", "text")
# Pictures of printed text; the others are photographs of things.
DOCUMENT_PICTURES = ("page", "text")


def grey(image: np.ndarray) -> np.ndarray:
    """uint8 grey: colour becomes BT.601 luma, as zentrel's command line does."""
    image = np.asarray(image)
    if image.ndim == 3:
        luma = image[..., :3].astype(np.float64) @ np.array([0.299, 0.587, 0.114])
        image = np.rint(luma)
    return np.clip(image, 0, 255).astype(np.uint8)


def load_pictures(names=PICTURES) -> tuple[list[tuple[str, np.ndarray]], list[str]]:
    """(name, uint8 grey image) of each bundled picture that loads, and the names that did not."""
    import skimage.data

    loaded, skipped = [], []
    for name in names:
        try:
            loaded.append((name, grey(getattr(skimage.data, name)())))
        except Exception:  # a missing or undownloadable picture is skipped, not fatal
            skipped.append(name)
    return loaded, skipped


def _fit(image: np.ndarray, tile: int, fill: int):
    from PIL import Image

    pic = Image.fromarray(image)
    scale = tile / max(pic.size)
    pic = pic.resize((max(1, round(pic.width * scale)), max(1, round(pic.height * scale))), Image.LANCZOS)
    canvas = Image.new("L", (tile, tile), fill)
    canvas.paste(pic, ((tile - pic.width) // 2, (tile - pic.height) // 2))
    return canvas


def montage(rows, columns, path, tile: int = 150) -> None:
    """Save a grid: one row per picture, its input then each method's foreground in black.

    ``rows`` is a list of (picture name, image, [mask or None per column]);
    a None mask (the method failed) is drawn as a grey tile with a cross.
    """
    from PIL import Image, ImageDraw, ImageFont

    font = ImageFont.load_default()
    label_w, head_h, gap = 110, 28, 4
    width = label_w + (len(columns) + 1) * (tile + gap)
    height = head_h + len(rows) * (tile + gap)
    sheet = Image.new("L", (width, height), 255)
    draw = ImageDraw.Draw(sheet)
    for j, title in enumerate(["input"] + list(columns)):
        draw.text((label_w + j * (tile + gap) + 2, 8), title, fill=0, font=font)
    for i, (name, image, masks) in enumerate(rows):
        y = head_h + i * (tile + gap)
        draw.text((4, y + tile // 2 - 6), name, fill=0, font=font)
        sheet.paste(_fit(image, tile, 200), (label_w, y))
        for j, mask in enumerate(masks, start=1):
            x = label_w + j * (tile + gap)
            if mask is None:
                sheet.paste(Image.new("L", (tile, tile), 160), (x, y))
                draw.line([(x, y), (x + tile, y + tile)], fill=60, width=2)
                draw.line([(x + tile, y), (x, y + tile)], fill=60, width=2)
                draw.text((x + 4, y + 4), "failed", fill=0, font=font)
            else:
                sheet.paste(_fit(np.where(mask, 0, 255).astype(np.uint8), tile, 200), (x, y))
    sheet.save(path, optimize=True)
