"""Run every benchmark of the project and print one table.

    python bench/run.py [--repeat N] [name-filter ...]

Each figure is the median of N repetitions, with its baseline measured in the same run.
"""
import argparse
import datetime
import importlib
import os
import pathlib
import platform
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))

from benchlib import print_table  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("filters", nargs="*", help="only modules whose name contains one of these")
    args = parser.parse_args()
    # Figures depend on what else the machine does: the load goes with the table.
    print(f"{datetime.datetime.now():%Y-%m-%d %H:%M}, Python {platform.python_version()}, "
          f"{os.cpu_count()} CPUs, load {_load()}, median of {args.repeat}")
    rows = []
    for path in sorted(pathlib.Path(__file__).parent.glob("bench_*.py")):
        if args.filters and not any(f in path.stem for f in args.filters):
            continue
        module = importlib.import_module(path.stem)
        rows.extend(module.rows(args.repeat))
    load = _load()
    print_table(rows)
    print(f"load at the end {load}")


def _load():
    """The 1-, 5- and 15-minute load averages."""
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


if __name__ == "__main__":
    main()
