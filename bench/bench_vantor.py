"""Gateway adapter: the market-data handlers and the bar read.

Each handler is called directly on the thread that owns the (scripted) component objects,
with prepared event arguments, so that neither the pump nor thread wake-ups are measured.
Two baselines per figure, measured in turn within each repetition:
- the floor: only the host's own work for the same events (the same record constructions
  and replacements, one read of the host's map per event and one write per record, the
  process_* calls, the mandated printed line with the record's text form) plus the
  component reads the handler must make, written with as little Python around them as
  possible;
- the same handler written in Python (bench/vantor_py.py).
"""
import contextlib
import datetime
import os
import random
import sys
import types
from dataclasses import replace
from operator import attrgetter

import win32com.client

from benchlib import Row, median_seconds, timed
from vantor_py import PyVantor, whole_seconds
from zandor_trader.core.constants import Exchange
from zandor_trader.core.data import Bar, OrderBook, Quote
from zandor_trader.core.security import Security
from zandor_trader.gateways.cqg.gateway import CqgGateway
from zandor_trader.gateways.cqg.wrapper import vantor

C = win32com.client.constants
Dispatch = win32com.client.Dispatch
now = datetime.datetime.now
ES = Security("ES", Exchange.CME)
X = vantor.INVALID_VALUE
EVENTS = 1_000
TICKS_PER_EVENT = 10
BAR_WINDOW = 500
READ_WINDOW = 10_000
READS = 10


class Obj:
    def __init__(self, **values):
        self.__dict__.update(values)


class Series:
    def __init__(self, symbol, items):
        self.Request, self.items, self.Count = Obj(Symbol=symbol), items, len(items)

    def Item(self, index):
        return self.items[index]


def setup():
    gateway = CqgGateway({"EPZ5": ES}, history=1000)
    gateway.ambrel = types.SimpleNamespace(cqgCEL=None)
    adapter = vantor.Vantor()
    adapter.Init(gateway)
    return gateway, adapter, PyVantor(gateway)


def full_book():
    return OrderBook(security=ES, exchange=ES.exchange, datetime=now(), bid_price_1=1.0, bid_volume_1=1,
                     ask_price_1=2.0, ask_volume_1=1)


# -- OnTicksAdded --------------------------------------------------------------------------

def ticks_figures(repeat):
    gateway, adapter, python = setup()
    ask, bid = C.tptAsk, C.tptBid
    ticks = Dispatch(Series("EPZ5", [Obj(PriceType=(ask, bid)[i % 2], Price=100.0 + i, Volume=1 + i)
                                     for i in range(TICKS_PER_EVENT)]))
    books, process = gateway.cqg_orderbooks, gateway.process_orderbook

    def floor(ticks, added):
        count = ticks.Count
        security = gateway.get_qt_security_from_cqg_symbol(ticks.Request.Symbol)
        book = books[security]
        for tick in map(ticks.Item, range(count - added, count)):
            if tick.PriceType == ask:
                book = replace(book, ask_volume_1=tick.Volume, ask_price_1=tick.Price, datetime=now())
            else:
                book = replace(book, bid_volume_1=tick.Volume, bid_price_1=tick.Price, datetime=now())
            books[security] = book
            process(book)

    return compare(repeat, ES, books, full_book, (ticks, TICKS_PER_EVENT),
                   floor, adapter.OnTicksAdded, python.OnTicksAdded)


# -- OnInstrumentChanged ------------------------------------------------------------------

def quotes_figures(repeat):
    gateway, adapter, python = setup()
    instrument = Dispatch(Obj(FullName="F.US.EPZ5"))
    quotes = Dispatch([Obj(IsValid=True, Type=t, Price=p) for t, p in
                       ((C.qtBid, 100.0), (C.qtAsk, 100.25), (C.qtTrade, 100.25))])
    field = {C.qtBid: "bid_price", C.qtAsk: "ask_price", C.qtTrade: "last_price"}
    quote_map, process = gateway.cqg_quotes, gateway.process_quote

    def floor(instrument, quotes, properties):
        security = gateway.get_qt_security_from_cqg_symbol(instrument.FullName.rpartition(".")[2])
        record = quote_map[security]
        for quote in quotes:
            if quote.IsValid:
                record = replace(record, **{field[quote.Type]: quote.Price, "datetime": now()})
                quote_map[security] = record
                process(record)

    def fresh():
        return Quote(security=ES, exchange=ES.exchange, datetime=now(), last_price=1.0)

    return compare(repeat, ES, quote_map, fresh, (instrument, quotes, None),
                   floor, adapter.OnInstrumentChanged, python.OnInstrumentChanged)


