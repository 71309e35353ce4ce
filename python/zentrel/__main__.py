"""``python -m zentrel``: the command line."""

import sys

from zentrel.cli import main

if __name__ == "__main__":
    sys.exit(main())
