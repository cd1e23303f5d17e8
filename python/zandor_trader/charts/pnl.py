"""A P&L curve: the cumulative P&L over a day as a step line, green above zero and red below,
with its last value named. For the daily summary, which takes its points from the journal
(`day_curve`: the picture to draw for a trading day)."""
import datetime
from typing import Sequence, Tuple

from zandor_trader.charts.drawing import DOWN, FAINT, GRID, NEUTRAL, UP, figure, png
from zandor_trader.charts.service import Drawing
from zandor_trader.trading.replies import MARKET_TIME_ZONE, signed_money

Point = Tuple[datetime.datetime, float]  # (time, cumulative P&L then)


def draw_pnl_curve(points: Sequence[Point], title: str = "P&L", zone: str = "UTC+8",
                   decimals: int = 2) -> bytes:
    """The curve through `points` (in time order; each holds until the next) as PNG bytes;
    `zone` names the times' clock."""
    if not points:
        raise ValueError("no P&L points to draw")
    times = [t for t, _ in points]
    if any(later < earlier for earlier, later in zip(times, times[1:])):
        raise ValueError("P&L points must be in time order")
    from matplotlib.dates import date2num

    values = [float(v) for _, v in points]
    xs = [float(x) for x in date2num(times)]  # the dates as the axis counts them
    fig = figure((10.0, 4.5))
    ax = fig.add_subplot()
    ax.step(xs, values, where="post", color=NEUTRAL, linewidth=1.5)
    ax.fill_between(xs, values, 0, step="post", where=[v >= 0 for v in values],
                    color=UP, alpha=0.25, interpolate=False)
    ax.fill_between(xs, values, 0, step="post", where=[v < 0 for v in values],
                    color=DOWN, alpha=0.25, interpolate=False)
    ax.axhline(0, color=FAINT, linewidth=0.8)
    last = values[-1]
    ax.scatter([xs[-1]], [last], color=UP if last >= 0 else DOWN, zorder=5)
    ax.set_title(f"{title}: {last:,.{decimals}f}", loc="left", fontweight="bold", fontsize=11)
    ax.set_xlabel(f"time {zone}", fontsize=8, color=FAINT)
    ax.yaxis.set_major_formatter(_money(decimals))
    _time_axis(ax, xs)
    ax.grid(True, color=GRID, linewidth=0.8)
    ax.set_axisbelow(True)
    ax.tick_params(labelsize=8)
    for side in ("top", "right"):
        ax.spines[side].set_visible(False)
    return png(fig)


def day_curve(day: datetime.date, points: Sequence[Point]) -> Drawing:
    """The P&L curve of trading day `day` (`points` in market time), to be drawn."""
    points = list(points)
    label = f"P&L curve, trading day {day.isoformat()}"
    caption = (f"{label}\nrealized {signed_money(points[-1][1])} "
               f"({points[0][0]:%H:%M} to {points[-1][0]:%H:%M} {MARKET_TIME_ZONE})")
    return Drawing(lambda: draw_pnl_curve(points, f"P&L {day.isoformat()}", MARKET_TIME_ZONE),
                   label, caption, "pnl")


def _money(decimals: int):
    from matplotlib.ticker import FuncFormatter

    return FuncFormatter(lambda value, _: f"{value:,.{decimals}f}")


def _time_axis(ax, xs: Sequence[float]) -> None:
    from matplotlib.dates import AutoDateLocator, DateFormatter

    if xs[0] == xs[-1]:  # one moment: five minutes either side
        ax.set_xlim(xs[0] - 5 / 1440, xs[0] + 5 / 1440)
    ax.xaxis.set_major_locator(AutoDateLocator(maxticks=10))
    ax.xaxis.set_major_formatter(DateFormatter("%H:%M"))
