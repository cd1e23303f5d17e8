"""A candlestick chart of one instrument's one-minute bars, with the operator's fills marked
where they happened (a triangle up for a buy, down for a sell, with the quantity) and each
working order as a dashed line at its price; the last price is a dotted line. A volume pane
runs under the bars. The data comes whole (`CandleChart`), so drawing needs nothing else."""
import bisect
import datetime
from dataclasses import dataclass, field
from typing import List, Optional, Sequence, Tuple

from zandor_trader.charts.drawing import DOWN, FAINT, GRID, NEUTRAL, UP, figure, png
from zandor_trader.core.data import Bar

BAR = datetime.timedelta(minutes=1)
TIME_LABELS = 8  # about this many times along the bottom
BEYOND = 1.0  # an order farther than this many times the bars' range is pinned to the edge


@dataclass(frozen=True)
class Fill:
    time: datetime.datetime  # market time, as the bars
    price: float
    quantity: int
    buy: bool


@dataclass(frozen=True)
class Working:
    price: float
    text: str  # what the line is labelled with ("BUY 2 LIMIT 6840.00")
    buy: bool


@dataclass(frozen=True)
class CandleChart:
    symbol: str  # as the broker names the instrument (EPZ5)
    bars: Sequence[Bar]  # completed one-minute bars, oldest first; at least one
    decimals: int = 2  # of the contract's prices
    zone: str = "UTC+8"  # of the bars' times
    fills: Sequence[Fill] = ()
    working: Sequence[Working] = ()
    last: Optional[float] = None
    name: str = ""  # the host's name for it, when it differs (ES)
    notes: Tuple[str, ...] = field(default=())  # lines under the title


def slot(starts: Sequence[datetime.datetime], when: datetime.datetime) -> Optional[int]:
    """The bar a moment falls in (its index; one past the last for the bar still forming
    after it), or None before the first bar."""
    index = bisect.bisect_right(starts, when) - 1
    if index < 0:
        return None
    if index == len(starts) - 1 and when >= starts[-1] + BAR:
        return len(starts)
    return index


def place_orders(working: Sequence[Working], low: float, high: float):
    """(the orders drawn at their price, those named at the top edge, those at the bottom,
    each nearest first): an order farther from the bars than BEYOND times their range is
    named at the edge, so that the bars keep their height."""
    span = max(high - low, abs(high) * 1e-4, 1e-9)
    top, bottom = high + BEYOND * span, low - BEYOND * span
    shown = [w for w in working if bottom <= w.price <= top]
    above = sorted((w for w in working if w.price > top), key=lambda w: w.price)
    below = sorted((w for w in working if w.price < bottom), key=lambda w: -w.price)
    return shown, above, below


def draw_candles(chart: CandleChart) -> bytes:
    """The chart as PNG bytes."""
    bars = list(chart.bars)
    if not bars:
        raise ValueError(f"no bars of {chart.symbol} to draw")
    fig = figure()
    prices, volumes = fig.subplots(2, 1, sharex=True, height_ratios=[4, 1])
    xs = list(range(len(bars)))
    colours = [UP if b.close >= b.open else DOWN for b in bars]
    low, high = min(b.low for b in bars), max(b.high for b in bars)
    body = max((high - low) / 400, 1e-9)  # a bar that closed where it opened still shows
    prices.vlines(xs, [b.low for b in bars], [b.high for b in bars], colors=colours, linewidth=1)
    # One collection of boxes each (a patch per bar costs several times as much to draw).
    _boxes(prices, [(min(b.open, b.close), max(abs(b.close - b.open), body)) for b in bars],
           colours)
    _boxes(volumes, [(0.0, float(b.volume)) for b in bars], colours, alpha=0.6)
    volumes.set_ylim(0, max(max(b.volume for b in bars), 1) * 1.05)

    right = len(bars) - 1
    starts = [b.datetime for b in bars if b.datetime is not None]
    points = []
    for fill in chart.fills:
        at = slot(starts, fill.time) if len(starts) == len(bars) else None
        if at is not None:
            points.append((at, fill))
            right = max(right, at)
    span = max(high - low, abs(high) * 1e-4, 1e-9)
    shown, above, below = place_orders(chart.working, low, high)
    values = [low, high] + [w.price for w in shown] + [f.price for _, f in points]
    if chart.last is not None:
        values.append(chart.last)
    bottom, top = min(values), max(values)
    pad = max((top - bottom) * 0.06, span * 0.02)
    prices.set_ylim(bottom - pad, top + pad)
    prices.set_xlim(-0.7, right + 1.2)  # room for a fill's quantity

    _mark_fills(prices, points)
    _draw_working(prices, shown, above, below, right)
    if chart.last is not None:
        prices.axhline(chart.last, color=NEUTRAL, linestyle=":", linewidth=1)
        prices.annotate(f"last {chart.last:.{chart.decimals}f}", (1.0, chart.last),
                        xycoords=("axes fraction", "data"), xytext=(4, 0),
                        textcoords="offset points", va="center", fontsize=8, color=NEUTRAL,
                        annotation_clip=False)
    _axes(chart, prices, volumes, bars)
    return png(fig)


