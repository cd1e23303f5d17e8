"""Shared helpers for the benchmarks: medians of repeated runs and one result table.

Each ``bench_*.py`` module offers ``rows(repeat)`` returning a list of ``Row``: a figure and
the baseline it is compared with, both measured in the same run.
"""
import statistics
import time
from dataclasses import dataclass
from typing import Callable


@dataclass
class Row:
    name: str        # what is measured
    value: float     # the figure, in `unit`
    baseline: str    # what it is compared with
    base: float      # the baseline's figure, same unit
    unit: str        # e.g. "us/call", "events/s"
    goal: str        # the target, in words
    higher_is_better: bool = False

    @property
    def ratio(self) -> float:
        """How many times the baseline's cost (or rate) the figure is."""
        return self.value / self.base if self.base else float("nan")


def median_seconds(fn: Callable[[], float], repeat: int) -> float:
    """Median of ``repeat`` runs of ``fn``, which returns the seconds it measured itself."""
    return statistics.median(fn() for _ in range(repeat))


def timed(fn: Callable[[], object]) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def print_table(rows):
    header = f"{'benchmark':44} {'value':>12} {'baseline':36} {'base':>12} {'ratio':>7}  unit / goal"
    print(header)
    print("-" * len(header))
    for r in rows:
        print(f"{r.name:44} {r.value:12.3f} {r.baseline:36} {r.base:12.3f} {r.ratio:7.2f}  "
              f"{r.unit}; {r.goal}")
