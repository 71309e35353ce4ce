"""Generated scenes with exact ground truth, in four families.

Every scene is built from its own random generator, seeded by the family name
and the seed, so ``make_scene(family, seed, shape)`` always returns the same
image. The foreground mask is exact: shapes are drawn from signed distances
(a pixel is foreground where its centre lies inside) and text from its ink
coverage at four times the resolution (foreground where coverage >= 0.5). The
grey image then passes through what a camera or scanner adds: uneven light,
texture, shadows, blur and noise. Shadows, stains, bleed-through and haze
are background.

Each scene has one object polarity: all its objects are darker than their
ground, or all brighter (``params["objects"]`` says which).

Only numpy and Pillow (for text) are needed.
"""

from __future__ import annotations

import functools
import math
import os
import string
import zlib
from pathlib import Path

import numpy as np

__all__ = ["FAMILIES", "families", "make_scene"]

FAMILIES = ("documents", "objects", "fluorescence", "low_contrast")
SUPERSAMPLE = 4  # text is drawn at this many times the final resolution


def families() -> tuple[str, ...]:
    """The scene family names, in report order."""
    return FAMILIES


def make_scene(family: str, seed: int, shape: tuple[int, int] = (512, 512)):
    """One scene: (uint8 image, bool foreground mask, dict of the drawn parameters)."""
    if family not in _MAKERS:
        raise ValueError(f"unknown family {family!r}; choose from {', '.join(FAMILIES)}")
    rows, cols = (int(v) for v in shape)
    if rows < 32 or cols < 32:
        raise ValueError(f"shape {shape}: scenes need at least 32 x 32 pixels")
    rng = np.random.default_rng([zlib.crc32(family.encode()), int(seed)])
    grey, truth, params = _MAKERS[family](rng, (rows, cols))
    image = np.clip(np.rint(grey), 0, 255).astype(np.uint8)
    params = {k: (round(float(v), 4) if isinstance(v, (float, np.floating)) else v) for k, v in params.items()}
    params.update(family=family, seed=int(seed), foreground_share=round(float(truth.mean()), 4))
    return image, truth, params


# ------------------------------------------------------------------ fields

def smooth_field(rng, shape, cycles: float, waves: int = 8) -> np.ndarray:
    """A random smooth field of zero mean and unit standard deviation.

    A sum of ``waves`` plane cosines whose spatial frequencies reach
    ``cycles`` periods across the image; computed as outer products, so it
    costs a few passes over the image.
    """
    rows, cols = shape
    y = np.arange(rows, dtype=np.float32)[:, None] / max(rows, cols)
    x = np.arange(cols, dtype=np.float32)[None, :] / max(rows, cols)
    field = np.zeros(shape, np.float32)
    for _ in range(waves):
        fy, fx = rng.uniform(-cycles, cycles, 2) * 2 * np.pi
        phase = rng.uniform(0, 2 * np.pi)
        amp = rng.uniform(0.5, 1.0)
        # cos(a + b) = cos a cos b - sin a sin b keeps every term an outer product.
        field += amp * (np.cos(fy * y + phase) * np.cos(fx * x) - np.sin(fy * y + phase) * np.sin(fx * x))
    std = float(field.std())
    return field / std if std > 0 else field


def gaussian_blur(image: np.ndarray, sigma: float) -> np.ndarray:
    """Separable Gaussian blur with mirrored borders (float32)."""
    image = np.asarray(image, np.float32)
    if sigma <= 0:
        return image
    radius = max(1, int(math.ceil(3 * sigma)))
    taps = np.exp(-0.5 * (np.arange(-radius, radius + 1) / sigma) ** 2).astype(np.float32)
    taps /= taps.sum()
    out = image
    for axis in (0, 1):
        n = out.shape[axis]
        r = min(radius, n - 1)
        pad = [(0, 0), (0, 0)]
        pad[axis] = (r, r)
        padded = np.pad(out, pad, mode="symmetric")
        acc = np.zeros_like(out)
        for i, w in enumerate(taps[radius - r: radius + r + 1]):
            acc += w * (padded[i: i + n, :] if axis == 0 else padded[:, i: i + n])
        out = acc
    return out


def _grid(shape):
    rows, cols = shape
    return (np.arange(rows, dtype=np.float32)[:, None], np.arange(cols, dtype=np.float32)[None, :])


