"""The fill model: when, at what price and how much a working order trades.

Only market activity after an order is in the book can fill or trigger it, and only while
its market is open. A market order, a limit order that can trade on arrival and a triggered
stop take the size shown at each price level and walk the book (limit orders not beyond
their limit). Resting limit orders share what the market does at each instant, best price
first and in the order they arrived at one price: a print at an order's price first uses up
the contracts queued before it, then fills it, in part if the print is small; a print through
its price fills it up to the print's size; the other side reaching its price fills it up to
the size shown there, which the book then no longer shows. What is left keeps working. Stops
trigger on a print at or through the stop price.

The account's own trades print on the tape (and so count in the bars) after the fills, and
the book then shows what they took; prints that filled a resting order at their own price
already carried its contracts and print nothing more.
"""
from cqgsim import constants as C

_EPS = 1e-9


def _left(order):
    return order.Quantity - order.FilledQuantity


def _reaches(buy, limit, price):
    """Whether a buy (sell) limit at ``limit`` would trade at ``price``."""
    return price <= limit + _EPS if buy else price >= limit - _EPS


class Matcher:
    """Owned by the component's thread."""

    def __init__(self, trading, core):
        self._trading = trading
        self._core = core
        self._own = {}  # market -> own ticks to print after the running step

    def _stamp(self):
        return self._core.clock.local(self._core.clock.now)

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
        taken, best = m.book.sweep(buy, _left(order), limit, self._stamp())
        for price, quantity in taken:
            self._trading.fill(order, quantity, price)
            self._print(m, price, quantity)
        if best is not None:
            self._show(m, C.tptAsk if buy else C.tptBid, best)
        if limited and order.GWStatus == C.osInOrderBook:
            order.queue_ahead = m.book.ahead_of(buy, limit)
            same = m.book.same(buy)
            order.queue_seen = (same[1] if same is not None and abs(same[0] - limit) < _EPS
                                else None)

    # -- the market moves ----------------------------------------------------------------
    def market_moved(self, market, prints):
        """Matches the market's working orders against the book and the new ``prints``
        ([(price, volume)]) of one instant."""
        resting = []
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
            resting.append(order)
        for buy in (True, False):
            side = [o for o in resting if (o.Side == C.osdBuy) == buy]
            if side:
                # Best price first; at one price, in the order they arrived (a stable sort).
                side.sort(key=lambda o: -o.LimitPrice if buy else o.LimitPrice)
                self._rest(market, buy, side, prints)

    def _rest(self, market, buy, orders, prints):
        """Resting limit orders of one side, in priority, share the instant's prints and
        then the size the other side shows at or through their prices; each order that
        trades gets one fill for the instant, at its limit."""
        due = dict.fromkeys(orders, 0)  # contracts each order trades at this instant
        printed = dict.fromkeys(orders, 0)  # of which the tape has not shown yet
        for price, volume in prints:
            self._share_print(buy, orders, price, volume, due, printed)
        best = self._share_offer(market, buy, orders, due, printed)
        for order in orders:
            if due[order]:
                self._trading.fill(order, due[order], order.LimitPrice)
                if printed[order]:
                    self._print(market, order.LimitPrice, printed[order])
            if order.GWStatus == C.osInOrderBook:
                here = sum(v for p, v in prints if abs(p - order.LimitPrice) < _EPS)
                self._follow_queue(order, here)
        if best is not None:  # the book shows what the orders took from the other side
            self._show(market, C.tptAsk if buy else C.tptBid, best)

    @staticmethod
    def _share_print(buy, orders, price, volume, due, printed):
        left = volume
        front = 0  # contracts of others traded off the front of the queue at ``price``
        for order in orders:
            limit = order.LimitPrice
            if not _reaches(buy, limit, price):
                break  # neither this order nor any after it
            if abs(price - limit) >= _EPS:  # traded through its price: all before it went
                order.queue_ahead = 0
                take = min(_left(order) - due[order], left)
                left -= take
                due[order] += take
                printed[order] += take
                continue
            used = min(max(0, order.queue_ahead - front), left)
            front += used
            left -= used
            order.queue_ahead = max(0, order.queue_ahead - front)
            if order.queue_ahead == 0:
                take = min(_left(order) - due[order], left)
                left -= take
                due[order] += take  # the print carried it already

    def _share_offer(self, market, buy, orders, due, printed):
        """Returns the other side's new best when the orders took from it."""
        level = market.book.opposite(buy)
        if level is None:
            return None
        reached = []
        for order in orders:
            if not _reaches(buy, order.LimitPrice, level[0]):
                break
            order.queue_ahead = 0  # the other side came to it: everything before it went
            reached.append(order)
        wanted = sum(_left(o) - due[o] for o in reached)
        taken, best = market.book.take_best(buy, wanted, self._stamp())
        for order in reached:
            take = min(_left(order) - due[order], taken)
            taken -= take
            due[order] += take
            printed[order] += take
        return best

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
