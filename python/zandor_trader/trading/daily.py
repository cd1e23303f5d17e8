"""The summary at the close of each trading day, on the broker's clock: one exchange's clock
for the session (its first instrument's), since one message sums every instrument's day.

The broker's clock is read through the gateway; the engine is woken when the close is due on
it, reckoned from the broker's pace (`speed` broker seconds a second: 1 for a real broker,
the simulated market's speed otherwise), and looks again if the close has not come yet. After
the summary's text, the day's P&L curve goes to `picture` (the session draws it off the
engine's thread and sends it as a photo), when the day has deals with a known P&L.
"""
import datetime as _dt
from typing import Callable, List, Optional

from zandor_trader.trading import pnl, reports
from zandor_trader.trading.journal_tables import BROKER_ZONE

IDLE_CHECK = 60.0  # seconds between looks at a clock that does not run by itself


class DailySummary:
    """`send(text)` tells the operator; `open_lines()` names the open business."""

    def __init__(self, gateway, journal, exchange: str, close: _dt.time,
                 speed: float, send: Callable[[str], None],
                 open_lines: Callable[[], list] = lambda: []):
        self.gateway = gateway
        self.journal = journal
        self.exchange = exchange
        self.close = close
        self.speed = speed
        self.send = send
        self.open_lines = open_lines
        self._day: Optional[_dt.date] = None  # the trading day in progress
        self._next: Optional[float] = None
        # picture(day, points): the day's P&L curve, (market time, cumulative P&L) points.
        self.picture: Optional[Callable[[_dt.date, List[reports.Point]], None]] = None

    def due(self) -> Optional[float]:
        return self._next

    def start(self, now: float) -> None:
        self.run(now)

    def run(self, now: float) -> None:
        """Sends the summary of a day that closed since the last look; plans the next look."""
        broker = self._broker_now()
        if broker is None:
            self._next = now + IDLE_CHECK
            return
        day = pnl.trading_day(broker, self.exchange, self.close)
        if self._day is not None and day > self._day:
            self.journal.committed()  # the day's last deals are in
            self.send(reports.day_summary(self.journal.path, self._day, self.exchange, self.close,
                                          self.open_lines()))
            self._curve(self._day)
        self._day = day
        to_close = (pnl.close_of(day, self.exchange, self.close) - broker).total_seconds()
        if self.speed <= 0:
            self._next = now + IDLE_CHECK
        else:  # a second past the close on the broker's clock
            self._next = now + max(to_close + 1, 1) / self.speed

    def _curve(self, day: _dt.date) -> None:
        if self.picture is None:
            return
        points = reports.pnl_points(self.journal.path, day,
                                    pnl.close_of(day, self.exchange, self.close))
        if points:
            self.picture(day, points)

    def _broker_now(self) -> Optional[_dt.datetime]:
        stamp = self.gateway.broker_time()
        return stamp.replace(tzinfo=BROKER_ZONE) if stamp is not None else None
