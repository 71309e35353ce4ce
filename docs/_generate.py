"""Pages the site writes at build time from what is installed and recorded.

- bench.inc.rst: the benchmark tables, rendered by the benchmark's own row
  functions (bench/bench_helpers.py) from the snapshot in _data/ (with its
  date and machine).
- dask.inc.rst: the reference of zentrel.dask when that module imports, else
  a note saying which extra brings it.
- limits.inc.rst: every analysis limit with its default and meaning, from
  the table the package reads from the engine.
"""

from __future__ import annotations

import importlib
import json
import subprocess
import sys
from pathlib import Path

BENCH_SNAPSHOT = "bench-quick.json"


def write_all(out: Path, root: Path, *, has_dask: bool) -> None:
    out.mkdir(exist_ok=True)
    _write(out / "bench.inc.rst", bench_page(Path(__file__).parent / "_data" / BENCH_SNAPSHOT,
                                             root / "bench" / "bench_helpers.py"))
    _write(out / "dask.inc.rst", dask_page(has_dask))
    _write(out / "limits.inc.rst", limits_page())


def _write(path: Path, text: str) -> None:
    # Rewrite only on change, so Sphinx does not rebuild every page each time.
    if not path.exists() or path.read_text() != text:
        path.write_text(text)


def _load_bench(script: Path):
    # The benchmark helpers are a plain module in their own folder.
    folder = str(script.parent)
    if folder not in sys.path:
        sys.path.insert(0, folder)
    return importlib.import_module(script.stem)


def list_table(headers: list[str], rows: list[list[str]]) -> str:
    lines = [".. list-table::", "   :header-rows: 1", ""]
    for row in [headers, *rows]:
        lines.append(f"   * - {row[0]}")
        lines += [f"     - {cell}" for cell in row[1:]]
    return "\n".join(lines) + "\n"


def bench_page(snapshot: Path, script: Path) -> str:
    record = json.loads(snapshot.read_text())
    bench = _load_bench(script)
    result = record["bench"]
    machine = result["machine"]
    start = machine["load_average_at_start"][0]
    end = machine["load_average_at_end"][0]
    cases = result["cases"]
    parts = [
        f"Measured on {record['measured_on']} with ``{record['command']}`` on "
        f"{machine['cpu_count']} cores of an {record['cpu_model']} ({machine['platform']}), "
        f"load average {start:.2f} at the start and {end:.2f} at the end: the machine was "
        f"shared, so compare ratios within a row rather than seconds across pages. Versions: "
        f"zentrel {machine['zentrel']}, Python {machine['python']}, numpy {machine['numpy']}, "
        f"OpenCV {machine['opencv']}, scikit-image {machine['scikit_image']}.",
        "",
        "Median wall-clock seconds; */peer* is our time over the peer's (below 1: ours "
        "faster). *ok* says whether a region passed (NO: no threshold, no quality score).",
        "",
        list_table(*bench.timing_rows(cases)),
        "Our stage times, region analysis on one thread and on all, peak memory beyond the "
        "caller's arrays, and accuracy / F-measure of the object class on the generated "
        "scenes, whose objects are known ('-' elsewhere).",
        "",
        list_table(*bench.detail_rows(cases)),
    ]
    return "\n".join(parts)


def dask_page(has_dask: bool) -> str:
    if has_dask:
        return (
            "Reference\n---------\n\n"
            ".. automodule:: zentrel.dask\n   :members:\n"
        )
    return (
        ".. note::\n\n"
        "   This build of zentrel has no ``zentrel.dask`` module yet. When it is there, this "
        "page lists its functions, generated from their docstrings.\n"
    )


def _show(value) -> str:
    if isinstance(value, tuple):
        return "(" + ", ".join(_show(v) for v in value) + ")"
    return f"{value:g}" if isinstance(value, float) else str(value)


def limits_page() -> str:
    try:
        from zentrel.core.limits import LIMITS
    except ImportError:
        return "The limits and their defaults are listed with :func:`zentrel.binarize`.\n"
    rows = [[f"``{option.name}``", _show(option.default), option.meaning] for option in LIMITS]
    return list_table(["limit", "default", "meaning"], rows)


def last_commit_date(root: Path, path: str) -> str:
    """The date of the last commit that changed path, or "" without git history."""
    try:
        done = subprocess.run(["git", "log", "-1", "--format=%cs", "--", path], cwd=root,
                              capture_output=True, text=True, timeout=30, check=False)
    except (OSError, subprocess.SubprocessError):
        return ""
    return done.stdout.strip() if done.returncode == 0 else ""


# The gallery's reading order: first what the method does on pictures, then
# how to look inside it; scripts not listed follow by name.
GALLERY_ORDER = (
    "plot_lamp.py",
    "plot_document.py",
    "plot_fluorescence.py",
    "plot_compare.py",
    "plot_sample_pictures.py",
    "plot_analyse.py",
    "plot_surface.py",
    "plot_module_function.py",
)


class GalleryOrder:
    """Sort key for sphinx-gallery's ``within_subsection_order``."""

    def __init__(self, src_dir: str):
        self.src_dir = src_dir

    def __call__(self, filename: str) -> tuple[int, str]:
        name = Path(filename).name
        return (GALLERY_ORDER.index(name) if name in GALLERY_ORDER else len(GALLERY_ORDER), name)
