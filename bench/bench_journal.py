"""Benchmark of order handling with the journal on against off, in one run.

A market order's round trip as the session makes it: the engine serves /send_order (checks,
place_order through the adapter, the component's answer), the fill comes back through the
adapter to the gateway and the trade log, and the engine announces the deal. With the
journal on, the order, its updates and the deal (with what it realized) are recorded too:
queued by whoever reports them, committed in batches by the journal's own thread. The two
are measured in turn within each repetition on the same component (buying and selling in
turn, so the position stays flat). Goal: the journal costs at most a tenth more.
"""
import os
import statistics
import tempfile
import threading
import time
import types

import cqgsim
from benchlib import Row
from zandor_trader.core.constants import Exchange
from zandor_trader.core.security import Security
from zandor_trader.gateways.cqg.gateway import CqgGateway
from zandor_trader.trading import Engine, Limits, Request
from zandor_trader.trading.bookkeeping import Bookkeeping
from zandor_trader.trading.journal import Journal

ES = Security("EPZ5", Exchange.CME)
ORDERS = 100
ROUNDS = 3  # on and off alternate this many times per repetition


class _Dropped:
    """An outbox that drops what it is given: the chat is not what is timed."""

    def put(self, text, on_sent=None):
        return 0


def _round_trips(engine, gateway, dealt, n, side):
    """Seconds for `n` market orders, each until its deal is announced."""
    start = time.perf_counter()
    for _ in range(n):
        dealt.clear()
        engine.submit(Request("send_order", {"order_string": f"EPZ5,1,{side[0]},o,m,CQG,None,None"}))
        engine.serve_pending()
        assert dealt.wait(10)  # the fill on its way back
        engine.serve_pending()
        side.reverse()
    return time.perf_counter() - start


def rows(repeat):
    with tempfile.TemporaryDirectory() as folder:
        cqgsim.reset()
        cqgsim.configure(mode="scripted")
        gateway = CqgGateway({"EPZ5": ES}, log=lambda line: None)
        gateway.connect("bench", "bench", 100101)
        sim = cqgsim.latest()
        sim.push_ticks("EPZ5", [("bid", 6850.0, 10**9), ("ask", 6850.25, 10**9),
                                ("trade", 6850.0, 1)])
        sim.sync()
        journal = Journal(os.path.join(folder, "journal.sqlite"), 100101,
                          log=lambda line: None)
        engine = Engine(types.SimpleNamespace(zandor_trader_status="Running"), gateway,
                        outbox=_Dropped(), limits=Limits(max_position=10), log=lambda l: None)
        gateway.add_listener(engine.on_gateway_record)
        dealt = threading.Event()
        gateway.add_listener(lambda kind, record: kind == "deal" and dealt.set())
        books = Bookkeeping(journal, gateway.point_value)
        side = ["l", "s"]
        off, on = [], []
        try:
            _round_trips(engine, gateway, dealt, 20, side)  # warm-up
            for _ in range(repeat * ROUNDS):
                gateway.trades.recorder, engine.books = None, None
                off.append(_round_trips(engine, gateway, dealt, ORDERS, side) / ORDERS)
                gateway.trades.recorder, engine.books = journal, books
                on.append(_round_trips(engine, gateway, dealt, ORDERS, side) / ORDERS)
                journal.committed()
        finally:
            journal.close()
            gateway.close()
            cqgsim.reset()
    return [Row("journal: market order round trip, journal on", statistics.median(on) * 1e6,
                "the same, journal off", statistics.median(off) * 1e6, "us/order",
                "ratio at most 1.1 (journal writes off the order path)")]
