"""The session soak: a whole session in display mode, played by an operator, for a long time.

    python -m tests.soak.session_soak [--minutes 60] [--speed 60] [--warm-up 10] [--pause 5]

(from the repository root, modules built in place, PYTHONPATH=python:python/combridge; POSIX
only: the session runs on a pseudo-terminal of 160x50). The operator, through the local Bot
API server's control interface, keeps trading the whole time, a command every `--pause`
seconds: market orders that fill (buying and selling in turn), resting orders cancelled by the
start of their id, and the listings.
Resident memory is sampled every few seconds. Afterwards the run is checked: resident memory
grew by less than 10 MiB after the warm-up, every order was answered, the session ended on
/stop with code 0, every thread ended and the conversation's end was left on the terminal.
Prints its figures and exits 1 when a check failed.
"""
import argparse
import dataclasses
import os
import re
import sys
import tempfile
import threading
import time
from decimal import Decimal
from typing import List, Tuple

from tests.app.terminal_session import TerminalSession

MAX_GROWTH = 10 * 1024 * 1024  # bytes of resident memory allowed after the warm-up
SAMPLE_EVERY = 5.0  # seconds
REST = "rest"  # in ROUND: a sell limit 3% above the last fill (inside the price band)
ROUND = (  # one round of the operator's commands, in turn
    "/send_order EPZ5,1,l,o,m,CQG,None,None", "/balance", "/orders 5", REST, "/positions",
    "/deals 5", "/send_order EPZ5,1,s,o,m,CQG,None,None", "/orders -a 3")
TICK = Decimal("0.25")  # EPZ5's
DEAL = re.compile(r"Deal: \S+ order \S+ EPZ5\.CME \w+ \d+ @ ([\d.]+)")
PLACED = re.compile(r"Order placed: \{([0-9A-F]{8})[0-9A-F-]*\} EPZ5\.CME SHORT 1 LIMIT")
# The simulated market closes an hour each afternoon (6 s at speed 600): the broker rejects
# what comes meanwhile, and the fill or placement waited for never comes.
REJECTED = "Order rejected"


@dataclasses.dataclass
class Report:
    minutes: float
    speed: float
    samples: List[Tuple[float, int]] = dataclasses.field(default_factory=list)  # (s, bytes)
    warm_up: float = 0.0  # seconds
    commands: int = 0
    orders: int = 0  # of the commands, those that place an order
    cancels: int = 0
    problems: List[str] = dataclasses.field(default_factory=list)

    def growth(self) -> int:
        after = [rss for t, rss in self.samples if t >= self.warm_up]
        return max(after) - after[0] if after else 0

    def summary(self) -> str:
        mib = lambda n: f"{n / 2**20:.1f} MiB"
        start = self.samples[0][1] if self.samples else 0
        at_warm = next((rss for t, rss in self.samples if t >= self.warm_up), 0)
        peak = max((rss for _, rss in self.samples), default=0)
        lines = [f"session soak: {self.minutes:g} minutes at speed {self.speed:g}, "
                 f"{self.commands} commands, {self.cancels} cancels by id prefix",
                 f"resident memory: {mib(start)} at start, {mib(at_warm)} after the warm-up "
                 f"({self.warm_up:.0f} s), peak {mib(peak)}; growth after the warm-up "
                 f"{mib(self.growth())} (allowed {mib(MAX_GROWTH)})"]
        lines += [f"PROBLEM: {p}" for p in self.problems] or ["all checks passed"]
        return "\n".join(lines)


def _operator(s: TerminalSession, report: Report, stop: threading.Event, pause: float) -> None:
    """Sends a round of commands, one every `pause` seconds; rests a sell order 3% above the
    last fill and cancels it by the first eight characters of its id. The bot's messages are
    read one by one, and only while one is sure to come (the round's fill, the resting
    order's placement), so that reading them costs the session no more than a chat would. A
    round whose order the broker rejected (the market's daily break) rests nothing."""
    n = 0
    seen = 0

    def next_text() -> str:
        nonlocal seen
        seen += 1
        return s.remote.wait_sent(seen, timeout=60).text

    while not stop.wait(pause):
        command = ROUND[n % len(ROUND)]
        n += 1
        if command != REST:
            s.remote.post_message(command, s.chat)
            report.commands += 1
            report.orders += command.startswith("/send_order")
            continue
        while not (fill := DEAL.match(text := next_text())):  # the round's first order filled
            if text.startswith(REJECTED):
                break
        if fill is None:
            continue
        price = (Decimal(fill[1]) * Decimal("1.03") / TICK).to_integral_value() * TICK
        s.remote.post_message(f"/send_order EPZ5,1,s,o,l,CQG,{price},None", s.chat)
        report.commands += 1
        report.orders += 1
        while not (placed := PLACED.match(text := next_text())):
            if text.startswith(REJECTED):
                break
        if placed is None:
            continue
        s.remote.post_message(f"/cancel_order {placed[1]} CQG", s.chat)
        report.cancels += 1


