"""A one-picture report of how an image was thresholded (matplotlib, Agg)."""

from __future__ import annotations

import math
import os
import textwrap

import numpy as np

from zentrel.api import run
from zentrel.auto import apply_mapping
from zentrel.auto.fallback import ON_GROUND
from zentrel.core import Analysis, Settings, engine, lattice, no_region_error
from zentrel.io import exists_message, image_format, write_atomic

__all__ = ["REPORT_FORMATS", "draw_report", "region_histogram", "fitted_components"]

# What the report can be written as, by file extension (matplotlib's format names).
REPORT_FORMATS = {".png": "png", ".svg": "svg", ".pdf": "pdf"}

# Threshold labels on the region grid only while they stay readable.
MAX_LABELS = 40
# Histogram panels at the bottom of the picture.
HISTOGRAM_PANELS = 4

_PASSED = "#2ca02c"
_FAILED = "#d62728"
_CHOSEN = "#ffdd00"

# Characters per line of a histogram panel's title.
TITLE_WIDTH = 40


def region_histogram(image, top: int, left: int, size: int, *, smooth: bool = False) -> np.ndarray:
    """The 256-bin histogram of one region, values truncated to int.

    With ``smooth`` the bins 2..253 get the 1-2-3-2-1 kernel with integer
    division by 9, as the analysis applies it before the fit.
    """
    block = np.asarray(image)[top:top + size, left:left + size]
    values = np.trunc(block).astype(np.int64).ravel()
    values = values[(values >= 0) & (values <= 255)]
    hist = np.bincount(values, minlength=256).astype(np.int64)
    return engine.smoothed_histogram(hist).astype(np.int64) if smooth else hist


def fitted_components(x, fitted, total: float):
    """The two weighted components total*c1*N(x; mean1, sigma1) and total*(1-c1)*N(x; mean2, sigma2)."""
    c1, mean1, sigma1, mean2, sigma2 = fitted
    x = np.asarray(x, dtype=np.float64)

    def normal(mean, sigma):
        return np.exp(-((x - mean) ** 2) / (2.0 * sigma**2)) / (sigma * math.sqrt(2.0 * math.pi))

    return total * c1 * normal(mean1, sigma1), total * (1.0 - c1) * normal(mean2, sigma2)


