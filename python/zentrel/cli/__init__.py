"""The ``zentrel`` command line: binarize, report, demo.

    main(argv=None) -> exit status
    build_parser() -> argparse.ArgumentParser

options (the parser, its commands and their options), main (the commands'
runners), batch (naming outputs, running files on worker processes),
workers (processes that stop at once), chunked (--chunks and --scheduler
through zentrel.dask).
"""

from zentrel.cli.main import main
from zentrel.cli.options import build_parser

__all__ = ["build_parser", "main"]
