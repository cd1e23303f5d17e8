"""The order book of one market as the fill model sees it: the best bid and offer shown, and
the depth behind them.

Only the best price of each side is shown; behind it every price level is taken to hold the
contract's usual top size (see catalogue.py). A best price shown without a size counts as
that usual size too.
"""
from cqgsim import constants as C

_SIDE = {True: C.qtAsk, False: C.qtBid}  # what an aggressive buy (True) or sell takes


class Book:
    def __init__(self, market):
        self._m = market

    def _level(self, quote_type):
        q = self._m.quotes.get(quote_type)
        if q is None:
            return None
        return q[0], (q[1] if q[1] and q[1] > 0 else self._m.spec.top_size)

    def opposite(self, buy):
        """(price, size) an aggressive order on that side meets first, or None."""
        return self._level(_SIDE[buy])

    def same(self, buy):
        """(price, size) of the best price on the order's own side, or None."""
        return self._level(_SIDE[not buy])

    def sweep(self, buy, quantity, limit, stamp):
        """Takes up to ``quantity`` from the opposite side, level by level, not beyond
        ``limit`` (None: no limit). Returns the [(price, quantity)] taken and the side's new
        best (price, size), which the book now shows, or None when nothing was taken."""
        level = self.opposite(buy)
        if level is None:
            return [], None
        price, size = level
        tick = self._m.spec.tick_size
        step = tick if buy else -tick
        taken = []
        while quantity > 0:
            if limit is not None and (price > limit + 1e-9 if buy else price < limit - 1e-9):
                break
            take = min(quantity, size)
            taken.append((price, take))
            quantity -= take
            size -= take
            if size == 0:
                nxt = round(price + step, 10)
                if nxt <= 0:
                    break
                price, size = nxt, self._m.spec.top_size
        if not taken:
            return [], None
        self._m.quotes[_SIDE[buy]] = [price, size, stamp]
        return taken, (price, size)

    def take_best(self, buy, quantity, stamp):
        """Takes up to ``quantity`` from the best price of the opposite side only, as resting
        orders that it reached do. Returns the quantity taken and the side's new best
        (price, size), which the book now shows (None when nothing was taken)."""
        level = self.opposite(buy)
        if level is None or quantity <= 0:
            return 0, None
        price, size = level
        taken = min(quantity, size)
        size -= taken
        if size == 0:
            nxt = round(price + (self._m.spec.tick_size if buy else -self._m.spec.tick_size), 10)
            if nxt > 0:
                price, size = nxt, self._m.spec.top_size
            else:
                size = 0
        if size:
            self._m.quotes[_SIDE[buy]] = [price, size, stamp]
        else:
            self._m.quotes.pop(_SIDE[buy], None)  # nothing left on that side
        return taken, (price, size) if size else None

    def ahead_of(self, buy, limit):
        """Contracts queued before a new resting order at ``limit``: what the book shows at
        that price, nothing when the order improves on the best price, the usual depth when
        it joins a level behind the best."""
        best = self.same(buy)
        if best is None:
            return 0
        price, size = best
        if abs(price - limit) < 1e-9:
            return size
        if (limit > price) if buy else (limit < price):
            return 0
        return self._m.spec.top_size