def draw_report(image, path, *, percent: int = 10, region_size: int = 32,
                smooth: bool = False, threads=None, overwrite: bool = True,
                metadata=None, preset: str = "auto", objects=None, **limits) -> Analysis:
    """Draw the analysis of ``image`` into one picture at ``path`` and return the Analysis.

    The extension of ``path`` sets the format: .png, .svg or .pdf. The file is
    written whole or not at all (through a temporary file beside it); with
    ``overwrite=False`` an existing ``path`` raises FileExistsError before any
    work. ``metadata`` goes to matplotlib's ``savefig``.

    Panels: the input; the region grid with the selected regions coloured by
    passed (green) or failed (red) and, when few enough, labelled with their
    thresholds; the threshold surface as a heat map; the result; and up to
    four region histograms with their two fitted weighted components and the
    threshold (for the automatic default, histograms of the levels it
    analysed: the input mapped onto 0..255, for either objects' side).
    ``preset``, ``objects`` and the limits are those of :func:`zentrel.binarize`.
    Raises ValueError for another extension or for an image or
    parameters the engine cannot honour (not for an image where no region
    passes: the picture then says so).
    """
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fmt = image_format(path, REPORT_FORMATS)
    if not overwrite and os.path.lexists(path):
        raise FileExistsError(exists_message(path))
    image = np.asarray(image)
    settings = Settings.from_kwargs("draw_report", percent=percent, region_size=region_size,
                                    smooth=smooth, threads=threads, preset=preset, objects=objects,
                                    **limits)
    # One analysis gives the picture's three parts.
    binary, surface, analysis, passed = run(image, settings, {"binary", "surface", "analysis"})
    failure = None if passed else str(no_region_error(analysis))
    if analysis.auto is not None:
        image = apply_mapping(image, analysis.auto.mapping)
        smooth = analysis.auto.smooth  # the histograms as the fits saw them

    rows, cols = image.shape
    panel_width = 7.0
    panel_height = max(2.5, min(panel_width * rows / cols, 10.0))
    figure = Figure(figsize=(2 * panel_width, 2 * panel_height + 3.6), layout="constrained")
    FigureCanvasAgg(figure)
    grid = figure.add_gridspec(3, HISTOGRAM_PANELS,
                               height_ratios=[panel_height, panel_height, 3.2])

    smooth_note = ", smoothed histograms" if smooth else ""
    auto = analysis.auto
    how = "classic" if auto is None else f"auto, {auto.objects} objects"
    if auto is not None and auto.fallback in ON_GROUND:
        how += f", {auto.fallback} fallback"
    elif auto is not None and auto.fallback:
        how += f", whole-image fallback ({auto.fallback})"
    if auto is not None and auto.fine_size:
        how += f", thresholds averaged with region size {auto.fine_size}"
    if auto is not None and auto.marks and auto.fallback is None:
        how += ", faint marks kept where they join ink"
    figure.suptitle(
        f"zentrel ({how}): {rows}x{cols} image, percent {percent}, region size {region_size}"
        f"{smooth_note}: {analysis.valid_count} of {analysis.selected_count} selected regions passed",
        fontsize=13,
    )

    half = HISTOGRAM_PANELS // 2
    ax = figure.add_subplot(grid[0, :half])
    _grey(ax, image, "input")

    chosen = _histogram_regions(analysis.regions)
    ax = figure.add_subplot(grid[0, half:])
    _region_grid(ax, image, analysis, chosen)

    ax = figure.add_subplot(grid[1, :half])
    if surface is None:
        _message(ax, "threshold surface", "no threshold surface:\n" + textwrap.fill(failure, 50))
    else:
        shown = ax.imshow(surface, cmap="viridis", interpolation="nearest")
        ax.set_title("threshold surface")
        ax.set_xticks([])
        ax.set_yticks([])
        figure.colorbar(shown, ax=ax, shrink=0.85, label="threshold (grey level)")

    ax = figure.add_subplot(grid[1, half:])
    if binary is None:
        _message(ax, "result", "no result: no region passed")
    else:
        _grey(ax, binary, f"result ({float((binary == 255).mean()):.1%} white)")

    for index in range(HISTOGRAM_PANELS):
        ax = figure.add_subplot(grid[2, index])
        if index < len(chosen):
            _histogram(ax, image, analysis, chosen[index], index + 1, smooth)
        else:
            ax.set_axis_off()

    write_atomic(path, lambda file: figure.savefig(file, format=fmt, dpi=100, metadata=metadata),
                 overwrite=overwrite)
    return analysis


def _grey(ax, image, title: str) -> None:
    ax.imshow(image, cmap="gray", vmin=0, vmax=255, interpolation="nearest")
    ax.set_title(title)
    ax.set_xticks([])
    ax.set_yticks([])


def _message(ax, title: str, text: str) -> None:
    ax.set_title(title)
    ax.text(0.5, 0.5, text, ha="center", va="center", fontsize=11, transform=ax.transAxes)
    ax.set_xticks([])
    ax.set_yticks([])


def _region_grid(ax, image, analysis: Analysis, chosen) -> None:
    from matplotlib.collections import PatchCollection
    from matplotlib.patches import Patch, Rectangle

    size = analysis.region_size
    region_rows, region_cols = analysis.grid_shape
    ax.imshow(image, cmap="gray", vmin=0, vmax=255, interpolation="nearest")
    # Region origins lie on a lattice of half a region; draw it while it is not too dense.
    if max(region_rows, region_cols) <= 120:
        for top in lattice.origins(np.arange(region_rows + 2), size):
            ax.axhline(top - 0.5, color="white", linewidth=0.3, alpha=0.35)
        for left in lattice.origins(np.arange(region_cols + 2), size):
            ax.axvline(left - 0.5, color="white", linewidth=0.3, alpha=0.35)

    boxes, colours = [], []
    for region in analysis.regions:
        boxes.append(Rectangle((region.left - 0.5, region.top - 0.5), size, size))
        colours.append(_PASSED if region.passed else _FAILED)
    if boxes:
        ax.add_collection(PatchCollection(boxes, facecolors=colours, edgecolors=colours,
                                          alpha=0.25, linewidths=0.8))
        ax.add_collection(PatchCollection(boxes, facecolors="none", edgecolors=colours,
                                          linewidths=0.8))
    labelled = 0 < len(analysis.regions) <= MAX_LABELS
    if labelled:
        for region in analysis.regions:
            text = f"{region.threshold:.0f}" if region.passed else "x"
            ax.text(region.left + size / 2 - 0.5, region.top + size / 2 - 0.5, text,
                    ha="center", va="center", fontsize=7, color="white",
                    bbox={"boxstyle": "round,pad=0.15", "facecolor": "black", "alpha": 0.6,
                          "linewidth": 0})
    # The regions whose histograms are drawn below, numbered as their panels.
    for number, region in enumerate(chosen, start=1):
        ax.add_patch(Rectangle((region.left - 0.5, region.top - 0.5), size, size, fill=False,
                               edgecolor=_CHOSEN, linewidth=2.0))
        ax.text(region.left - 0.5, region.top - 1.5, str(number), ha="left", va="bottom",
                fontsize=9, fontweight="bold", color=_CHOSEN)
    rows, cols = np.shape(image)
    ax.set_xlim(-0.5, cols - 0.5)
    ax.set_ylim(rows - 0.5, -0.5)
    ax.set_xticks([])
    ax.set_yticks([])
    passed = analysis.valid_count
    failed = len(analysis.regions) - passed
    note = "" if labelled or not analysis.regions else " (too many to label thresholds)"
    ax.set_title(f"{region_rows}x{region_cols} region grid, {len(analysis.regions)} selected{note}")
    ax.legend(handles=[Patch(color=_PASSED, label=f"passed ({passed})"),
                       Patch(color=_FAILED, label=f"failed ({failed})")],
              loc="upper right", fontsize=8, framealpha=0.8)


