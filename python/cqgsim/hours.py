"""Trading hours of the simulated contracts and the trading day a moment belongs to.

Every catalogue contract trades on CME Globex hours: Sunday to Friday from 17:00 to 16:00
Chicago time the next day, with a one-hour break each afternoon. The trading day that opens at
17:00 carries the date of the next weekday and ends (settles) at 16:00 that day. Exchange
holidays are not modelled.
"""
import datetime as _dt

import pytz

_ZONE = pytz.timezone("America/Chicago")
OPEN = _dt.time(17, 0)    # the trading day opens, the evening before its date
CLOSE = _dt.time(16, 0)   # and settles on its date
RTH = (_dt.time(8, 30), _dt.time(15, 15))  # the day session, when most of the volume trades
_offsets = {}  # UTC hour -> Chicago offset; the zone changes only on whole hours
_MINUTE = _dt.timedelta(minutes=1)
_ONE_DAY = _dt.timedelta(days=1)


def _offset(utc):
    hour = utc.replace(minute=0, second=0, microsecond=0)
    off = _offsets.get(hour)
    if off is None:
        if len(_offsets) > 100_000:
            _offsets.clear()
        off = _offsets[hour] = pytz.utc.localize(hour).astimezone(_ZONE).utcoffset()
    return off


def local(utc):
    """Chicago wall-clock time of a naive UTC time."""
    return utc + _offset(utc)


def _to_utc(local_time):
    return _ZONE.localize(local_time).astimezone(pytz.utc).replace(tzinfo=None)


def _slot(utc):
    """(open, activity) of the quarter hour holding ``utc``: every boundary of the trading
    hours falls on a quarter hour."""
    key = (utc.year, utc.month, utc.day, utc.hour, utc.minute // 15)
    found = _slots.get(key)
    if found is None:
        if len(_slots) > 100_000:
            _slots.clear()
        start = _dt.datetime(*key[:4], key[4] * 15)
        found = _slots[key] = (_is_open(start), _activity(start))
    return found


def last_open_before(utc):
    """The last open minute before ``utc`` (a minute start)."""
    s = utc - _MINUTE
    while not is_open(s):
        s = _dt.datetime(s.year, s.month, s.day, s.hour, s.minute - s.minute % 15) - _MINUTE
    return s


_slots = {}


def is_open(utc) -> bool:
    return _slot(utc)[0]


def activity(utc) -> float:
    """How busy the market is: 1 in the day session, less overnight."""
    return _slot(utc)[1]


def _is_open(utc) -> bool:
    t = local(utc)
    wd, clock = t.weekday(), t.time()
    if CLOSE <= clock < OPEN or wd == 5:
        return False
    if wd == 4 and clock >= CLOSE:
        return False
    if wd == 6 and clock < OPEN:
        return False
    return True


def _activity(utc) -> float:
    clock = local(utc).time()
    return 1.0 if RTH[0] <= clock < RTH[1] else OVERNIGHT


OVERNIGHT = 0.3  # overnight activity against the day session (volume and variance)
RTH_SECONDS = 6.75 * 3600
SESSION_SECONDS = 23 * 3600
# Seconds of a trading day weighted by activity: what a day's variance and volume spread over.
EFFECTIVE_SECONDS = RTH_SECONDS + (SESSION_SECONDS - RTH_SECONDS) * OVERNIGHT


def _weekday_after(day):
    day += _ONE_DAY
    while day.weekday() >= 5:
        day += _ONE_DAY
    return day


def _weekday_before(day):
    day -= _ONE_DAY
    while day.weekday() >= 5:
        day -= _ONE_DAY
    return day


def trading_date(utc) -> _dt.date:
    """The date of the first settlement at or after ``utc``: the trading day it belongs to
    (a moment in the break or the weekend belongs to the day that opens next)."""
    t = local(utc)
    day = t.date()
    if day.weekday() >= 5 or t.time() >= CLOSE:
        return _weekday_after(day)
    return day


def day_start(date) -> _dt.datetime:
    """UTC opening of the trading day ``date``: 17:00 Chicago on the evening before."""
    return _to_utc(_dt.datetime.combine(date - _ONE_DAY, OPEN))  # Sunday for a Monday


def day_end(date) -> _dt.datetime:
    """UTC settlement of the trading day ``date``: 16:00 Chicago on that date."""
    return _to_utc(_dt.datetime.combine(date, CLOSE))


def previous_date(date):
    return _weekday_before(date)


def next_open(utc) -> _dt.datetime:
    """When the market trades next: ``utc`` itself while it is open, else the opening of the
    trading day that follows the break or the weekend."""
    if is_open(utc):
        return utc
    return day_start(trading_date(utc))


def closed_reason(name, utc):
    """Why an order for ``name`` cannot trade at ``utc``, or None while the market is open."""
    if is_open(utc):
        return None
    reopen = local(next_open(utc))
    return f"Market closed: {name} trades again from {reopen:%a %Y-%m-%d %H:%M} Chicago time"


def next_date(date):
    return _weekday_after(date)
