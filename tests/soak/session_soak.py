"""The session soak: a whole session in display mode, played by an operator, for a long time.

    python -m tests.soak.session_soak [--minutes 60] [--speed 60] [--warm-up 10] [--pause 5]
                                      [--sim-chaos RATE]

(from the repository root, modules built in place, PYTHONPATH=python:python/combridge; POSIX
only: the session runs on a pseudo-terminal of 160x50). The operator, through the local Bot
API server's control interface, keeps trading the whole time, a command every `--pause`
seconds: market orders that fill (against the position, so that it stays small), resting
orders cancelled by the start of their id, and the listings. The simulated market keeps its
hours: while it is closed the broker rejects the orders, as the operator expects. With
`--sim-chaos` the session fires failure drills at random.
Resident memory is sampled every few seconds. Afterwards the run is checked: resident memory
grew by less than 10 MiB after the warm-up, every command was answered, every fill was
announced once, the position equals the announced deals' sum and the deals are as many as
the session lists, no order was refused before reaching the broker (nor, without drills, left
unsent or timed out), the session ended on
/stop with code 0, every thread ended and the conversation's end was left on the terminal.
Prints its figures and exits 1 when a check failed.
"""
import argparse
import dataclasses
import os
import sys
import tempfile
import threading
import time
from decimal import Decimal
from typing import List, Optional, Tuple

from tests.app.terminal_session import TerminalSession
from tests.soak.chat_ledger import Ledger

MAX_GROWTH = 10 * 1024 * 1024  # bytes of resident memory allowed after the warm-up
SAMPLE_EVERY = 5.0  # seconds
MARKET, REST, CANCEL = "market", "rest", "cancel"  # in ROUND: steps that depend on the chat
ROUND = (  # one round of the operator's commands, in turn
    MARKET, "/balance", "/orders 5", REST, "/positions", CANCEL, "/deals 5", MARKET,
    "/orders -a 3")
KINDS = {"/balance": "balance", "/positions": "positions", "/orders": "orders",
         "/deals": "deals", "/cancel_orders": "cancel_all"}
TICK = Decimal("0.25")  # EPZ5's
ANSWER_WAIT = 60.0  # seconds for the last answers once the operator stops
TRACE = "trace.log"  # every trace line of the session, in its working directory


@dataclasses.dataclass
class Report:
    minutes: float
    speed: float
    chaos: float = 0.0
    samples: List[Tuple[float, int]] = dataclasses.field(default_factory=list)  # (s, bytes)
    warm_up: float = 0.0  # seconds
    ledger: Ledger = dataclasses.field(default_factory=Ledger)
    cancels: int = 0
    drills: Optional[int] = None  # fired by the chaos driver, as the session counted them
    problems: List[str] = dataclasses.field(default_factory=list)

    @property
    def commands(self) -> int:
        return sum(self.ledger.sent.values())

    def growth(self) -> int:
        after = [rss for t, rss in self.samples if t >= self.warm_up]
        return max(after) - after[0] if after else 0

    def summary(self) -> str:
        mib = lambda n: f"{n / 2**20:.1f} MiB"
        start = self.samples[0][1] if self.samples else 0
        at_warm = next((rss for t, rss in self.samples if t >= self.warm_up), 0)
        peak = max((rss for _, rss in self.samples), default=0)
        ledger = self.ledger
        chaos = f", chaos {self.chaos:g} an hour ({self.drills} drills fired)" \
            if self.chaos else ""
        lines = [f"session soak: {self.minutes:g} minutes at speed {self.speed:g}{chaos}, "
                 f"{self.commands} commands ({ledger.sent['order']} orders), {self.cancels} "
                 f"cancels by id prefix",
                 f"orders rejected by the broker: {ledger.rejected['closed']} while the market "
                 f"was closed, {ledger.rejected['other']} for other reasons; "
                 f"{len(ledger.not_sent)} not sent while the gateway was down; "
                 f"{len(ledger.failed)} requests failed or timed out",
                 f"fills announced: {len(ledger.deals)} ({ledger.unknown_deals} of orders the "
                 f"session did not place), final position {ledger.position:+d}",
                 "alerts: " + (", ".join(f"{text} x{n}" for text, n in
                                         sorted(ledger.alerts.items())) or "none"),
                 f"resident memory: {mib(start)} at start, {mib(at_warm)} after the warm-up "
                 f"({self.warm_up:.0f} s), peak {mib(peak)}; growth after the warm-up "
                 f"{mib(self.growth())} (allowed {mib(MAX_GROWTH)})"]
        lines += [f"PROBLEM: {p}" for p in self.problems] or ["all checks passed"]
        return "\n".join(lines)