def _spread(items, count: int) -> list:
    """Up to ``count`` items evenly spread over ``items``, in order."""
    if count <= 0 or not items:
        return []
    if count >= len(items):
        return list(items)
    picks = np.unique(np.round(np.linspace(0, len(items) - 1, count)).astype(int))
    return [items[i] for i in picks]


def _histogram_regions(regions) -> list:
    """Up to four regions to draw: passed and failed ones where both exist."""
    passed = [r for r in regions if r.passed]
    failed = [r for r in regions if not r.passed]
    take_failed = min(len(failed), HISTOGRAM_PANELS // 2)
    take_passed = min(len(passed), HISTOGRAM_PANELS - take_failed)
    take_failed = min(len(failed), HISTOGRAM_PANELS - take_passed)
    return _spread(passed, take_passed) + _spread(failed, take_failed)


def _histogram(ax, image, analysis: Analysis, region, number: int, smooth: bool) -> None:
    hist = region_histogram(image, region.top, region.left, analysis.region_size, smooth=smooth)
    total = float(hist.sum())
    ax.stairs(hist, np.arange(257) - 0.5, fill=True, color="0.7", label="histogram")
    occupied = np.flatnonzero(hist)
    low, high = (occupied[0], occupied[-1]) if occupied.size else (0, 255)
    if region.passed:
        outcome = f"passed, t = {region.threshold:.1f}"
        colour = _PASSED
    else:
        words = analysis.reason_words(region.failed_test or region.status)
        outcome = textwrap.fill(f"failed: {words}", TITLE_WIDTH)
        colour = _FAILED
    c1, mean1, sigma1, mean2, sigma2 = region.fitted
    drawable = all(math.isfinite(v) for v in region.fitted) and sigma1 > 0 and sigma2 > 0
    if drawable and total > 0:
        x = np.linspace(0.0, 255.0, 1021)
        dark, bright = fitted_components(x, region.fitted, total)
        ax.plot(x, dark, color="#1f77b4", linewidth=1.2, label=f"c1={c1:.2f}, {mean1:.0f}±{sigma1:.0f}")
        ax.plot(x, bright, color="#ff7f0e", linewidth=1.2,
                label=f"1-c1={1 - c1:.2f}, {mean2:.0f}±{sigma2:.0f}")
        ax.plot(x, dark + bright, color="black", linewidth=0.8, linestyle=":", label="sum")
        for mean, sigma in ((mean1, sigma1), (mean2, sigma2)):
            if 0 <= mean <= 255:
                low, high = min(low, mean - 2 * sigma), max(high, mean + 2 * sigma)
    if region.passed:
        ax.axvline(region.threshold, color=colour, linewidth=1.5, label="threshold")
    ax.set_xlim(max(0.0, low - 10), min(255.0, high + 10))
    ax.set_ylim(bottom=0)
    ax.set_title(f"{number}: region ({region.row}, {region.col})\n{outcome}", color=colour,
                 fontsize=10)
    ax.set_xlabel("grey level")
    ax.set_ylabel("pixels")
    ax.legend(fontsize=7, loc="best")
