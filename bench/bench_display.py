"""What the live display costs: a whole session idling on a pseudo-terminal, with the display
and in plain mode, both measured in the same run (POSIX only).

Each run starts the session (default instruments, speed 10, a 160x50 terminal), lets it warm
up, then reads the process's CPU time over a fixed window while nobody types: the market
moves, the display redraws what changed, the engine refreshes the account for it.
"""
import os
import pathlib
import statistics
import sys
import tempfile
import time

from benchlib import Row

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))  # for tests.app

WARM_UP = 6.0   # seconds after the chat answers
WINDOW = 15.0   # seconds measured
RUNS = 3        # at most, whatever --repeat says: each run takes half a minute


def idle_cpu_percent(plain: bool) -> float:
    from tests.app.terminal_session import TerminalSession

    with tempfile.TemporaryDirectory() as cwd:
        s = TerminalSession("--speed", "10", "--minutes", "5", cwd=cwd, width=160, height=50,
                            plain=plain)
        try:
            s.wait_started()
            time.sleep(WARM_UP)
            cpu, start = s.cpu_seconds(), time.monotonic()
            time.sleep(WINDOW)
            return 100.0 * (s.cpu_seconds() - cpu) / (time.monotonic() - start)
        finally:
            s.kill()


def rows(repeat):
    if os.name != "posix":
        return []
    display, plain = [], []
    for _ in range(min(repeat, RUNS)):  # in turn, so that both see the same machine
        display.append(idle_cpu_percent(plain=False))
        plain.append(idle_cpu_percent(plain=True))
    return [Row("display: idle session CPU, 160x50", statistics.median(display),
                "the same session in plain mode", statistics.median(plain),
                "% of one CPU", "ratio <= 2")]
