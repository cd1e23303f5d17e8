"""A long run of the adapter against the simulated component, with everything at once.

The gateway's thread streams market data (ticks and quotes), places orders that fill or are
cancelled, and drops and makes its subscriptions again; a second thread reads bars, balance
and positions the whole time. Afterwards the run is checked: every fill reached the gateway
exactly once, every placement returned its own order's GUID, no book or quote handed to the
gateway was locked or crossed, no handler failed, resident memory stayed flat after the
warm-up, and no thread was left behind.
"""
import collections
import dataclasses
import gc
import os
import re
import sys
import threading
import time
from typing import List

import cqgsim
from zandor_trader.core.constants import Direction, Exchange, OrderStatus, OrderType
from zandor_trader.core.order import Order
from zandor_trader.core.security import Security
from zandor_trader.gateways.cqg.gateway import CqgGateway
from zandor_trader.gateways.cqg.wrapper import Ambrel, vantor

from tests.threads import threads_left

ES = Security("ES", Exchange.CME)
NQ = Security("NQ", Exchange.CME)
SYMBOLS = {"EPZ5": ES, "ENQZ5": NQ}
ACCOUNT = 100101
HANDLER_FAILURE = "pythoncom error: Python error invoking COM method."
MAX_GROWTH = 5 * 1024 * 1024  # bytes of resident memory allowed after the warm-up
FINAL = (OrderStatus.FILLED, OrderStatus.CANCELLED, OrderStatus.FAILED)


@dataclasses.dataclass
class Plan:
    records: int = 1_000_000      # ticks and quotes handed to the gateway
    orders: int = 10_000          # placed, then filled or cancelled
    batch: int = 100              # market ticks per push
    resubscribe_every: int = 200  # batches between dropping and making the subscriptions again
    minute_every: int = 25        # batches between minutes of simulated time (new bars)
    warmup: float = 0.2           # share of the batches before the memory baseline is taken


@dataclasses.dataclass
class Report:
    records: int = 0
    quotes: int = 0
    orderbooks: int = 0
    orders: int = 0
    fills: int = 0
    deals: int = 0
    cancelled: int = 0
    resubscriptions: int = 0
    reads: int = 0
    seconds: float = 0.0
    rss_warm: int = 0
    rss_end: int = 0
    handler_failures: int = 0
    problems: list = dataclasses.field(default_factory=list)

    @property
    def growth(self):
        return self.rss_end - self.rss_warm

    def summary(self):
        return (f"{self.records} records ({self.quotes} quotes, {self.orderbooks} order books), "
                f"{self.orders} orders ({self.fills} fills, {self.deals} deals, "
                f"{self.cancelled} cancelled), {self.resubscriptions} resubscriptions, "
                f"{self.reads} reads in {self.seconds:.1f} s; resident memory "
                f"{self.rss_warm / 2**20:.1f} -> {self.rss_end / 2**20:.1f} MiB "
                f"({self.growth / 2**20:+.2f}); handler failures {self.handler_failures}; "
                f"problems: {self.problems or 'none'}")


def _sanitized():
    """Under AddressSanitizer freed memory is held back on purpose, so resident memory says
    nothing about leaks there (the leak check does)."""
    return "libasan" in os.environ.get("LD_PRELOAD", "")


def resident_bytes():
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    import resource

    return pages * resource.getpagesize()


class _Sink:
    """A standard stream that keeps nothing: counts the writes that report a failure and
    keeps the first few of what was written."""

    def __init__(self, failure, keep=20):
        self.failures = 0
        self.kept = []
        self._failure = failure
        self._keep = keep

    def write(self, text):
        if self._failure.search(text):
            self.failures += 1
            if len(self.kept) < self._keep:
                self.kept.append(text)
        return len(text)

    def flush(self):
        pass


class _Reader(threading.Thread):
    """The gateway reading bars, balance and positions while everything else goes on."""

    def __init__(self, adapter):
        super().__init__(name="soak-reader")
        self.adapter = adapter
        self.stop = threading.Event()
        self.reads = 0
        self.error = None

    def run(self):
        a = self.adapter
        try:
            while not self.stop.is_set():
                a.get_subscribe_bars_data(ES)
                a.update_account_balance()
                a.update_positions()
                a.account_balance, a.positions
                self.reads += 1
                self.stop.wait(0.001)  # leaves the interpreter to the other threads a while
        except BaseException as exc:  # reported with the run
            self.error = exc


