"""The trading day a moment belongs to, as the futures exchanges count it.

Their electronic sessions open at 17:00 Chicago time and settle at 16:00 the next day; the
session that opens on Friday evening is closed, and the one opening on Sunday evening is
Monday's. So the day that opens at 17:00 carries the date of the next weekday. Exchange
holidays are not known here: they only make a day without trading.
"""
import datetime as dt
from typing import Optional

import pytz

EXCHANGE_ZONE = pytz.timezone("America/Chicago")
DAY_OPENS = dt.time(17, 0)
# The component reports its times in China time (no daylight saving time).
COMPONENT_ZONE = dt.timezone(dt.timedelta(hours=8))


def trading_day(moment: Optional[dt.datetime] = None) -> dt.date:
    """The trading day of `moment`: a time as the component reports it (without a zone:
    China time), or one with its zone; None: now."""
    if moment is None:
        moment = dt.datetime.now(dt.timezone.utc)
    elif moment.tzinfo is None:
        moment = moment.replace(tzinfo=COMPONENT_ZONE)
    local = moment.astimezone(EXCHANGE_ZONE)
    day = local.date()
    if local.time() >= DAY_OPENS:
        day += dt.timedelta(days=1)
    while day.weekday() >= 5:  # Saturday, Sunday: Monday's session
        day += dt.timedelta(days=1)
    return day