def run(minutes: float, speed: float = 60.0, warm_up: float = 10.0, pause: float = 1.0,
        progress=None) -> Report:
    """`minutes` and `warm_up` in real minutes."""
    report = Report(minutes, speed, warm_up=warm_up * 60)
    with tempfile.TemporaryDirectory() as cwd:
        s = TerminalSession("--speed", f"{speed:g}", "--minutes", f"{minutes + 5:g}", cwd=cwd,
                            width=160, height=50)
        s.chat = 77
        stop = threading.Event()
        operator = threading.Thread(target=_operator, args=(s, report, stop, pause), daemon=True)
        try:
            s.wait_started()
            start = time.monotonic()
            operator.start()
            end = start + minutes * 60
            while time.monotonic() < end:
                report.samples.append((time.monotonic() - start, s.rss_bytes()))
                if progress is not None:
                    progress(report)
                time.sleep(min(SAMPLE_EVERY, max(end - time.monotonic(), 0)))
            report.samples.append((time.monotonic() - start, s.rss_bytes()))
            stop.set()
            operator.join(30)
            texts = _answered(s, report)
            s.remote.post_message("/stop force", s.chat)  # positions may be open
            code = s.finish(120)
        finally:
            stop.set()
            s.kill()
        _check(s, report, code, texts)
    return report


def _answered(s: TerminalSession, report: Report, timeout: float = 30.0) -> List[str]:
    """The bot's messages once the last order sent was answered (or the time ran out)."""
    end = time.monotonic() + timeout
    while True:
        texts = [m.text for m in s.remote.sent()]
        answered = sum(t.startswith(("Order placed", "Order refused", "send_order failed",
                                     "Placement of")) for t in texts)
        if answered >= report.orders or time.monotonic() > end:
            return texts
        time.sleep(0.5)


def _check(s: TerminalSession, report: Report, code: int, texts: List[str]) -> None:
    if report.growth() >= MAX_GROWTH:
        report.problems.append(f"resident memory grew by {report.growth()} bytes after the warm-up")
    if code != 0:
        report.problems.append(f"the session ended with code {code}")
    after = s.after_display()
    for wanted in ("Session ended.", "Conversation with the bot (",
                   "bot> Zandor-Trader terminated (/stop from the operator)."):
        if wanted not in after:
            report.problems.append(f"not left on the terminal: {wanted!r}")
    if "Threads still running" in after or "failed" in after.split("Session ended.")[0]:
        report.problems.append("a thread was left running or a step failed at the end")
    refused = [t for t in texts if t.startswith(("Order refused", "send_order failed",
                                                 "Placement of"))]  # timed out
    if refused:
        report.problems.append(f"orders refused or failed: {refused[:3]}")
    placed = sum(t.startswith("Order placed") for t in texts)
    asked = report.orders
    if placed < asked:
        report.problems.append(f"{asked} orders sent, {placed} placed")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=60.0, help="real minutes")
    parser.add_argument("--speed", type=float, default=60.0)
    parser.add_argument("--warm-up", type=float, default=10.0, help="real minutes")
    parser.add_argument("--pause", type=float, default=5.0,
                        help="seconds between two of the operator's commands (default: "
                             "%(default)s, 720 an hour)")
    args = parser.parse_args(argv)
    if os.name != "posix":
        print("the session soak needs a pseudo-terminal (POSIX)")
        return 1

    def progress(report):
        t, rss = report.samples[-1]
        if len(report.samples) % 12 == 1:
            print(f"  {t / 60:5.1f} min: {rss / 2**20:.1f} MiB, {report.commands} commands",
                  flush=True)

    report = run(args.minutes, args.speed, args.warm_up, args.pause, progress=progress)
    print(report.summary())
    return 1 if report.problems else 0


if __name__ == "__main__":
    sys.exit(main())