def _linear_light(rng, shape, low: float) -> np.ndarray:
    """Light falling linearly from 1 to ``low`` along a random direction."""
    yy, xx = _grid(shape)
    angle = rng.uniform(0, 2 * np.pi)
    t = np.cos(angle) * xx + np.sin(angle) * yy
    t = (t - t.min()) / max(float(t.max() - t.min()), 1.0)
    return (1.0 - (1.0 - low) * t).astype(np.float32)


def _lamp(rng, shape, low: float) -> np.ndarray:
    """A lamp's pool of light: 1 at its centre (maybe off the image) down to ``low``."""
    rows, cols = shape
    yy, xx = _grid(shape)
    cy, cx = rng.uniform(-0.3, 1.3) * rows, rng.uniform(-0.3, 1.3) * cols
    spread = rng.uniform(0.5, 1.1) * math.hypot(rows, cols)
    fall = np.exp(-((yy - cy) ** 2 + (xx - cx) ** 2) / (2 * spread**2))
    return (low + (1 - low) * fall).astype(np.float32)


def _vignette(shape, strength: float) -> np.ndarray:
    rows, cols = shape
    yy, xx = _grid(shape)
    r2 = ((yy - (rows - 1) / 2) / (rows / 2)) ** 2 + ((xx - (cols - 1) / 2) / (cols / 2)) ** 2
    return (1.0 - strength * r2 / 2).astype(np.float32)


# ------------------------------------------------------------------ shapes

def _place(rng, shape, target_share: float, radius_range, kinds, max_count=400, gap=2.0):
    """Object outlines placed at random with little overlap until they cover ``target_share``."""
    rows, cols = shape
    lo, hi = radius_range
    placed, area = [], 0.0
    for _ in range(max_count * 4):
        if area >= target_share * rows * cols or len(placed) >= max_count:
            break
        r = float(np.exp(rng.uniform(np.log(lo), np.log(hi))))
        obj = {"r": r, "kind": kinds[rng.integers(len(kinds))], "angle": rng.uniform(0, np.pi)}
        if obj["kind"] == "blob":
            obj["harmonics"] = [(k, rng.uniform(0, 0.3 / k ** 0.7), rng.uniform(0, 2 * np.pi)) for k in range(2, 6)]
        elif obj["kind"] == "rect":
            obj["aspect"] = rng.uniform(0.45, 1.0)
            obj["round"] = rng.uniform(0.1, 0.6)
        else:
            obj["aspect"] = rng.uniform(0.7, 1.0) if obj["kind"] == "ellipse" else 1.0
        for _ in range(20):
            cy, cx = rng.uniform(-0.05, 1.05) * rows, rng.uniform(-0.05, 1.05) * cols
            if all(math.hypot(cy - o["cy"], cx - o["cx"]) > r + o["r"] + gap for o in placed):
                obj.update(cy=cy, cx=cx)
                placed.append(obj)
                area += math.pi * r * r * obj.get("aspect", 1.0)
                break
    return placed


def _signed_distance(obj, dy, dx) -> np.ndarray:
    """Distance in pixels outside the outline (negative inside)."""
    r, kind = obj["r"], obj["kind"]
    c, s = math.cos(obj["angle"]), math.sin(obj["angle"])
    u, v = c * dx + s * dy, -s * dx + c * dy
    if kind == "disc":
        return np.sqrt(u * u + v * v) - r
    if kind == "ellipse":
        # Scaling the minor axis back to a circle: exact on the outline, close near it.
        b = r * obj["aspect"]
        return (np.sqrt(u * u + (v * r / b) ** 2) - r) * (b / r + 1) / 2
    if kind == "rect":
        a, b = r, r * obj["aspect"]
        rr = obj["round"] * b
        qx, qy = np.abs(u) - a + rr, np.abs(v) - b + rr
        outside = np.sqrt(np.maximum(qx, 0) ** 2 + np.maximum(qy, 0) ** 2)
        return outside + np.minimum(np.maximum(qx, qy), 0) - rr
    # blob: a disc whose radius wanders with the angle
    theta = np.arctan2(v, u)
    radius = np.full_like(theta, r)
    for k, a, phase in obj["harmonics"]:
        radius += r * a * np.cos(k * theta + phase)
    return np.sqrt(u * u + v * v) - radius


