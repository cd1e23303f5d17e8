"""The adapter's market-data handlers written in Python, as a baseline for the C++ ones.

The same algorithm as the extension module (type tables read once, one type lookup per
item, the security looked up once per event, one read of each bar field in the repair, the
bar store under a lock with a copy handed out), so that a comparison measures the language,
not the algorithm.
"""
import datetime
import sys
import threading
from dataclasses import replace

import win32com.client

from zandor_trader.core.data import Bar, OrderBook, Quote

INVALID_VALUE = -2147483648
FIELDS = ("open", "high", "low", "close", "volume")
QUOTE_TYPES = (
    ("qtAsk", "Best ask"), ("qtBid", "Best bid"),
    ("qtCohUndAsk", "Coherent underlying price for the best ask"),
    ("qtCohUndBid", "Coherent underlying price for the best bid"),
    ("qtDayHigh", "Current day high price"), ("qtDayLow", "Current day low price"),
    ("qtDayOpen", "Day open price"), ("qtImpliedAsk", "Implied best ask"),
    ("qtImpliedBid", "Implied best bid"), ("qtIndicativeOpen", "Indicative open"),
    ("qtMarker", "Marker price"), ("qtOutrightAsk", "Outright best ask"),
    ("qtOutrightBid", "Outright best bid"), ("qtSettlement", "Settlement price"),
    ("qtTodayMarker", "Marker price"), ("qtTrade", "Last trade price"),
    ("qtYesterdaySettlement", "Yesterday's settlement price"),
)
QUOTE_FIELDS = {
    "Last trade price": "last_price", "Best bid": "bid_price", "Best ask": "ask_price",
    "Day open price": "open_price", "Current day high price": "high_price",
    "Current day low price": "low_price", "Yesterday's settlement price": "prev_close_price",
}
TICK_TYPES = (("tptAsk", "Ask price"), ("tptBid", "Bid price"),
              ("tptSettlement", "Settlement price"), ("tptTrade", "Trade price"))

Dispatch = win32com.client.Dispatch
now = datetime.datetime.now


def whole_seconds(t):
    return datetime.datetime(t.year, t.month, t.day, t.hour, t.minute, t.second)


def make_bar(item, security):
    return Bar(datetime=whole_seconds(item.Timestamp), security=security, open=item.Open,
               high=item.High, low=item.Low, close=item.Close, volume=item.ActualVolume)


class PyVantor:
    def __init__(self, gateway):
        self.gateway = gateway
        self.subscribe_bars_data = {}
        self._bars_lock = threading.Lock()
        constants = win32com.client.constants
        self._quote_texts = {getattr(constants, n): t for n, t in QUOTE_TYPES}
        self._tick_texts = {getattr(constants, n): t for n, t in TICK_TYPES}

    def OnInstrumentChanged(self, cqgInstrument, cqgQuotes, cqgInstrumentProperties):
        instrument, quotes = Dispatch(cqgInstrument), Dispatch(cqgQuotes)
        gateway, texts = self.gateway, self._quote_texts
        security = quote_map = None
        resolved = False
        for quote in quotes:
            if not quote.IsValid:
                continue
            if not resolved:
                security = gateway.get_qt_security_from_cqg_symbol(instrument.FullName.rpartition(".")[2])
                quote_map = gateway.cqg_quotes
                resolved = True
            if security is None:
                continue
            record = quote_map[security]
            text = texts.get(quote.Type)
            if text is None:
                continue
            if not record:
                record = Quote(security=security, exchange=security.exchange, datetime=now())
            field = QUOTE_FIELDS.get(text)
            if field is not None:
                record = replace(record, **{field: quote.Price, "datetime": now()})
            quote_map[security] = record
            if record.last_price != 0 or (record.bid_price != 0 and record.ask_price != 0):
                gateway.process_quote(record)

    def OnTicksAdded(self, cqgTicks, addedTicksCount):
        ticks = Dispatch(cqgTicks)
        count = ticks.Count
        gateway, texts = self.gateway, self._tick_texts
        security = books = None
        for i in range(count - addedTicksCount, count):
            tick = ticks.Item(i)
            if books is None:
                security = gateway.get_qt_security_from_cqg_symbol(ticks.Request.Symbol)
                books = gateway.cqg_orderbooks
            book = books[security]
            text = texts.get(tick.PriceType)
            if text is None:
                continue
            if book is None:
                book = OrderBook(security=security, exchange=security.exchange, datetime=now())
            if text == "Ask price":
                book = replace(book, ask_volume_1=tick.Volume, ask_price_1=tick.Price, datetime=now())
            elif text == "Bid price":
                book = replace(book, bid_volume_1=tick.Volume, bid_price_1=tick.Price, datetime=now())
            books[security] = book
            if book.bid_price_1 != 0 and book.ask_price_1 != 0 and book.bid_volume_1 != 0 \
                    and book.ask_volume_1 != 0:
                gateway.process_orderbook(book)

    def OnTimedBarsAdded(self, cqgTimedBars):
        bars = Dispatch(cqgTimedBars)
        count = bars.Count
        if count < 2:
            return
        security = self.gateway.get_qt_security_from_cqg_symbol(bars.Request.Symbol)
        with self._bars_lock:
            entry = self.subscribe_bars_data[security]
        assert entry is not None, "We should have initiated data in OnTimedBarsResolved first!"
        bar = make_bar(bars.Item(count - 2), security)
        with self._bars_lock:
            window = self.subscribe_bars_data.get(security)
            if window is None or not bar.datetime > window[-1].datetime:
                return
            del window[0]
            window.append(bar)
        sys.stdout.write("[2] OnTimedBarsAdded: " + str(bar) + "\n")

    def get_subscribe_bars_data(self, security):
        with self._bars_lock:
            bars = self.subscribe_bars_data.get(security)
            if not bars:
                return None
            first_valid = {}
            previous = {}
            for i, bar in enumerate(bars):
                for field in FIELDS:
                    value = getattr(bar, field)
                    if value != INVALID_VALUE:
                        first_valid.setdefault(field, i)
                        previous[field] = value
                    elif field in first_valid:
                        setattr(bar, field, previous[field])
            for field, k in first_valid.items():
                value = getattr(bars[k], field)
                for bar in bars[:k]:
                    setattr(bar, field, value)
            last = bars[-1]
            if any(getattr(last, f) == INVALID_VALUE for f in FIELDS):
                raise ValueError("The latest bar is INVALID: " + str(last) + ".")
            return list(bars)
