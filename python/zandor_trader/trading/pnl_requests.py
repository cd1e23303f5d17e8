"""/pnl: realized P&L by trading day and instrument, read from the journal; and which trading
day it is now, on the broker's clock."""
import datetime as _dt

from zandor_trader.trading import reports
from zandor_trader.trading.bookkeeping import trading_day_of


class PnlRequests:
    """Served for `engine` (its journal, its daily summary's exchange, its gateway's clock)."""
    KINDS = ("pnl",)

    def __init__(self, engine):
        self.engine = engine

    def pnl(self, args=()) -> None:
        engine = self.engine
        if engine.journal is None:
            engine.reply("/pnl needs the journal, and this session keeps none.")
            return
        try:
            days, heading = reports.days_asked(args, self.trading_day())
        except reports.PnlArgumentError as exc:
            engine.reply(str(exc))
            return
        engine.journal.committed()  # the deals announced so far are in
        engine.reply(reports.pnl_text(engine.journal.path, days, heading))

    def trading_day(self) -> _dt.date:
        """Today's trading day on the broker's clock (else the local one), home exchange."""
        engine = self.engine
        exchange = engine.daily.exchange if engine.daily is not None else "CME"
        now = engine.gateway.broker_time() or _dt.datetime.now(_dt.timezone.utc)
        day = trading_day_of(now, exchange)
        assert day is not None
        return day