def _paint(base, truth, objects, value_of, extra_cover=None):
    """Draw each object over ``base`` with an anti-aliased edge; mark its inside in ``truth``.

    ``value_of(obj, dy, dx, d, box)`` gives the object's grey values on its box
    (``box`` is the pair of slices it covers, ``dy, dx`` the offsets from the
    centre, ``d`` the signed distance).
    ``extra_cover`` (optional float array) receives the objects' coverage.
    """
    rows, cols = base.shape
    for obj in objects:
        ext = obj["r"] * 1.6 + 3
        y0, y1 = max(0, int(obj["cy"] - ext)), min(rows, int(obj["cy"] + ext) + 1)
        x0, x1 = max(0, int(obj["cx"] - ext)), min(cols, int(obj["cx"] + ext) + 1)
        if y0 >= y1 or x0 >= x1:
            continue
        dy = np.arange(y0, y1, dtype=np.float32)[:, None] - np.float32(obj["cy"])
        dx = np.arange(x0, x1, dtype=np.float32)[None, :] - np.float32(obj["cx"])
        d = _signed_distance(obj, dy, dx)
        alpha = np.clip(0.5 - d, 0.0, 1.0)
        box = base[y0:y1, x0:x1]
        box += alpha * (value_of(obj, dy, dx, d, (slice(y0, y1), slice(x0, x1))) - box)
        truth[y0:y1, x0:x1] |= d <= 0
        if extra_cover is not None:
            np.maximum(extra_cover[y0:y1, x0:x1], alpha, out=extra_cover[y0:y1, x0:x1])


def _noise(rng, image, sigma):
    return image + rng.normal(0.0, sigma, image.shape).astype(np.float32)


# ------------------------------------------------------------------ documents

_LETTERS = string.ascii_lowercase
# Rough English letter frequencies, so words have a familiar texture.
_FREQ = np.array([8.2, 1.5, 2.8, 4.3, 12.7, 2.2, 2.0, 6.1, 7.0, 0.2, 0.8, 4.0, 2.4,
                  6.7, 7.5, 1.9, 0.1, 6.0, 6.3, 9.1, 2.8, 1.0, 2.4, 0.2, 2.0, 0.1])
_FREQ = _FREQ / _FREQ.sum()


@functools.lru_cache(maxsize=1)
def truetype_fonts() -> tuple[str, ...]:
    """DejaVu TrueType files from Debian's fonts or matplotlib's bundle; may be empty."""
    dirs = [Path("/usr/share/fonts/truetype/dejavu")]
    try:
        import matplotlib

        dirs.append(Path(matplotlib.__file__).parent / "mpl-data" / "fonts" / "ttf")
    except ImportError:
        pass
    names = ("DejaVuSans.ttf", "DejaVuSerif.ttf", "DejaVuSans-Bold.ttf", "DejaVuSerif-Bold.ttf",
             "DejaVuSansMono.ttf", "DejaVuSerif-Italic.ttf", "DejaVuSansCondensed.ttf")
    found = {}
    for d in dirs:
        for n in names:
            if n not in found and (d / n).is_file():
                found[n] = str(d / n)
    return tuple(found[n] for n in names if n in found)


def _word(rng) -> str:
    n = int(rng.choice([1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 7, 8, 9, 11]))
    w = "".join(rng.choice(list(_LETTERS), size=n, p=_FREQ))
    roll = rng.random()
    if roll < 0.12:
        w = w.capitalize()
    elif roll < 0.15:
        w = w.upper()
    elif roll < 0.19:
        w = str(int(rng.integers(1, 10000)))
    if rng.random() < 0.1:
        w += str(rng.choice(list(",.;:")))
    return w


