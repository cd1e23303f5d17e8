"""Ticks requests and the ticks collections that answer them."""
from cqgsim import constants as C
from cqgsim.collection import Collection

DEFAULT_LIMIT = 100


class TicksRequest:
    """Written by the caller before RequestTicks; read back as written."""

    def __init__(self):
        self.Symbol = ""
        self.Type = C.trtCurrentNotify
        self.TickFilter = C.tfAll
        self.SessionsFilter = 31
        self.Limit = DEFAULT_LIMIT
        self.SinceTime = None


class Tick:
    __slots__ = ("PriceType", "Price", "Volume", "Timestamp")

    def __init__(self, price_type, price, volume, timestamp):
        self.PriceType = price_type
        self.Price = price
        self.Volume = volume
        self.Timestamp = timestamp


_FILTERS = {
    C.tfAll: None,
    C.tfTrades: frozenset({C.tptTrade, C.tptSettlement}),
    C.tfBBA: frozenset({C.tptAsk, C.tptBid}),
}


class Ticks(Collection):
    """The newest ticks of one request, oldest first; at most Limit are kept, or the whole
    latest batch when it is larger."""

    __slots__ = ("Request", "Id", "_limit", "_accepts", "_market", "_active")

    def __init__(self, core, request, market, ident):
        Collection.__init__(self, core)
        self.Request = request
        self.Id = ident
        self._market = market
        self._limit = request.Limit
        self._accepts = _FILTERS.get(request.TickFilter)
        self._active = True

    # -- the simulator's ---------------------------------------------------------------
    @property
    def market_state(self):
        """The market the ticks come from (None for a request that named none)."""
        return self._market

    @property
    def is_active(self):
        return self._active

    def deactivate(self):
        self._active = False

    def accepted(self, ticks):
        """The ticks that pass the request's filter."""
        accepts = self._accepts
        return ticks if accepts is None else [t for t in ticks if t.PriceType in accepts]

    def start_with(self, recent):
        """The collection as resolved: the newest of the market's recent ticks."""
        self._items.extend(self.accepted(recent)[-self._limit:])

    def room_for(self, n):
        """How many of the oldest ticks to drop before ``n`` new ones are appended."""
        return max(0, len(self._items) + n - max(self._limit, n))

    def drop_oldest(self, k):
        del self._items[:k]

    def append_ticks(self, ticks):
        self._items.extend(ticks)


class AllTicks(Collection):
    __slots__ = ()
