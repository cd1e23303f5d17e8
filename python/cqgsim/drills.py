"""Failure drills on the running component, so that a trader can see what the session does
when things go wrong: a link down for a while, the next order rejected, the next request
left unanswered for a while, a price gap. Each runs on the component's thread and says in
one line what it did; durations are seconds of the simulated clock."""
import datetime as _dt
import decimal

from cqgsim import catalogue
from cqgsim import constants as C
from cqgsim import hours

LINKS = {"gw": "Gateway", "data": "Market data"}
DEFAULT_REJECTION = "Rejected by the broker (drill)"


class DrillRefused(ValueError):
    """A drill that cannot be run as asked; the message says why."""


def _seconds(value):
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not value > 0:
        raise DrillRefused(f"a duration is a positive number of seconds, not {value!r}")
    return float(value)


def decimals(tick_size):
    """Decimals a price of the contract is shown with."""
    return max(0, -decimal.Decimal(str(tick_size)).normalize().as_tuple().exponent)


def price_text(spec, price):
    return f"{price:.{decimals(spec.tick_size)}f}"


class Drills:
    """Owned by the component's thread."""

    def __init__(self, core):
        self._core = core
        self._rejection = None  # the reason the next order is rejected with
        self._hold = None  # seconds the next request waits for its answer
        self._restores = {}  # link -> the alarm that brings it back

    # -- a link down ---------------------------------------------------------------------
    def drop(self, link, seconds):
        if link not in LINKS:
            raise DrillRefused(f"the link is one of {', '.join(LINKS)}, not {link!r}")
        seconds = _seconds(seconds)
        core = self._core
        pending = self._restores.get(link)
        if pending is not None:
            pending.cancel()  # down already by a drill: back after the new span
        elif not (core.gw_up if link == "gw" else core.data_up):
            raise DrillRefused(f"the {LINKS[link].lower()} connection is not up: "
                               "there is nothing to drop")
        else:
            self._set(link, C.csConnectionDown)
        back = core.clock.now + _dt.timedelta(seconds=seconds)
        self._restores[link] = core.alarms.at(back, self._restore, link)
        return f"{LINKS[link]} connection down for {seconds:g} s"

    def _set(self, link, status):
        links = self._core.connections
        (links.gw_link if link == "gw" else links.data_link)(status)

    def _restore(self, link):
        self._restores.pop(link, None)
        if not (self._core.gw_up if link == "gw" else self._core.data_up):
            self._set(link, C.csConnectionUp)

    def forget(self, link):
        """The link went down for good (a logoff): a drill no longer brings it back."""
        alarm = self._restores.pop(link, None)
        if alarm is not None:
            alarm.cancel()

    # -- the next order, the next request ------------------------------------------------
    def reject_next(self, reason=None):
        if reason is not None and not isinstance(reason, str):
            raise DrillRefused(f"a reason is text, not {reason!r}")
        self._rejection = (reason or "").strip() or DEFAULT_REJECTION
        return f"Next order will be rejected: {self._rejection}"

    def take_rejection(self):
        """The reason the order being accepted is rejected with, once; None: no drill."""
        reason, self._rejection = self._rejection, None
        return reason

    def hold_next(self, seconds):
        self._hold = _seconds(seconds)
        return f"Next request will go unanswered for {self._hold:g} s"

    def take_hold(self):
        """How long the request being dispatched waits for its answer, once; None: no drill."""
        seconds, self._hold = self._hold, None
        return seconds

    # -- a price gap ---------------------------------------------------------------------
    def gap(self, symbol, ticks):
        spec = catalogue.find(symbol)
        if spec is None:
            raise DrillRefused(f"unknown symbol {symbol!r}")
        if isinstance(ticks, bool) or not isinstance(ticks, int) or ticks == 0:
            raise DrillRefused(f"a gap is a whole number of ticks other than 0, not {ticks!r}")
        core = self._core
        n = abs(ticks)
        size = (f"{'up' if ticks > 0 else 'down'} {n} tick{'s' if n != 1 else ''} "
                f"({price_text(spec, n * spec.tick_size)})")
        if core.live is not None:  # the walk itself jumps, so that the market stays there
            core.live.gap(spec.full_name, ticks)
            when = "" if hours.is_open(core.clock.now) else " when the market reopens"
            return f"{spec.symbol} gaps {size}{when}"
        market = core.market_data.markets[spec.full_name]
        raw = gap_ticks(spec, market.quotes, ticks)
        core.market_data.apply(market, raw)
        shown = {t: p for t, p, _ in raw}
        return (f"{spec.symbol} gapped {size}: bid {price_text(spec, shown[C.tptBid])}, "
                f"offer {price_text(spec, shown[C.tptAsk])}")


def gap_ticks(spec, quotes, ticks):
    """The ticks of a jump by ``ticks`` from the book in ``quotes`` (quote type -> [price,
    volume, ...]): the side moving away first, so that the book is never crossed, then a
    print of the usual size where the jump ends."""
    tick = spec.tick_size
    bid, ask = quotes.get(C.qtBid), quotes.get(C.qtAsk)
    if bid is None or ask is None:
        last = quotes.get(C.qtTrade) or quotes.get(C.qtYesterdaySettlement)
        ref = last[0] if last else spec.start_price
        bid, ask = [ref, spec.top_size], [ref + tick, spec.top_size]
    spread = max(1, round((ask[0] - bid[0]) / tick))
    new_bid = max(1, round(bid[0] / tick) + ticks)
    b = round(new_bid * tick, 10)
    a = round((new_bid + spread) * tick, 10)
    bid_tick = (C.tptBid, b, bid[1] or spec.top_size)
    ask_tick = (C.tptAsk, a, ask[1] or spec.top_size)
    volume = max(1, round(spec.trade_size))
    if ticks > 0:
        return [ask_tick, bid_tick, (C.tptTrade, a, volume)]
    return [bid_tick, ask_tick, (C.tptTrade, b, volume)]
