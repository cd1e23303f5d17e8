"""The fill model: when and at what price a working order trades.

Only market activity after an order is in the book can fill or trigger it. A market order,
a limit order that can trade on arrival and a triggered stop take the size shown at each
price level and walk the book (limit orders not beyond their limit). A resting limit order
waits behind the contracts queued before it at its price: prints at its price first use up
that queue, then fill it, in part if the print is small; a print through its price, or the
other side reaching it, fills what is left at its limit. Stops trigger on a print at or
through the stop price.

The account's own trades print on the tape (and so count in the bars) after the fills, and
the book then shows what they took; prints that filled a resting order already carried its
contracts and print nothing more.
"""
from cqgsim import constants as C

_EPS = 1e-9


class Matcher:
    """Owned by the component's thread."""

    def __init__(self, trading, core):
        self._trading = trading
        self._core = core
        self._own = {}  # market -> own ticks to print after the running step

    # -- arrivals ------------------------------------------------------------------------
    def arrive(self, order):
        """An order just accepted into the book."""
        if order.Type in (C.otStop, C.otStopLimit):
            return  # waits for a print at or through its stop
        self._take(order)

    def _take(self, order):
        """Trades the order against the other side now; a limit order rests with the rest."""
        m = order.market_state
        buy = order.Side == C.osdBuy
        limited = order.Type in (C.otLimit, C.otStopLimit)
        limit = order.LimitPrice if limited else None
        left = order.Quantity - order.FilledQuantity
        taken, best = m.book.sweep(buy, left, limit, self._core.clock.local(self._core.clock.now))
        for price, quantity in taken:
            self._trading.fill(order, quantity, price)
            self._print(m, price, quantity)
        if best is not None:
            self._show(m, C.tptAsk if buy else C.tptBid, best)
        if limited and order.GWStatus == C.osInOrderBook:
            order.queue_ahead = m.book.ahead_of(buy, limit)
            same = m.book.same(buy)
            order.queue_seen = same[1] if same is not None and abs(same[0] - limit) < _EPS else None

    # -- the market moves ----------------------------------------------------------------
    def market_moved(self, market, prints):
        """Matches the market's working orders against the book and the new ``prints``
        ([(price, volume)])."""
        for order in list(market.working.values()):
            if order.GWStatus != C.osInOrderBook:
                continue
            if order.Type in (C.otStop, C.otStopLimit) and not order.stop_triggered:
                buy = order.Side == C.osdBuy
                stop = order.StopPrice
                if any((p >= stop - _EPS) if buy else (p <= stop + _EPS) for p, _ in prints):
                    order.stop_triggered = True
                    self._take(order)
                continue
            if order.Type in (C.otMarket, C.otStop):
                self._take(order)  # had no price to trade at before
                continue
            self._rest(order, prints)

    def _rest(self, order, prints):
        m = order.market_state
        buy = order.Side == C.osdBuy
        limit = order.LimitPrice
        opposite = m.book.opposite(buy)
        if opposite is not None and ((opposite[0] <= limit + _EPS) if buy
                                     else (opposite[0] >= limit - _EPS)):
            self._fill_rest(order, limit)  # the other side came to it: everything before it went
            return
        traded_here = 0
        for price, volume in prints:
            if (price < limit - _EPS) if buy else (price > limit + _EPS):
                self._fill_rest(order, limit)  # traded through its price
                return
            if abs(price - limit) < _EPS:
                traded_here += volume
                used = min(order.queue_ahead, volume)
                order.queue_ahead -= used
                if volume > used:
                    left = order.Quantity - order.FilledQuantity
                    self._trading.fill(order, min(left, volume - used), limit)
                    if order.GWStatus != C.osInOrderBook:
                        return
        self._follow_queue(order, traded_here)

    def _follow_queue(self, order, traded_here):
        """What the book shows at the order's price tells how its queue changed: size that
        went without trading was cancelled, as much before it as behind it in proportion;
        what the book shows is all there can be before it."""
        same = order.market_state.book.same(order.Side == C.osdBuy)
        if same is None or abs(same[0] - order.LimitPrice) >= _EPS:
            order.queue_seen = None  # not the best price: its size is not shown
            return
        size, seen = same[1], order.queue_seen
        if seen and size < seen:
            cancelled = max(0, seen - size - traded_here)
            order.queue_ahead -= round(cancelled * order.queue_ahead / seen)
        order.queue_ahead = max(0, min(order.queue_ahead, size))
        order.queue_seen = size

    def _fill_rest(self, order, limit):
        left = order.Quantity - order.FilledQuantity
        self._trading.fill(order, left, limit)
        self._print(order.market_state, limit, left)

    # -- own prints ----------------------------------------------------------------------
    def _print(self, market, price, quantity):
        self._queue(market).append((C.tptTrade, price, quantity))

    def _show(self, market, side, best):
        self._queue(market).append((side, best[0], best[1]))

    def _queue(self, market):
        ticks = self._own.get(market)
        if ticks is None:
            ticks = self._own[market] = []
            self._core.seq.then(self._flush, market)
        return ticks

    def _flush(self, market):
        ticks = self._own.pop(market, [])
        if ticks:
            self._core.market_data.apply(market, ticks, own=True)