def _ticks(i, batch):
    """One batch around a slowly moving price: bids, asks and trades. When the price rises
    the offer moves first, when it falls the bid, as a sound market sends them: no moment
    of the book is locked or crossed."""
    base = 6850.0 + (i % 40) * 0.25
    rising = i % 40 != 0
    kinds = ("ask", "bid", "trade", "ask") if rising else ("bid", "ask", "trade", "ask")
    out = []
    for k in range(batch):
        kind = kinds[k % 4]
        price = base + (0.25 if kind == "ask" else 0.0)
        out.append((kind, price, 1 + k % 9))
    return out


def _unsound(kind, record):
    """A description of a locked or crossed book or quote handed to the gateway, or None."""
    if kind == "orderbook":
        bid, ask = record.bid_price_1, record.ask_price_1
    elif kind == "quote":
        bid, ask = record.bid_price, record.ask_price
    else:
        return None
    if bid and ask and bid >= ask:
        return f"{kind} {'locked' if bid == ask else 'crossed'}: bid {bid} ask {ask}"
    return None


def _order(n, price):
    """The n-th order: market buys and sells fill; limit and stop orders far off are
    cancelled."""
    kind = n % 4
    if kind < 2:
        return Order(security=ES, price=0, quantity=1, order_type=OrderType.MARKET,
                     direction=Direction.LONG if kind == 0 else Direction.SHORT)
    if kind == 2:
        return Order(security=ES, price=price - 500, quantity=1, order_type=OrderType.LIMIT,
                     direction=Direction.LONG)
    return Order(security=ES, price=price - 500, stop_price=price - 500, quantity=1,
                 order_type=OrderType.STOP, direction=Direction.SHORT)


class Ledger:
    """What happened to each order placed and not yet checked. The gateway's listener (on the
    component's thread) and the placing thread both write it; finished orders are checked
    and forgotten as the run goes, so its size stays bounded."""

    def __init__(self):
        self._lock = threading.Lock()
        self._orders = {}  # GUID -> [kind or None, deals, final status or None]
        self._recent: collections.deque = collections.deque(maxlen=1000)  # GUIDs placed lately, for repeats
        self._removing = set()  # GUIDs whose removal the component is about to report
        self.fills = self.cancelled = self.deals = 0
        self.problems = []

    def _entry(self, guid):
        return self._orders.setdefault(guid, [None, 0, None])

    def placed(self, guid, kind):
        with self._lock:
            if guid in self._recent:
                self.problems.append(f"GUID {guid} returned twice")
            self._recent.append(guid)
            self._entry(guid)[0] = kind

    def listen(self, kind, record):
        if kind == "deal":
            with self._lock:
                self._entry(record["order_id"])[1] += 1
                self.deals += 1
        elif kind == "order" and record["status"] in FINAL:
            with self._lock:
                if record["order_id"] in self._removing:
                    self._removing.discard(record["order_id"])  # the removal's report
                else:
                    self._entry(record["order_id"])[2] = record["status"]

    def settle(self):
        """Checks the orders that finished and forgets them; returns their GUIDs."""
        done = []
        with self._lock:
            for guid, (kind, deals, status) in list(self._orders.items()):
                if status is None:
                    continue
                if kind is None:
                    self.problems.append(f"order {guid} reported but not placed here")
                elif kind < 2:  # market orders fill, once
                    self.fills += 1
                    if deals != 1 or status != OrderStatus.FILLED:
                        self.problems.append(f"market order {guid}: {deals} deals, {status}")
                else:  # the far-off ones are cancelled, never filled
                    self.cancelled += 1
                    if deals or status != OrderStatus.CANCELLED:
                        self.problems.append(f"order {guid}: {deals} deals, {status}")
                del self._orders[guid]
                done.append(guid)
        return done

    def removing(self, guids):
        with self._lock:
            self._removing.update(guids)

    def finish(self):
        with self._lock:
            if self._removing:
                self.problems.append(f"removals not reported: {sorted(self._removing)[:5]}")
            if self._orders:
                self.problems.append(f"orders never finished: {list(self._orders.items())[:5]}")
            self._removing.clear()


