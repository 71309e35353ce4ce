"""The command line's parser, for sphinx-argparse's ``.. argparse::`` directive.

zentrel.cli builds its parser in a function that may also return the
command parsers; this hands sphinx-argparse the main parser alone, whichever
name and form that function has.
"""

from __future__ import annotations

import argparse

from zentrel import cli

_BUILDERS = ("build_parser", "make_parser", "parser", "_parser")


def parser() -> argparse.ArgumentParser:
    for name in _BUILDERS:
        build = getattr(cli, name, None)
        if callable(build):
            built = build()
            return built[0] if isinstance(built, tuple) else built
    raise AttributeError(f"zentrel.cli has none of {', '.join(_BUILDERS)} to build its parser")