def _text_layer(rng, shape, fonts, density: float):
    """Ink coverage (0..1) of a page of random text, at the final resolution."""
    from PIL import Image, ImageDraw, ImageFont

    rows, cols = shape
    S = SUPERSAMPLE
    page = Image.new("L", (cols * S, rows * S), 0)
    draw = ImageDraw.Draw(page)
    bitmap = ImageFont.load_default_imagefont() if hasattr(ImageFont, "load_default_imagefont") else ImageFont.load_default()
    margin = int(rng.uniform(0.03, 0.1) * cols)
    two_columns = cols >= 384 and rng.random() < 0.3
    col_width = (cols - 2 * margin) // (2 if two_columns else 1)
    columns = [(margin + i * col_width, margin + (i + 1) * col_width - (8 if two_columns else 0))
               for i in range(2 if two_columns else 1)]
    y = margin + rng.uniform(-0.5, 1.5) * margin
    while y < rows - margin:
        if rng.random() > density:  # leave a gap in the page
            y += rng.uniform(10, 40)
            continue
        heading = rng.random() < 0.15
        use_bitmap = not fonts or rng.random() < 0.25
        size = rng.uniform(22, 44) if heading else rng.uniform(10, 22)
        if use_bitmap:
            zoom = int(rng.choice([S, S + S // 2, 2 * S])) if not heading else 3 * S
            line_h = 13 * zoom / S
        else:
            font = ImageFont.truetype(fonts[rng.integers(len(fonts))], int(size * S))
            line_h = size * rng.uniform(1.15, 1.6)
        n_lines = 1 if heading else int(rng.integers(2, 9))
        for _ in range(n_lines):
            if y + line_h > rows - margin / 2:
                break
            for left, right in columns:
                x = left + (rng.uniform(0, 3) * line_h if rng.random() < 0.15 else 0)
                end = right - (rng.uniform(0, 0.6) * (right - left) if rng.random() < 0.2 else 0)
                words = []
                while True:
                    words.append(_word(rng))
                    text = " ".join(words)
                    width = (bitmap.getlength(text) * zoom / S) if use_bitmap else font.getlength(text) / S
                    if x + width > end:
                        words.pop()
                        break
                text = " ".join(words)
                if not text:
                    continue
                if use_bitmap:
                    small = Image.new("L", (max(1, int(bitmap.getlength(text)) + 2), 14), 0)
                    ImageDraw.Draw(small).text((1, 1), text, font=bitmap, fill=255)
                    big = small.resize((small.width * zoom, small.height * zoom), Image.NEAREST)
                    page.paste(255, (int(x * S), int(y * S)), big)
                else:
                    draw.text((x * S, y * S), text, font=font, fill=255)
            y += line_h
        if rng.random() < 0.12:  # a ruled line under the block
            t = rng.uniform(1.0, 3.0) * S
            ry = int((y + 4) * S)
            draw.rectangle([margin * S, ry, (cols - margin) * S, ry + int(t)], fill=255)
            y += 8
        y += rng.uniform(0.3, 1.5) * line_h
    cover = np.asarray(page.reduce(S), dtype=np.float32) / 255.0
    return cover


def _documents(rng, shape):
    rows, cols = shape
    fonts = truetype_fonts()
    cover = _text_layer(rng, shape, fonts, density=rng.uniform(0.6, 0.95))
    truth = cover >= 0.5
    paper = rng.uniform(150, 230)
    ink = rng.uniform(30, 60) if rng.random() < 0.8 else rng.uniform(60, 105)
    # Paper: slow blotches and fine fibre grain.
    tex = rng.uniform(2, 8)
    refl = paper + tex * smooth_field(rng, shape, cycles=rng.uniform(2, 6))
    refl += rng.uniform(1, 4) * gaussian_blur(rng.normal(0, 1, shape), 0.8) * 2
    bleed = rng.random() < 0.6
    bleed_strength = 0.0
    if bleed:
        back = _text_layer(rng, shape, fonts, density=rng.uniform(0.5, 0.9))[:, ::-1]
        back = gaussian_blur(back, rng.uniform(0.6, 1.8))
        bleed_strength = rng.uniform(0.08, 0.3)
        refl -= bleed_strength * (paper - ink) * back
    ink_map = ink + rng.uniform(0, 10) * smooth_field(rng, shape, cycles=rng.uniform(3, 10))
    refl = refl * (1 - cover) + ink_map * cover
    light_low = rng.uniform(0.6, 0.97)
    light = _linear_light(rng, shape, light_low)
    vignette = rng.uniform(0.0, 0.35)
    light *= _vignette(shape, vignette)
    fold = rng.random() < 0.5
    fold_depth = 0.0
    if fold:
        yy, xx = _grid(shape)
        vertical = rng.random() < 0.6
        pos = rng.uniform(0.2, 0.8) * (cols if vertical else rows)
        tilt = np.tan(rng.uniform(-0.15, 0.15))
        dist = (xx - pos - tilt * yy) if vertical else (yy - pos - tilt * xx)
        width = rng.uniform(4, 25)
        fold_depth = rng.uniform(0.15, 0.45)
        crease = fold_depth * np.exp(-0.5 * (dist / width) ** 2)
        side = rng.uniform(0.0, 0.12) / (1 + np.exp(-dist / (3 * width)))  # page bends away on one side
        light *= (1 - crease - side).astype(np.float32)
    blur = rng.uniform(0.3, 1.1)
    noise = rng.uniform(2, 8)
    image = _noise(rng, gaussian_blur(refl * light, blur), noise)
    params = dict(objects="dark", paper=paper, ink=ink, texture=tex, bleed_through=bleed,
                  bleed_strength=bleed_strength, light_low=light_low, vignette=vignette, fold=fold,
                  fold_depth=fold_depth, blur=blur, noise=noise, truetype_fonts=len(fonts))
    return image, truth, params


# ------------------------------------------------------------------ objects on a table

def _objects(rng, shape):
    dim_table = rng.random() < 0.5
    if dim_table:
        table = rng.uniform(30, 70)
        bright = rng.random() < 0.8
    else:
        table = rng.uniform(150, 225)
        bright = rng.random() < 0.2
    sign = 1.0 if bright else -1.0
    room = (250 - table) if bright else (table - 8)
    contrast = rng.uniform(min(20.0, room), min(140.0, room))
    r_lo = rng.uniform(4, 20)
    r_hi = rng.uniform(max(r_lo * 1.5, 12), 75)
    kinds = [k for k in ("disc", "rect", "blob", "ellipse") if rng.random() < 0.7] or ["disc"]
    objects = _place(rng, shape, rng.uniform(0.1, 0.35), (r_lo, r_hi), kinds, gap=rng.uniform(1, 10))
    grain = smooth_field(rng, shape, cycles=rng.uniform(8, 30))
    table_tex = rng.uniform(1, 6)
    base = table + table_tex * smooth_field(rng, shape, cycles=rng.uniform(1, 5)) + table_tex * 0.5 * grain
    relief = smooth_field(rng, shape, cycles=rng.uniform(20, 50))
    relief_amp = rng.uniform(0.0, 0.15)
    shadow_strength = rng.uniform(0.15, 0.5) if rng.random() < 0.6 else 0.0
    if shadow_strength and objects:
        cover = np.zeros(shape, np.float32)
        off = rng.uniform(2, 10, 2) * rng.choice([-1, 1], 2)
        shadows = [dict(o, cy=o["cy"] + off[0], cx=o["cx"] + off[1]) for o in objects]
        _paint(np.zeros(shape, np.float32), np.zeros(shape, bool), shadows, lambda *_: 0.0, cover)
        base *= 1 - shadow_strength * gaussian_blur(cover, rng.uniform(2, 8))

    def value_of(obj, dy, dx, d, box):
        level = table + sign * contrast * rng.uniform(0.75, 1.25)
        tilt = rng.uniform(-0.25, 0.25, 2)  # the object's own shading
        r = obj["r"]
        shade = level * (1 + tilt[0] * dy / r + tilt[1] * dx / r)
        rim = np.clip(1 + d / max(2.0, 0.12 * r), 0, 1)  # a darker rim just inside the edge
        return np.clip(shade * (1 + relief_amp * relief[box]) - 0.15 * contrast * rim, 2, 253)

    truth = np.zeros(shape, bool)
    _paint(base, truth, objects, value_of)
    light_low = rng.uniform(0.35, 0.85)
    light = _lamp(rng, shape, light_low) * _linear_light(rng, shape, rng.uniform(0.85, 1.0))
    blur = rng.uniform(0.4, 1.0)
    noise = rng.uniform(2, 6)
    image = _noise(rng, gaussian_blur(base * light, blur), noise)
    params = dict(objects="bright" if bright else "dark", table=table, contrast=contrast,
                  dim_table=dim_table, radius_min=r_lo, radius_max=r_hi, count=len(objects),
                  kinds=",".join(kinds), shadow=shadow_strength, light_low=light_low, blur=blur, noise=noise)
    return image, truth, params


# ------------------------------------------------------------------ fluorescence

def _fluorescence(rng, shape):
    ground = rng.uniform(5, 30)
    base = ground + rng.uniform(1, 6) * smooth_field(rng, shape, cycles=rng.uniform(1, 4))
    haze = rng.random() < 0.5
    if haze:  # out-of-focus cells: faint, wide, background
        blobs = _place(rng, shape, 0.08, (15, 40), ["disc", "blob"], max_count=8)
        cover = np.zeros(shape, np.float32)
        _paint(np.zeros(shape, np.float32), np.zeros(shape, bool), blobs, lambda *_: 0.0, cover)
        base += rng.uniform(3, 10) * gaussian_blur(cover, 12)
    r_lo = rng.uniform(3, 8)
    r_hi = rng.uniform(r_lo * 1.5, 25)
    cells = _place(rng, shape, rng.uniform(0.05, 0.3), (r_lo, r_hi), ["ellipse", "blob", "disc"], gap=rng.uniform(0, 4))
    granules = smooth_field(rng, shape, cycles=rng.uniform(25, 60))
    dimmest = rng.uniform(25, 60)

    def value_of(obj, dy, dx, d, box):
        peak = ground + float(np.exp(rng.uniform(np.log(dimmest), np.log(230 - ground))))
        inner = np.clip(-d / obj["r"], 0, 1)  # 0 at the edge, 1 at the centre
        return peak * (0.75 + 0.25 * inner) * (1 + 0.1 * granules[box])

    truth = np.zeros(shape, bool)
    _paint(base, truth, cells, value_of)
    vignette = rng.uniform(0.2, 0.6)
    psf = rng.uniform(0.7, 1.8)
    gain = rng.uniform(0.3, 2.0)  # grey levels per photon
    image = gaussian_blur(base, psf) * _vignette(shape, vignette)
    image = rng.poisson(np.maximum(image, 0) / gain).astype(np.float32) * gain
    image = _noise(rng, image, rng.uniform(0.5, 2.0))
    params = dict(objects="bright", ground=ground, dimmest_contrast=dimmest, count=len(cells),
                  radius_min=r_lo, radius_max=r_hi, haze=haze, vignette=vignette, psf=psf, gain=gain)
    return image, truth, params


# ------------------------------------------------------------------ low contrast

def _low_contrast(rng, shape):
    ground = rng.uniform(60, 200)
    bright = rng.random() < 0.5
    sign = 1.0 if bright else -1.0
    c_lo = rng.uniform(15, 30)
    c_hi = rng.uniform(c_lo, 40)
    r_lo = rng.uniform(5, 15)
    r_hi = rng.uniform(r_lo * 1.5, 60)
    kinds = [k for k in ("disc", "rect", "blob", "ellipse") if rng.random() < 0.7] or ["blob"]
    objects = _place(rng, shape, rng.uniform(0.1, 0.35), (r_lo, r_hi), kinds, gap=rng.uniform(2, 10))
    base = ground + rng.uniform(1, 4) * smooth_field(rng, shape, cycles=rng.uniform(2, 8))

    def value_of(obj, dy, dx, d, box):
        return ground + sign * rng.uniform(c_lo, c_hi)

    truth = np.zeros(shape, bool)
    _paint(base, truth, objects, value_of)
    light_low = rng.uniform(0.55, 0.85)
    light = _linear_light(rng, shape, light_low) * (1 + rng.uniform(0.03, 0.1) * smooth_field(rng, shape, cycles=1.5))
    blur = rng.uniform(0.5, 1.2)
    noise = rng.uniform(1.5, 5)
    image = _noise(rng, gaussian_blur(base * light, blur), noise)
    params = dict(objects="bright" if bright else "dark", ground=ground, contrast_min=c_lo,
                  contrast_max=c_hi, count=len(objects), kinds=",".join(kinds), light_low=light_low,
                  blur=blur, noise=noise)
    return image, truth, params


_MAKERS = {
    "documents": _documents,
    "objects": _objects,
    "fluorescence": _fluorescence,
    "low_contrast": _low_contrast,
}