def run(plan=None, progress=None):
    """Runs the plan; returns the Report (its `problems` empty when every check held)."""
    plan = plan or Plan()
    report = Report()
    threads_before = set(threading.enumerate())
    gateway = CqgGateway(SYMBOLS, history=1000)
    counts: collections.Counter = collections.Counter()
    ledger = Ledger()
    unsound: List[str] = []  # the first few locked or crossed books and quotes

    def listen(kind, record):
        counts[kind] += 1
        ledger.listen(kind, record)
        bad = _unsound(kind, record)
        if bad is not None:
            counts["unsound"] += 1
            if len(unsound) < 5:
                unsound.append(bad)

    gateway.add_listener(listen)
    # Handler failures go to standard error; a failed balance refresh prints its error as
    # "<local date-time>: <error>".
    out = _Sink(re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d+: ", re.M))
    err = _Sink(re.compile(re.escape(HANDLER_FAILURE)))
    saved = sys.stdout, sys.stderr
    sys.stdout, sys.stderr = out, err
    cqgsim.reset()
    env = reader = None
    try:
        env = Ambrel.Ambrel()
        adapter = env.Init(vantor.Vantor, None)
        gateway.ambrel = env
        adapter.Init(gateway)
        sim = cqgsim.latest()
        adapter.Logon("soak", "soak")
        adapter.subscribe_account_and_positions(ACCOUNT)

        def subscribe():
            for symbol in SYMBOLS:
                adapter.subscribe_quote(symbol)
                adapter.subscribe_orderbook(symbol)
            adapter.subscribe_bar("EPZ5", 30)

        def unsubscribe():
            for symbol in SYMBOLS:
                adapter.unsubscribe_quote(symbol)
                adapter.unsubscribe_orderbook(symbol)
            adapter.unsubscribe_bar("EPZ5")

        subscribe()
        reader = _Reader(adapter)
        reader.start()

        per_batch = 2 * plan.batch  # both symbols' order books; quotes come on top
        batches = max(1, plan.records // per_batch)
        orders_per_batch = plan.orders / batches
        placed = 0
        warm_at = int(batches * plan.warmup)
        start = time.perf_counter()
        due = 0.0
        i = 0
        while i < batches or counts["quote"] + counts["orderbook"] < plan.records:
            for symbol in SYMBOLS:
                sim.push_ticks(symbol, _ticks(i, plan.batch))
            if i % plan.minute_every == 0:
                sim.advance(60)
            due += orders_per_batch
            while placed < min(plan.orders, int(due)):
                guid = adapter.place_order(_order(placed, 6850.0))
                ledger.placed(guid, placed % 4)
                if placed % 4 >= 2:
                    adapter.cancel_order(guid)
                placed += 1
            if i % plan.resubscribe_every == plan.resubscribe_every - 1:
                sim.sync()
                unsubscribe()
                subscribe()
                report.resubscriptions += 1
                # The component forgets finished orders, as a long-running one would.
                done = ledger.settle()
                ledger.removing(done)
                for guid in done:
                    sim.remove_order(guid)
            elif i % 10 == 0:
                sim.sync()  # keeps the component's queue short
            if i == warm_at:
                sim.sync()
                gc.collect()
                report.rss_warm = resident_bytes()
            if progress and i % 1000 == 0:
                progress(i, batches)
            i += 1
        sim.sync()
        report.seconds = time.perf_counter() - start
        reader.stop.set()
        reader.join()
        gc.collect()
        report.rss_end = resident_bytes()
        report.reads = reader.reads
        if reader.error is not None:
            report.problems.append(f"reader failed: {reader.error!r}")
        if sim.errors:
            report.problems.append(f"simulator faults: {sim.errors[:3]}")

        ledger.settle()
        ledger.finish()
        report.quotes, report.orderbooks = counts["quote"], counts["orderbook"]
        report.records = report.quotes + report.orderbooks
        report.orders = placed
        report.deals, report.fills, report.cancelled = ledger.deals, ledger.fills, ledger.cancelled
        report.problems.extend(ledger.problems)
        if counts["unsound"]:
            report.problems.append(f"{counts['unsound']} locked or crossed books or quotes, "
                                   f"first: {unsound}")
    finally:
        if reader is not None and reader.is_alive():
            reader.stop.set()
            reader.join()
        if env is not None:
            env.Shutdown()
        sys.stdout, sys.stderr = saved
        cqgsim.reset()

    report.handler_failures = err.failures
    if err.failures:
        report.problems.append(f"{err.failures} handler failure(s): {''.join(err.kept)[:2000]}")
    if out.failures:
        report.problems.append(f"{out.failures} failed refresh(es): {''.join(out.kept)[:2000]}")
    if report.records < plan.records:
        report.problems.append(f"only {report.records} of {plan.records} records arrived")
    if report.growth >= MAX_GROWTH and not _sanitized():
        report.problems.append(f"resident memory grew by {report.growth / 2**20:.2f} MiB")
    left = threads_left(threads_before)
    if left:
        report.problems.append(f"threads left behind: {[t.name for t in left]}")
    return report

