"""The full soak run: python -m tests.soak [--records N] [--orders N]

Run from the repository root with the modules built in place
(PYTHONPATH=python:python/combridge). Prints the run's figures and exits 1 when a check
failed.
"""
import argparse
import sys

from tests.soak.harness import Plan, run


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    defaults = Plan()
    parser.add_argument("--records", type=int, default=defaults.records)
    parser.add_argument("--orders", type=int, default=defaults.orders)
    args = parser.parse_args()

    def progress(i, total):
        print(f"  batch {i} of about {total}", flush=True)

    report = run(Plan(records=args.records, orders=args.orders), progress)
    print(report.summary())
    return 1 if report.problems else 0


if __name__ == "__main__":
    sys.exit(main())
