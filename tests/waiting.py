"""Bounded waits for conditions that another thread brings about."""
import time

DEADLINE = 10.0  # seconds; only ever reached when something is broken


def eventually(predicate, deadline=DEADLINE):
    """Waits until ``predicate()`` holds; fails instead of hanging."""
    end = time.monotonic() + deadline
    while not predicate():
        assert time.monotonic() < end, "condition not reached in time"
        time.sleep(0.002)
