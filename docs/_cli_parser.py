"""The command line's parser, for sphinx-argparse's ``.. argparse::`` directive.

zentrel.cli builds its parser in a private function that also returns the
command parsers; this hands sphinx-argparse the main parser alone, whichever
of the two forms the function has.
"""

from __future__ import annotations

import argparse

from zentrel import cli


def parser() -> argparse.ArgumentParser:
    built = cli._parser()
    return built[0] if isinstance(built, tuple) else built
