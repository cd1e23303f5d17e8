"""Simulated component: OnTicksAdded batches delivered to a sink, the cost of one market
update with many finished orders kept, and of an order round trip on a paper store.

The component applies each scripted batch (quotes, the ticks window, bars, resting orders)
and raises OnTicksAdded. The baseline is a minimal component doing the least possible for
the same events (build the tick objects, store them, fire), so the ratio is the share of
that rate the simulator keeps. A second sink reads every tick as the adapter does (Item,
PriceType, Price, Volume).

The round-trip lines place market orders (buying and selling in turn) from CreateOrder to
the fill delivered, on a component with a paper store against one without: the store
commits the order as it goes into the book and the fill before its event.

The market-update line applies one small batch of ticks (with a working order resting far
off) while 50 000 finished orders are kept, against the same with none kept: only working
orders may cost anything. The collector is paused while timing, as timeit does: objects kept
anywhere in the process make its passes longer, whoever keeps them.
"""
import gc
import os
import statistics
import tempfile
import time

import pythoncom
import win32com.client

import comsim
import cqgsim
from benchlib import Row, median_seconds, timed
from cqgsim import constants as C
from cqgsim.orders import Order
from cqgsim.ticks import Tick

BATCH = 100
BATCHES = 2_000
KINDS = ("bid", "ask", "trade", "ask")


class NoOpSink:
    def __init__(self):
        self.ticks = 0

    def OnTicksAdded(self, ticks, n):
        self.ticks += n


class ReadingSink(NoOpSink):
    def OnTicksAdded(self, ticks, n):
        count = ticks.Count
        for i in range(count - n, count):
            tick = ticks.Item(i)
            tick.PriceType, tick.Price, tick.Volume
        self.ticks += n


def _component(sink_class):
    cqgsim.configure(mode="scripted")
    cel = win32com.client.Dispatch("CQG.CQGCEL.4")
    sink = win32com.client.WithEvents(cel, sink_class)
    sim = cqgsim.latest()
    cel.Startup()
    request = win32com.client.Dispatch(cel.CreateTicksRequest())
    request.Symbol, request.Limit = "EPZ5", BATCH
    ticks = cel.RequestTicks(request)
    while not sink.ticks and pythoncom.PumpWaitingMessages() == 0 and ticks.Count == 0:
        sim.push_ticks("EPZ5", [("bid", 1.0, 1)])
    return cel, sink, sim, ticks


def _median_rate(sink, push_batch, repeat):
    """Ticks per second from pushing BATCHES batches to their delivery to ``sink``."""
    pump = pythoncom.PumpWaitingMessages

    def run():
        def go():
            goal = sink.ticks + BATCH * BATCHES
            for b in range(BATCHES):
                push_batch(b)
            while sink.ticks < goal:
                pump()
        return timed(go)

    return BATCH * BATCHES / median_seconds(run, repeat)


def simulated_rate(sink_class, repeat):
    cel, sink, sim, _ = _component(sink_class)
    batches = [[(KINDS[i % 4], 6850.0 + (i % 7) * 0.25, 1 + i % 9) for i in range(BATCH)]
               for _ in range(8)]

    rate = _median_rate(sink, lambda b: sim.push_ticks("EPZ5", batches[b % 8]), repeat)
    cel.Shutdown()
    pythoncom.PumpWaitingMessages()
    return rate


def minimal_rate(repeat):
    """The least any component does: make the batch's tick objects, put them in the
    collection and fire OnTicksAdded through the bridge (all on the component's thread)."""
    cel, sink, sim, ticks = _component(NoOpSink)
    component = sim.component
    owned = component.AllTicks.Item(0)
    raw = [(i % 4, 6850.0 + (i % 7) * 0.25, 1 + i % 9) for i in range(BATCH)]
    fire, post = comsim.fire, comsim.post

    def batch():
        owned.drop_oldest(BATCH)
        owned.append_ticks([Tick(t, p, v, None) for t, p, v in raw])
        fire(component, "OnTicksAdded", owned, BATCH)

    rate = _median_rate(sink, lambda b: post(component, batch), repeat)
    cel.Shutdown()
    pythoncom.PumpWaitingMessages()
    return rate


FINISHED = 50_000
UPDATES = 2_000


def _trading_component():
    """A started, logged-on scripted component with one working order resting far off."""
    cqgsim.configure(mode="scripted")
    cel = win32com.client.Dispatch("CQG.CQGCEL.4")
    sim = cqgsim.latest()
    core = sim.core
    cel.Startup()
    cel.GWLogon("bench", "bench")
    cel.AccountSubscriptionLevel = C.aslAccountUpdatesAndOrders
    while not core.accounts.Count:
        pythoncom.PumpWaitingMessages()
    market = core.market_data.markets["F.US.EPZ5"]
    account = core.accounts.Item(0)
    resting = Order(core, core.trading.new_guid(), C.otLimit, market, account, 1, C.osdBuy,
                    6000.0, None)
    core.trading.place(resting)
    while resting.GWStatus != C.osInOrderBook:
        pythoncom.PumpWaitingMessages()
    return cel, core, market, account


