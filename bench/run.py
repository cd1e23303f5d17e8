"""Run every benchmark of the project and print one table.

    python bench/run.py [--repeat N] [name-filter ...]

Each figure is the median of N repetitions, with its baseline measured in the same run.
"""
import argparse
import importlib
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))

from benchlib import print_table  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("filters", nargs="*", help="only modules whose name contains one of these")
    args = parser.parse_args()
    rows = []
    for path in sorted(pathlib.Path(__file__).parent.glob("bench_*.py")):
        if args.filters and not any(f in path.stem for f in args.filters):
            continue
        module = importlib.import_module(path.stem)
        rows.extend(module.rows(args.repeat))
    print_table(rows)


if __name__ == "__main__":
    main()