class _Operator:
    """Sends a round of commands, one every `pause` seconds, reading the bot's messages as
    they come (between commands, never waiting for one), so that reading them costs the
    session no more than a chat would."""

    def __init__(self, s: TerminalSession, report: Report):
        self.s = s
        self.report = report
        self.ledger = report.ledger
        self.seen = 0  # bot messages read

    def read(self) -> None:
        for message in self.s.remote.sent(after=self.seen):
            self.ledger.read(message.text)
            self.seen += 1

    def send(self, text: str, kind: str, resting: bool = False) -> None:
        self.ledger.command(kind, resting)
        self.s.remote.post_message(text, self.s.chat)

    def step(self, step: str) -> None:
        ledger = self.ledger
        if step == MARKET:  # against the position, so that it stays within the limits
            side = "s" if ledger.position > 0 else "l"
            self.send(f"/send_order EPZ5,1,{side},o,m,CQG,None,None", "order")
        elif step == REST and ledger.last_price is not None:
            price = (ledger.last_price * Decimal("1.03") / TICK).to_integral_value() * TICK
            self.send(f"/send_order EPZ5,1,s,o,l,CQG,{price},None", "order", resting=True)
        elif step == CANCEL and ledger.to_cancel:
            self.send(f"/cancel_order {ledger.to_cancel.popleft()} CQG", "cancel")
            self.report.cancels += 1
        elif step in (REST, CANCEL):  # nothing to rest on or to cancel yet
            self.send("/positions", "positions")
        else:
            self.send(step, KINDS[step.split()[0]])

    def run(self, stop: threading.Event, pause: float) -> None:
        n = 0
        while not stop.wait(pause):
            self.read()
            self.step(ROUND[n % len(ROUND)])
            n += 1

    def finish(self) -> None:
        """Until every command is answered (or ANSWER_WAIT runs out); then the resting orders
        cancelled, the position and the deals' count asked for, and every fill announced."""
        self.wait(lambda: not self.ledger.unanswered())
        for text in ("/cancel_orders", "/positions", "/deals 1"):
            self.send(text, KINDS[text.split()[0]])
        self.wait(lambda: not self.ledger.unanswered())
        # A fill made before /deals was served is announced after its answer at the latest.
        self.wait(lambda: self.ledger.deals_total is not None
                  and len(self.ledger.deals) >= self.ledger.deals_total)

    def wait(self, done) -> None:
        end = time.monotonic() + ANSWER_WAIT
        while True:
            self.read()
            if done() or time.monotonic() > end:
                return
            time.sleep(0.2)


