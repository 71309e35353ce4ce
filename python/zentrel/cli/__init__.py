"""The ``zentrel`` command line: binarize, report, demo.

    main(argv=None) -> exit status
    build_parser() -> argparse.ArgumentParser

options (the parser, its commands and their options), main (the commands'
runners), tree (folders walked), batch (naming outputs, thresholding files
page by page on worker processes), workers (processes that stop at once),
stops (SIGINT and SIGTERM: a stop at once, or held until a step ends),
record (the --log lines), resume (--skip-existing from the record),
progress (each input's ending recorded, counted and shown), chunked (--chunks and --scheduler
through zentrel.dask).
"""

from zentrel.cli.main import main
from zentrel.cli.options import build_parser

__all__ = ["build_parser", "main"]
