"""The day's risk: the daily loss limit and the operator's kill switch.

Trading halts for orders that open or increase risk when the trading day's realized plus open
P&L falls below minus `max_daily_loss`, or when the operator sends /halt; orders that reduce
risk still pass. A halt for the loss ends with the trading day, the operator's with /resume.

The day's realized P&L is counted from the realized P&L the account had when the session
first saw that trading day (the account's figure runs on across days), plus what earlier
sessions realized that day (from the journal), so that a restart does not hand back a day's
losses; the open P&L is the account's, as the broker reports it.
"""
import datetime as dt
from dataclasses import dataclass
from typing import Callable, List, Optional, Tuple

from zandor_trader.core.balance import AccountBalance
from zandor_trader.trading import prices
from zandor_trader.trading.replies import signed_money
from zandor_trader.trading.pretrade import Limits
from zandor_trader.trading.trading_day import trading_day


def money(value) -> str:
    return prices.format_number(value, 2, grouped=True)


@dataclass(frozen=True)
class DayFigures:
    day: dt.date
    realized: float  # realized on the day, earlier sessions' included
    open: float  # open P&L of the positions held now

    @property
    def total(self) -> float:
        return self.realized + self.open

    def text(self) -> str:
        return (f"today's P&L {signed_money(self.total)} (realized {signed_money(self.realized)}, "
                f"open {signed_money(self.open)})")


class DailyRisk:
    """The state on the engine's thread. `limits()` gives the limits in force; `market_time()`
    the component's time now (None: unknown, the machine's clock is used); `now()` the local
    time that the operator is told."""

    def __init__(self, limits: Callable[[], Limits],
                 market_time: Callable[[], Optional[dt.datetime]] = lambda: None,
                 now: Callable[[], dt.datetime] = dt.datetime.now):
        self.limits = limits
        self.market_time = market_time
        self.now = now
        self.day: Optional[dt.date] = None
        self._realized_at_start = 0.0
        self._carried: Optional[Tuple[dt.date, float]] = None  # earlier sessions' realized
        self.figures: Optional[DayFigures] = None
        self.halted_by_operator: Optional[dt.datetime] = None  # since when
        self.halted_for_loss: Optional[dt.datetime] = None

    @property
    def halted(self) -> bool:
        return self.halted_by_operator is not None or self.halted_for_loss is not None

    def carry(self, day: dt.date, realized: float) -> None:
        """What was realized on trading day `day` before this session saw the account."""
        self._carried = (day, float(realized))

    def update(self, balance: AccountBalance) -> Tuple[List[str], bool]:
        """Takes the account's figures as they are now: (what the operator is to be told,
        whether the loss limit was reached just now)."""
        notices = []
        realized, open_pnl = float(balance.realized_pnl or 0), float(balance.unrealized_pnl or 0)
        day = trading_day(self.market_time())
        if day != self.day:
            if self.halted_for_loss is not None:
                notices.append(f"New trading day {day}: the daily loss limit is reset"
                               + ("; trading stays halted by the operator (/resume lifts it)."
                                  if self.halted_by_operator else
                                  "; orders that open risk are taken again."))
            self.day, self._realized_at_start, self.halted_for_loss = day, realized, None
        earlier = self._carried[1] if self._carried and self._carried[0] == day else 0.0
        figures = self.figures = DayFigures(day, realized - self._realized_at_start + earlier,
                                            open_pnl)
        limit = self.limits().max_daily_loss
        reached = (limit is not None and self.halted_for_loss is None
                   and figures.total < -float(limit))
        if reached:
            self.halted_for_loss = self.now()
            notices.append(
                f"Daily loss limit reached: {figures.text()} is below -{money(limit)}. Orders "
                f"that open or increase risk are refused until the next trading day; orders "
                f"that reduce risk still pass.")
        return notices, reached

    def refusal(self) -> Optional[str]:
        """Why an order that opens or increases risk is refused now, or None."""
        if self.halted_for_loss is not None:
            return (f"trading is halted for the day: the daily loss limit of "
                    f"{money(self.limits().max_daily_loss)} was reached at "
                    f"{self.halted_for_loss:%H:%M}; only orders that reduce risk are taken")
        if self.halted_by_operator is not None:
            return (f"trading is halted by the operator (/halt at "
                    f"{self.halted_by_operator:%H:%M}; /resume lifts it); only orders that "
                    f"reduce risk are taken")
        return None

    def halt(self) -> str:
        if self.halted_by_operator is not None:
            return f"Trading is already halted by the operator (since {self.halted_by_operator:%H:%M})."
        self.halted_by_operator = self.now()
        return ("Trading halted: orders that open or increase risk are refused until /resume; "
                "orders that reduce risk still pass.")

    def resume(self) -> str:
        was = self.halted_by_operator
        self.halted_by_operator = None
        if self.halted_for_loss is not None:
            return ("Trading stays halted: the daily loss limit was reached at "
                    f"{self.halted_for_loss:%H:%M}"
                    + (f" ({self.figures.text()})" if self.figures else "")
                    + "; it is lifted at the next trading day.")
        return "Trading resumed." if was is not None else "Trading is not halted."

    def state_text(self) -> str:
        if self.halted_for_loss is not None:
            return f"halted: daily loss limit reached at {self.halted_for_loss:%H:%M}"
        if self.halted_by_operator is not None:
            return f"halted by the operator since {self.halted_by_operator:%H:%M} (/resume)"
        return "trading"

    def used_text(self) -> str:
        figures, limit = self.figures, self.limits().max_daily_loss
        if figures is None:
            return "Today: P&L not known yet"
        text = f"Trading day {figures.day}: {figures.text()}"
        if limit is not None:
            used = max(-figures.total, 0.0)
            text += (f"; loss used {money(used)} of {money(limit)} "
                     f"({used * 100 / float(limit):.0f}%)")
        return text
