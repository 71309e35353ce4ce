#!/usr/bin/env python3
"""Save a benchmark result for the documentation, with its date and processor.

    python3 bench/run_bench.py --quick --json /tmp/bench.json
    python3 docs/record_bench.py /tmp/bench.json

writes docs/_data/bench-quick.json, which the "Quality and speed" page
renders with the benchmark's own table functions.
"""

from __future__ import annotations

import argparse
import datetime
import json
import platform
from pathlib import Path

TARGET = Path(__file__).resolve().parent / "_data" / "bench-quick.json"


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown processor"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("result", type=Path, help="JSON written by bench/run_bench.py")
    parser.add_argument("--command", default="python3 bench/run_bench.py --quick",
                        help="the command that produced it, as the page shows it")
    args = parser.parse_args()
    record = {
        "measured_on": datetime.date.fromtimestamp(args.result.stat().st_mtime).isoformat(),
        "cpu_model": cpu_model(),
        "command": args.command,
        "bench": json.loads(args.result.read_text()),
    }
    TARGET.write_text(json.dumps(record, indent=1) + "\n")
    print(TARGET)


if __name__ == "__main__":
    main()
