"""Sphinx configuration of zentrel's documentation site.

Reference pages come from the installed package's docstrings and from the
command line's own parser; the gallery runs every script in ../examples.
Pages that depend on optional parts (zentrel.dask, the recorded benchmark)
are written into generated/ at build time, so the site builds whether or not
those parts exist.
"""

from __future__ import annotations

import importlib
import os
import sys
from pathlib import Path

import zentrel

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))  # the helpers beside this file

import _generate  # noqa: E402  (needs the path above)

project = "zentrel"
author = "the zentrel developers"
copyright = "the zentrel developers"
version = release = zentrel.__version__

extensions = [
    "sphinx.ext.autodoc",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
    "sphinxarg.ext",
    "myst_parser",  # the changelog and the benchmark's README are Markdown
]

exclude_patterns = ["_build", "generated/*.inc.rst", "auto_examples/*.ipynb"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
templates_path: list[str] = []
html_theme = "furo"
html_title = f"zentrel {release}"
html_show_sourcelink = False

# The reference documents what the package offers, in source order.
autodoc_member_order = "bysource"
autodoc_typehints = "none"
numpydoc_show_class_members = False
numpydoc_xref_param_type = False

sphinx_gallery_conf = {
    "examples_dirs": str(ROOT / "examples"),
    "gallery_dirs": "auto_examples",
    # Every plot_ script runs at build time, so a broken one fails the build; the
    # others (the napari viewer, which needs a display) are shown as code.
    "filename_pattern": r"/plot_[^/]*\.py$",
    "ignore_pattern": r"__init__\.py",
    "within_subsection_order": "_generate.GalleryOrder",
    "download_all_examples": False,
    "remove_config_comments": True,
    "abort_on_example_error": True,
    "matplotlib_animations": False,
    "image_scrapers": ("matplotlib",),
    "reset_modules": ("matplotlib",),
    "show_memory": False,
}

# The gallery draws with the non-interactive backend; nothing opens a window.
os.environ.setdefault("MPLBACKEND", "Agg")
# Sphinx 9's autodoc would otherwise import a native module from its .pyi stub
# and leave that stub in sys.modules, so the gallery would call the stub's
# empty functions instead of the engine.
os.environ["SPHINX_AUTODOC_IGNORE_NATIVE_MODULE_TYPE_STUBS"] = "1"



def _has_dask() -> bool:
    try:
        importlib.import_module("zentrel.dask")
    except ImportError:
        return False
    return True


_generate.write_all(HERE / "generated", ROOT, has_dask=_has_dask())
# When the quality results were last committed (empty outside a git checkout).
quality_date = _generate.last_commit_date(ROOT, "bench/README.md")
rst_epilog = f".. |quality_date| replace:: {quality_date or 'an unrecorded date'}\n"

# Option names such as --name stay two hyphens in the argparse pages (no en dashes).
smartquotes_action = "qe"
