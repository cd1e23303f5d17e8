"""/chart SYMBOL [N] as the operator writes it, and what the chart shows, taken from the
gateway on the engine's thread (the gateway's): copies, so that the drawing thread reads
nothing the component's thread may change meanwhile."""
import copy
from dataclasses import dataclass
from typing import Optional, Sequence

from zandor_trader.charts.candles import BAR, CandleChart, Fill, Working
from zandor_trader.core.constants import Direction
from zandor_trader.trading import prices
from zandor_trader.trading.replies import MARKET_TIME_ZONE

DEFAULT_BARS = 60
MAX_BARS = 500  # more would not be told apart at the picture's width
USAGE = (f"Usage: /chart SYMBOL [N]: the last N one-minute bars (default {DEFAULT_BARS}, at "
         f"most {MAX_BARS}) with your fills and working orders, e.g. /chart ES 30")


class Refused(ValueError):
    """A /chart that cannot be drawn; the message says why, for the operator."""


@dataclass(frozen=True)
class Asked:
    chart: CandleChart
    label: str  # what names it in the chat ("chart EPZ5, 60 bars")
    caption: str  # the label, then a line on what it shows


def read(args: Sequence[str], gateway):
    """(security, bars asked) of /chart's words; Refused when they name none."""
    if not args or len(args) > 2:
        raise Refused(USAGE)
    security = gateway.find_security(args[0])
    if security is None:
        known = ", ".join(gateway.cqg_symbols)
        raise Refused(f"No instrument {args[0]} in this session (it follows {known}).")
    count = DEFAULT_BARS
    if len(args) == 2:
        try:
            count = int(args[1])
        except ValueError:
            count = 0
        if not 1 <= count <= MAX_BARS:
            raise Refused(f"N must be a whole number of bars from 1 to {MAX_BARS}, not "
                          f"{args[1]}.")
    return security, count


def take(gateway, security, count: int) -> Asked:
    """The chart of `security`'s last `count` bars as the gateway has them now; Refused when
    it has none yet."""
    symbol = gateway.get_cqg_symbol_from_qt_security(security)
    window = gateway.query_bars().get(security) or []
    bars = [copy.copy(b) for b in window[-count:]]
    if not bars:
        raise Refused(f"No one-minute bars of {symbol} yet: nothing to chart.")
    first = bars[0].datetime
    fills = [Fill(d.updated_time, float(d.filled_avg_price), int(d.filled_quantity),
                  d.direction == Direction.LONG)
             for d in gateway.trades.deals()
             if d.security == security and d.updated_time is not None
             and (first is None or d.updated_time >= first)]
    working = [_working(o) for o in gateway.trades.orders(active_only=True)
               if o.security == security and _level(o) is not None]
    last = gateway.last_price(security)
    decimals = prices.price_decimals(security)
    notes = (f"{len(bars)} of the {count} bars asked: no more kept yet",) \
        if len(bars) < count else ()
    chart = CandleChart(symbol=symbol, bars=bars, decimals=2 if decimals is None else decimals,
                        zone=MARKET_TIME_ZONE, fills=fills, working=working,
                        last=float(last) if last is not None else None,
                        name=security.code, notes=notes)
    label = f"chart {symbol}, {len(bars)} bars"
    return Asked(chart, label, f"{label}\n{_summary(chart, security)}")


def _level(order) -> Optional[float]:
    value = order.price if order.price is not None else order.stop_price
    return float(value) if value is not None else None


def _working(order) -> Working:
    left = order.quantity - (order.filled_quantity or 0)
    side = "BUY" if order.direction == Direction.LONG else "SELL"
    kind = order.order_type.name if order.order_type is not None else ""
    text = f"{side} {left} {kind} {prices.format_price(_level(order), order.security)}"
    return Working(_level(order) or 0.0, text, order.direction == Direction.LONG)


def _summary(chart: CandleChart, security) -> str:
    bars = chart.bars
    start, end = bars[0].datetime, bars[-1].datetime
    when = (f"{start:%H:%M} to {end + BAR:%H:%M} {chart.zone}"
            if start is not None and end is not None else f"market time {chart.zone}")
    last = f", last {prices.format_price(chart.last, security)}" if chart.last is not None else ""
    fills, working = len(chart.fills), len(chart.working)
    return (f"{when}{last}; {fills} fill{'' if fills == 1 else 's'}, {working} working "
            f"order{'' if working == 1 else 's'}")
