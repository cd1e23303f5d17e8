"""Reports from the journal: /pnl [today|week|N] (realized P&L by trading day and instrument),
the summary of a trading day at its close, and the points of that day's P&L curve."""
import datetime as _dt
from typing import List, Optional, Tuple

from zandor_trader.trading import journal_reads, pnl, replies
from zandor_trader.trading.journal_tables import BROKER_ZONE, parse_time

Point = Tuple[_dt.datetime, float]  # (market time, cumulative realized P&L then)

WEEK = 5  # trading days in a week

USAGE = "Use /pnl, /pnl today, /pnl week or /pnl N (the last N trading days, 1 to 366)."


class PnlArgumentError(ValueError):
    pass


def trading_days_back(last: _dt.date, count: int) -> List[_dt.date]:
    """The `count` trading days (weekdays) ending with `last`, oldest first."""
    days: List[_dt.date] = []
    day = last
    while len(days) < count:
        if day.weekday() < 5:
            days.append(day)
        day -= _dt.timedelta(days=1)
    return days[::-1]


def days_asked(args, today: _dt.date) -> Tuple[List[_dt.date], str]:
    """The trading days a /pnl asks for, and how to name them."""
    word = str(args[0]).strip().lower() if args else "today"
    if len(args) > 1:
        raise PnlArgumentError(f"/pnl takes one word, not {len(args)}. {USAGE}")
    if word == "today":
        return [today], f"today ({today})"
    if word == "week":
        return trading_days_back(today, WEEK), f"the last {WEEK} trading days"
    try:
        count = int(word)
    except ValueError:
        raise PnlArgumentError(f"/pnl {args[0]}: not understood. {USAGE}") from None
    if not 1 <= count <= 366:
        raise PnlArgumentError(f"/pnl {count}: out of range. {USAGE}")
    return trading_days_back(today, count), f"the last {count} trading days"


def pnl_text(path: str, days: List[_dt.date], heading: str) -> str:
    first, last = days[0].isoformat(), days[-1].isoformat()
    by_day = journal_reads.realized_by_day(path, first, last)
    lines = [f"Realized P&L, {heading}:"]
    total = 0.0
    for day in days:
        day_pnl = by_day.get(day.isoformat(), {})
        if not day_pnl and len(days) > 1:
            continue
        day_total = sum(day_pnl.values())
        total += day_total
        lines.append(f"{day.isoformat()} {day.strftime('%a')}: {replies.number(round(day_total, 2))}")
        lines += [f"    {name}: {replies.number(round(value, 2))}"
                  for name, value in sorted(day_pnl.items())]
    if len(days) > 1:
        lines.append(f"Total: {replies.number(round(total, 2))}")
    unpriced = journal_reads.unpriced_deals(path, first, last)
    if unpriced:
        lines.append(f"({unpriced} deals left out: their contract size is not known)")
    return "\n".join(lines)


def day_summary(path: str, day: _dt.date, exchange: str, close: _dt.time,
                open_lines: Optional[List[str]] = None) -> str:
    """The message at the close of trading day `day` (`exchange`'s clock)."""
    heading = (f"trading day {day.isoformat()} closed at {close.strftime('%H:%M')} "
               f"{pnl.zone_name(exchange)} ({exchange})")
    text = pnl_text(path, [day], heading)
    return "\n".join([text] + (open_lines or []))


def pnl_points(path: str, day: _dt.date, closed_at: Optional[_dt.datetime] = None
               ) -> List[Point]:
    """The day's realized P&L as it grew, deal by deal, from 0 at its first deal (to
    `closed_at`, an aware time, when given), in market time (the component's, no zone) as
    every market time is shown; [] without a deal whose P&L is known."""
    deals = sorted((_market_time(t), float(v)) for t, v in
                   journal_reads.realized_deals(path, day.isoformat()))
    if not deals:
        return []
    points: List[Point] = [(deals[0][0], 0.0)]
    total = 0.0
    for moment, realized in deals:
        total = round(total + realized, 2)
        points.append((moment, total))
    end = _market_time(closed_at.isoformat()) if closed_at is not None else None
    if end is not None and end > points[-1][0]:
        points.append((end, total))
    return points


def _market_time(text: str) -> _dt.datetime:
    return parse_time(text).astimezone(BROKER_ZONE).replace(tzinfo=None)