def run(minutes: float, speed: float = 60.0, warm_up: float = 10.0, pause: float = 1.0,
        chaos: float = 0.0, progress=None) -> Report:
    """`minutes` and `warm_up` in real minutes; `chaos`: drills an hour (0: none)."""
    report = Report(minutes, speed, chaos, warm_up=warm_up * 60)
    args = ["--speed", f"{speed:g}", "--minutes", f"{minutes + 5:g}", "--log", TRACE]
    if chaos:
        args += ["--sim-chaos", f"{chaos:g}"]
    with tempfile.TemporaryDirectory() as cwd:
        s = TerminalSession(*args, cwd=cwd, width=160, height=50)
        s.chat = 77
        operator = _Operator(s, report)
        stop = threading.Event()
        thread = threading.Thread(target=operator.run, args=(stop, pause), daemon=True)
        try:
            s.wait_started()
            start = time.monotonic()
            thread.start()
            end = start + minutes * 60
            while time.monotonic() < end:
                report.samples.append((time.monotonic() - start, s.rss_bytes()))
                if progress is not None:
                    progress(report)
                time.sleep(min(SAMPLE_EVERY, max(end - time.monotonic(), 0)))
            report.samples.append((time.monotonic() - start, s.rss_bytes()))
            stop.set()
            thread.join(30)
            operator.finish()
            s.remote.post_message("/stop force", s.chat)  # positions may be open
            code = s.finish(120)
        finally:
            stop.set()
            s.kill()
        with open(os.path.join(cwd, TRACE), encoding="utf-8", errors="replace") as f:
            trace = f.read().splitlines()
        _check(s, report, code, trace)
    return report


def _check(s: TerminalSession, report: Report, code: int, trace: List[str]) -> None:
    ledger = report.ledger
    problems = report.problems
    if report.growth() >= MAX_GROWTH:
        problems.append(f"resident memory grew by {report.growth()} bytes after the warm-up")
    if code != 0:
        problems.append(f"the session ended with code {code}")
    after = s.after_display()
    for wanted in ("Session ended.", "Conversation with the bot (",
                   "bot> Zandor-Trader terminated (/stop from the operator)."):
        if wanted not in after:
            problems.append(f"not left on the terminal: {wanted!r}")
    if "Threads still running" in after or "failed" in after.split("Session ended.")[0]:
        problems.append("a thread was left running or a step failed at the end")
    if report.chaos:
        fired = [line for line in trace if line.startswith("Chaos drills fired: ")]
        report.drills = int(fired[-1].rsplit(" ", 1)[1]) if fired else None
        if report.drills is None:
            problems.append("the chaos driver's drills were not counted at the end")
    if ledger.unanswered():
        problems.append(f"commands not answered, by kind: {ledger.unanswered()}")
    if ledger.refused:
        problems.append(f"orders refused before reaching the broker: {ledger.refused[:3]}")
    if ledger.failed and not report.chaos:  # a drill's hold may make a request fail
        problems.append(f"requests failed or timed out: {ledger.failed[:3]}")
    if ledger.not_sent and not report.chaos:  # a drill's outage stops orders before the broker
        problems.append(f"orders not sent, the gateway down: {ledger.not_sent[:3]}")
    if ledger.repeated:
        problems.append(f"fills announced more than once: {ledger.repeated[:5]}")
    if ledger.deals_total != len(ledger.deals):
        problems.append(f"{len(ledger.deals)} fills announced, the session lists "
                        f"{ledger.deals_total}")
    if ledger.unknown_deals or ledger.positions != ledger.position:
        problems.append(f"the position is {ledger.positions}, the announced deals add up to "
                        f"{ledger.position} ({ledger.unknown_deals} of orders the session "
                        f"did not place)")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=60.0, help="real minutes")
    parser.add_argument("--speed", type=float, default=60.0)
    parser.add_argument("--warm-up", type=float, default=10.0, help="real minutes")
    parser.add_argument("--pause", type=float, default=5.0,
                        help="seconds between two of the operator's commands (default: "
                             "%(default)s, 720 an hour)")
    parser.add_argument("--sim-chaos", type=float, default=0.0, metavar="RATE",
                        help="failure drills fired at random, RATE an hour (default: none)")
    args = parser.parse_args(argv)
    if os.name != "posix":
        print("the session soak needs a pseudo-terminal (POSIX)")
        return 1

    def progress(report):
        t, rss = report.samples[-1]
        if len(report.samples) % 12 == 1:
            print(f"  {t / 60:5.1f} min: {rss / 2**20:.1f} MiB, {report.commands} commands",
                  flush=True)

    report = run(args.minutes, args.speed, args.warm_up, args.pause, args.sim_chaos,
                 progress=progress)
    print(report.summary())
    return 1 if report.problems else 0


if __name__ == "__main__":
    sys.exit(main())