def _boxes(ax, spans: Sequence[Tuple[float, float]], colours: Sequence[str],
           alpha: float = 1.0) -> None:
    """A box 0.6 wide at each x from 0, from `bottom` up by `height` ((bottom, height) each)."""
    from matplotlib.collections import PolyCollection

    half = 0.3
    ax.add_collection(PolyCollection(
        [[(x - half, b), (x - half, b + h), (x + half, b + h), (x + half, b)]
         for x, (b, h) in enumerate(spans)],
        facecolors=colours, edgecolors="none", alpha=alpha))


def _mark_fills(ax, points: List[Tuple[int, Fill]]) -> None:
    for at, fill in points:
        colour = UP if fill.buy else DOWN
        ax.scatter([at], [fill.price], marker="^" if fill.buy else "v", s=70, color=colour,
                   edgecolors="black", linewidths=0.6, zorder=5)
        ax.annotate(f"{'B' if fill.buy else 'S'}{fill.quantity}", (at, fill.price),
                    xytext=(7, 0), textcoords="offset points", ha="left", va="center",
                    fontsize=7, color=colour, fontweight="bold", zorder=5)


def _draw_working(ax, shown: Sequence[Working], above: Sequence[Working],
                  below: Sequence[Working], right: int) -> None:
    """Orders near the bars as lines at their price; those far off named at the top or the
    bottom edge, nearest first, so that the bars keep their height."""
    for order in shown:
        colour = UP if order.buy else DOWN
        ax.axhline(order.price, color=colour, linestyle="--", linewidth=1, alpha=0.9)
        ax.text(right + 0.5, order.price, order.text, ha="right", va="bottom", fontsize=7,
                color=colour)
    for pinned, arrow, start, step, align in ((above, "↑", 0.98, -0.05, "top"),
                                               (below, "↓", 0.02, 0.05, "bottom")):
        for n, order in enumerate(pinned):
            ax.text(0.01, start + step * n, f"{arrow} {order.text} (off the chart)",
                    transform=ax.transAxes, ha="left", va=align, fontsize=7,
                    color=UP if order.buy else DOWN)


def _axes(chart: CandleChart, prices, volumes, bars: Sequence[Bar]) -> None:
    from matplotlib.ticker import FixedLocator, FormatStrFormatter, FuncFormatter

    named = f"{chart.symbol} ({chart.name})" if chart.name and chart.name != chart.symbol \
        else chart.symbol
    prices.set_title(f"{named}: {len(bars)} one-minute bars", loc="left", fontweight="bold",
                     fontsize=11)
    if chart.notes:
        prices.set_title("\n".join(chart.notes), loc="right", fontsize=8, color=FAINT)
    prices.yaxis.set_major_formatter(FormatStrFormatter(f"%.{chart.decimals}f"))
    volumes.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:,.0f}"))
    volumes.set_ylabel("volume", fontsize=8, color=FAINT)
    step = max(len(bars) // TIME_LABELS, 1)
    ticks = list(range(0, len(bars), step))
    volumes.xaxis.set_major_locator(FixedLocator(ticks))
    times = [bars[i].datetime for i in ticks]
    volumes.set_xticklabels([t.strftime("%H:%M") if t is not None else "" for t in times],
                            fontsize=8)
    volumes.set_xlabel(f"market time {chart.zone}", fontsize=8, color=FAINT)
    for ax in (prices, volumes):
        ax.grid(True, color=GRID, linewidth=0.8)
        ax.set_axisbelow(True)
        ax.tick_params(labelsize=8)
        for side in ("top", "right"):
            ax.spines[side].set_visible(False)
