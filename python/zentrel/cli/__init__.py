"""The ``zentrel`` command line: binarize, report, demo.

    main(argv=None) -> exit status
    build_parser() -> argparse.ArgumentParser

main (the command's parser and runners), batch (naming outputs, running
files on worker processes), workers (processes that stop at once), chunked
(--chunks and --scheduler through zentrel.dask).
"""

from zentrel.cli.main import build_parser, main

__all__ = ["build_parser", "main"]