def update_costs(finished, repeat):
    """Microseconds to apply one market update on the component's thread with none and with
    ``finished`` finished orders kept: two components, measured in turn within each
    repetition, with the collector paused while timing (as timeit does), so that only the
    simulator's own work counts."""
    parts = []
    for kept in (0, finished):
        cel, core, market, account = _trading_component()
        for _ in range(kept):
            done = Order(core, core.trading.new_guid(), C.otLimit, market, account, 1,
                         C.osdBuy, 6000.0, None)
            done.GWStatus = C.osCanceled
            core.orders.append_item(done)
        parts.append((cel, core.market_data.apply, market))
    raw = [(C.tptBid, 6850.0, 10), (C.tptAsk, 6850.25, 10), (C.tptTrade, 6850.25, 1),
           (C.tptAsk, 6850.25, 9)]
    pump = pythoncom.PumpWaitingMessages

    def run(apply, market):
        spent = 0.0
        gc.disable()
        try:
            for i in range(UPDATES):
                start = time.perf_counter()
                apply(market, raw)
                spent += time.perf_counter() - start
                if i % 100 == 99:
                    pump()
        finally:
            gc.enable()
        pump()
        return spent

    samples = ([], [])
    for _, apply, market in parts:
        run(apply, market)  # warm-up, not counted
    for _ in range(repeat):
        for k, (_, apply, market) in enumerate(parts):
            samples[k].append(run(apply, market))
    for cel, _, _ in parts:
        cel.Shutdown()
    pythoncom.PumpWaitingMessages()
    return tuple(statistics.median(s) / UPDATES * 1e6 for s in samples)


ROUND_TRIPS = 300


def _filled_component(paper_store):
    """A started, logged-on scripted component, on the paper store given (or none), with
    EPZ5 resolved and a deep book of 6850.00 / 6850.25."""
    cqgsim.configure(mode="scripted", paper_store=paper_store)
    cel = win32com.client.Dispatch("CQG.CQGCEL.4")
    sim = cqgsim.latest()
    core = sim.core
    cel.Startup()
    cel.GWLogon("bench", "bench")
    cel.NewInstrument("EPZ5")
    cel.AccountSubscriptionLevel = C.aslAccountUpdatesAndOrders
    while not core.accounts.Count or not core.instruments.Count:
        pythoncom.PumpWaitingMessages()
    sim.push_ticks("EPZ5", [("bid", 6850.0, 10**9), ("ask", 6850.25, 10**9)])
    return cel, core, core.instruments.Item(0), core.accounts.Item(0)


def round_trip_costs(repeat):
    """Microseconds per market order from CreateOrder to its fill delivered, buying and
    selling in turn, without a paper store and with one: two components measured in turn
    within each repetition."""
    pump = pythoncom.PumpWaitingMessages
    with tempfile.TemporaryDirectory() as folder:
        parts = [_filled_component(None),
                 _filled_component(os.path.join(folder, "paper.sqlite"))]

        def run(cel, core, inst, account):
            def go():
                last = None
                for i in range(ROUND_TRIPS):
                    last = cel.CreateOrder(C.otMarket, inst, account, 1 if i % 2 else -1)
                    last.Place()
                while last.GWStatus != C.osFilled:
                    pump()
            return timed(go)

        samples = ([], [])
        for part in parts:
            run(*part)  # warm-up, not counted
        for _ in range(repeat):
            for k, part in enumerate(parts):
                samples[k].append(run(*part))
        for cel, *_ in parts:
            cel.Shutdown()
        pump()
        cqgsim.reset()
    return tuple(statistics.median(s) / ROUND_TRIPS * 1e6 for s in samples)


def rows(repeat=5):
    no_store, store = round_trip_costs(repeat)
    none_kept, many_kept = update_costs(FINISHED, repeat)
    base = minimal_rate(repeat)
    sim = simulated_rate(NoOpSink, repeat)
    reading = simulated_rate(ReadingSink, repeat)
    return [
        Row("cqgsim: OnTicksAdded ticks, no-op sink", sim / 1e3, "minimal component, same events",
            base / 1e3, "k ticks/s", "share of the minimal rate", higher_is_better=True),
        Row("cqgsim: OnTicksAdded ticks, no-op sink", sim / 1e3, "goal 100k ticks/s", 100.0,
            "k ticks/s", "ratio >= 1", higher_is_better=True),
        Row("cqgsim: ticks read by the sink as adapter", reading / 1e3, "goal 100k ticks/s",
            100.0, "k ticks/s", "ratio >= 1", higher_is_better=True),
        Row("cqgsim: market update, 50k finished orders", many_kept, "the same, none kept",
            none_kept, "us/update", "ratio <= 1.2"),
        Row("cqgsim: market order round trip, paper store", store, "the same, no store",
            no_store, "us/order", "none: the cost of committing each change"),
        Row("cqgsim: market order round trip, paper store", store, "goal 1 ms/order", 1000.0,
            "us/order", "ratio <= 1"),
    ]


if __name__ == "__main__":
    from benchlib import print_table
    print_table(rows())
