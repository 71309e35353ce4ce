"""The Python package's layers point one way, read from its imports (ast).

Lowest first; a module may import its own layer and the layers below it,
and from another layer only public names (no module or name starting with
an underscore). The native engine, zentrel.core._engine, is core's own:
the others reach it as zentrel.core.engine. Imports inside functions are kept for the
modules that need an optional extra.
"""

from __future__ import annotations

import ast
import textwrap
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[2] / "python"

LAYERS = (
    ("core", ("zentrel.core", "zentrel.scenes")),
    ("auto", ("zentrel.auto",)),
    ("api", ("zentrel.api",)),
    ("io", ("zentrel.io",)),
    ("dask", ("zentrel.dask",)),
    ("report", ("zentrel.report",)),
    ("cli", ("zentrel.cli",)),
    # The package's face, and the plugins that use it as their users do.
    ("package", ("zentrel", "zentrel.__main__", "zentrel._version", "zentrel.ocrmypdf",
                 "zentrel.napari")),
)
# Importing these needs an extra, so they may be imported where used.
NEEDS_EXTRA = ("zentrel.dask",)


def layer_of(module: str) -> tuple[int, str]:
    """(rank, layer root) of a module: the longest root it starts with."""
    best = None
    for rank, (_, roots) in enumerate(LAYERS):
        for root in roots:
            if (module == root or module.startswith(root + ".")) and (
                    best is None or len(root) > len(best[1])):
                best = (rank, root)
    if best is None:
        raise LookupError(f"{module} belongs to no layer")
    return best


def _imports(tree: ast.Module):
    """(node, imported module, imported names, inside a function) of every zentrel import."""
    def walk(node, nested):
        for child in ast.iter_child_nodes(node):
            inner = nested or isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda))
            if isinstance(child, ast.Import):
                for alias in child.names:
                    yield child, alias.name, (), inner
            elif isinstance(child, ast.ImportFrom) and child.level == 0 and child.module:
                yield child, child.module, tuple(a.name for a in child.names), inner
            yield from walk(child, inner)
    for node, module, names, nested in walk(tree, False):
        if module == "zentrel" or module.startswith("zentrel."):
            yield node, module, names, nested


def _private(name: str) -> bool:
    return name.startswith("_") and not name.endswith("__")


def violations(source: Path) -> list[str]:
    found = []
    for path in sorted(source.rglob("*.py")):
        parts = path.relative_to(source).with_suffix("").parts
        module = ".".join(parts[:-1] if parts[-1] == "__init__" else parts)
        rank, home = layer_of(module)
        for node, target, names, nested in _imports(ast.parse(path.read_text(), str(path))):
            where = f"{path.relative_to(source)}:{node.lineno}"
            # "from zentrel import x" imports the module zentrel.x when there is one.
            modules = [f"{target}.{name}" for name in names] if target == "zentrel" and names else [target]
            for imported in modules:
                their_rank, their_home = layer_of(imported)
                if their_rank > rank:
                    found.append(f"{where}: {module} ({LAYERS[rank][0]}) imports {imported} "
                                 f"({LAYERS[their_rank][0]}), a higher layer")
                elif their_rank != rank:
                    private = [p for p in imported[len(their_home):].split(".") if p.startswith("_")]
                    private += [n for n in names if _private(n) and target != "zentrel"]
                    if their_home.rsplit(".", 1)[-1].startswith("_"):
                        private.append(their_home)
                    if private:
                        found.append(f"{where}: {module} imports {', '.join(private)}, private to "
                                     f"{their_home}")
                if nested and not any(imported == m or imported.startswith(m + ".") for m in NEEDS_EXTRA):
                    found.append(f"{where}: {module} imports {imported} inside a function")
    return found


def test_the_package_keeps_its_layers():
    assert violations(SOURCE) == []


@pytest.mark.parametrize("module, text, complaint", [
    ("core/x.py", "from zentrel.cli import main\n", "a higher layer"),
    ("auto/x.py", "import zentrel.dask\n", "a higher layer"),
    ("auto/x.py", "from zentrel.core.settings import _hidden\n", "private to zentrel.core"),
    ("dask/x.py", "from zentrel.io._secret import y\n", "private to zentrel.io"),
    ("api.py", "from zentrel.core import _engine\n", "private to zentrel.core"),
    ("cli/x.py", "def f():\n    from zentrel.io import read_grey\n", "inside a function"),
])
def test_a_planted_import_is_caught(tmp_path, module, text, complaint):
    package = tmp_path / "zentrel"
    for folder in ("core", "auto", "dask", "io", "cli"):
        (package / folder).mkdir(parents=True)
        (package / folder / "__init__.py").write_text("")
    (package / "__init__.py").write_text("")
    (package / module).write_text(textwrap.dedent(text))
    found = violations(tmp_path)
    assert len(found) == 1 and complaint in found[0], found


def test_allowed_imports_pass(tmp_path):
    package = tmp_path / "zentrel"
    (package / "cli").mkdir(parents=True)
    (package / "__init__.py").write_text("from zentrel._version import v\nfrom zentrel.api import run\n")
    (package / "cli" / "__init__.py").write_text(
        "from zentrel.core import Settings\nfrom zentrel.cli._own import x\n"
        "def f():\n    import zentrel.dask\n")
    assert violations(tmp_path) == []
