"""Simulated component: OnTicksAdded batches delivered to a sink.

The component applies each scripted batch (quotes, the ticks window, bars, resting orders)
and raises OnTicksAdded. The baseline is a minimal component doing the least possible for
the same events (build the tick objects, store them, fire), so the ratio is the share of
that rate the simulator keeps. A second sink reads every tick as the adapter does (Item,
PriceType, Price, Volume).
"""
import pythoncom
import win32com.client

import comsim
import cqgsim
from benchlib import Row, median_seconds, timed
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
        owned._items[:] = [Tick(t, p, v, None) for t, p, v in raw]
        fire(component, "OnTicksAdded", owned, BATCH)

    rate = _median_rate(sink, lambda b: post(component, batch), repeat)
    cel.Shutdown()
    pythoncom.PumpWaitingMessages()
    return rate


def rows(repeat=5):
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
    ]


if __name__ == "__main__":
    from benchlib import print_table
    print_table(rows())