def compare(repeat, security, record_map, fresh, args, floor, cpp, python):
    """Median seconds per event of the three, each run EVENTS times from the same record."""
    def run(handler):
        record_map[security] = fresh()
        return timed(lambda: [handler(*args) for _ in range(EVENTS)]) / EVENTS

    samples = {"floor": [], "cpp": [], "python": []}
    for _ in range(repeat):
        for name, handler in (("floor", floor), ("cpp", cpp), ("python", python)):
            samples[name].append(run(handler))
    return {k: sorted(v)[len(v) // 2] for k, v in samples.items()}


# -- OnTimedBarsAdded ---------------------------------------------------------------------

def bars_added_figures(repeat):
    gateway, adapter, python = setup()
    start = datetime.datetime(2025, 12, 1, 9, 0, 0, 500000)
    base = [Bar(datetime=whole_seconds(start + datetime.timedelta(minutes=i)), security=ES, open=1.0, high=2.0,
                low=0.5, close=1.5, volume=10) for i in range(BAR_WINDOW)]
    events = [Dispatch(Series("EPZ5", [Obj(Timestamp=start + datetime.timedelta(minutes=BAR_WINDOW + k),
                                           Open=1.0, High=2.0, Low=0.5, Close=1.5, ActualVolume=10), None]))
              for k in range(EVENTS)]

    def floor(bars):
        count = bars.Count
        security = gateway.get_qt_security_from_cqg_symbol(bars.Request.Symbol)
        item = bars.Item(count - 2)
        t = item.Timestamp
        bar = Bar(datetime=datetime.datetime(t.year, t.month, t.day, t.hour, t.minute, t.second),
                  security=security, open=item.Open, high=item.High, low=item.Low, close=item.Close,
                  volume=item.ActualVolume)
        sys.stdout.write("[2] OnTimedBarsAdded: " + str(bar) + "\n")

    def run(handler, store):
        if store is not None:
            store[ES] = list(base)
        return timed(lambda: [handler(e) for e in events]) / EVENTS

    samples = {"floor": [], "cpp": [], "python": []}
    with open(os.devnull, "w") as null, contextlib.redirect_stdout(null):
        for _ in range(repeat):
            samples["floor"].append(run(floor, None))
            samples["cpp"].append(run(adapter.OnTimedBarsAdded, adapter.subscribe_bars_data))
            samples["python"].append(run(python.OnTimedBarsAdded, python.subscribe_bars_data))
    assert adapter.subscribe_bars_data[ES][-1].datetime == python.subscribe_bars_data[ES][-1].datetime
    return {k: sorted(v)[len(v) // 2] for k, v in samples.items()}


# -- get_subscribe_bars_data --------------------------------------------------------------

def bars_read_figures(repeat):
    gateway, adapter, python = setup()
    rng = random.Random(5)
    fields = ("open", "high", "low", "close", "volume")
    # About one field in a hundred without a value, and a gap at the start.
    holes = sorted({(rng.randrange(READ_WINDOW - 1), rng.choice(fields)) for _ in range(READ_WINDOW // 20)}
                   | {(0, "volume"), (1, "volume")})
    start = datetime.datetime(2025, 12, 1, 9, 0)
    window = [Bar(datetime=start + datetime.timedelta(minutes=i), security=ES, open=1.0 + i, high=2.0 + i,
                  low=0.5 + i, close=1.5 + i, volume=10 + i) for i in range(READ_WINDOW)]
    adapter.subscribe_bars_data[ES] = window
    python.subscribe_bars_data[ES] = window
    read_fields = attrgetter(*fields)

    def punch():
        for i, f in holes:
            setattr(window[i], f, X)

    def floor(security):
        list(map(read_fields, window))
        for i, f in holes:
            setattr(window[i], f, 0.0)
        read_fields(window[-1])
        return window[:]

    def run(read):
        total = 0.0
        for _ in range(READS):
            punch()
            total += timed(lambda: read(ES))
        return total / READS

    samples = {"floor": [], "cpp": [], "python": []}
    for _ in range(repeat):
        samples["floor"].append(run(floor))
        samples["cpp"].append(run(adapter.get_subscribe_bars_data))
        samples["python"].append(run(python.get_subscribe_bars_data))
    return {k: sorted(v)[len(v) // 2] for k, v in samples.items()}


def rows(repeat=5):
    out = []
    for name, figures, unit, scale in (
            (f"vantor: OnTicksAdded ({TICKS_PER_EVENT} ticks)", ticks_figures, "us/event", 1e6),
            ("vantor: OnInstrumentChanged (3 quotes)", quotes_figures, "us/event", 1e6),
            (f"vantor: OnTimedBarsAdded ({BAR_WINDOW}-bar window)", bars_added_figures, "us/event", 1e6),
            (f"vantor: get_subscribe_bars_data ({READ_WINDOW})", bars_read_figures, "ms/call", 1e3)):
        f = figures(repeat)
        out.append(Row(name, f["cpp"] * scale, "floor: host work + component reads", f["floor"] * scale,
                       unit, "ratio <= 1.25"))
        out.append(Row(name, f["cpp"] * scale, "the same handler in Python", f["python"] * scale,
                       unit, "ratio < 1, as low as C++ gets"))
    return out


if __name__ == "__main__":
    from benchlib import print_table
    print_table(rows())
