"""Orders, their properties and their fills."""
from cqgsim import constants as C
from cqgsim.collection import Collection

_PROPERTY_NAMES = {v: k[2:] for k, v in C.ENUMS["eOrderProperty"].items()}


class OrderProperty:
    __slots__ = ("Id", "Name", "Value")

    def __init__(self, ident, value):
        self.Id = ident
        self.Name = _PROPERTY_NAMES.get(ident, str(ident))
        self.Value = value


class OrderProperties:
    """An order's properties by property id, as they stood when this object was made."""

    __slots__ = ("_values",)

    def __init__(self, values):
        self._values = values

    @property
    def Count(self):
        return len(self._values)

    def Item(self, ident):
        if ident not in self._values:
            raise KeyError(f"Order property {ident!r} is not known")
        return OrderProperty(ident, self._values[ident])

    __call__ = Item

    def __iter__(self):
        return iter([OrderProperty(k, v) for k, v in self._values.items()])

    def __len__(self):
        return len(self._values)


class Fill:
    __slots__ = ("Id", "Status", "Timestamp", "Price", "Quantity", "Side", "Order",
                 "InstrumentName", "GWAccountID")

    def __init__(self, ident, order, quantity, price, timestamp, status=C.fsNormal):
        self.Id = ident
        self.Status = status
        self.Timestamp = timestamp
        self.Price = price
        self.Quantity = quantity
        self.Side = order.Side
        self.Order = order
        self.InstrumentName = order.InstrumentName
        self.GWAccountID = order.GWAccountID


class Order:
    """An order made by CreateOrder (or entered elsewhere). Its GUID is known at once."""

    def __init__(self, core, guid, order_type, market, account, quantity, side, limit, stop):
        self._core = core
        self._market = market
        self._account = account
        self._place_requested = False
        # The fill model's: whether the stop was touched, the contracts queued before the
        # order at its price while it rests, and what the book last showed at that price
        # (None: not shown).
        self.stop_triggered = False
        self.queue_ahead = 0
        self.queue_seen = None
        self.GUID = guid
        self.Type = order_type
        self.InstrumentName = market.spec.full_name
        self.GWAccountID = account.GWAccountID if account is not None else 0
        self.Quantity = quantity
        self.Side = side
        self.LimitPrice = limit
        self.StopPrice = stop
        self.GWStatus = C.osNotSent
        self.FilledQuantity = 0
        self.AverageFillPrice = 0.0
        self.PlaceTime = None
        self.EventServerTimestamp = None
        self.RejectReason = ""
        self.Manual = 0
        self._fills = []

    @property
    def Instrument(self):
        return self._market.instrument

    @property
    def Account(self):
        return self._account

    @property
    def Fills(self):
        return Collection(self._core, list(self._fills))

    @property
    def RemainingQuantity(self):
        # A quantity that is no number is refused once the order is placed; until then
        # nothing of it counts as left to fill.
        if self.GWStatus in C.FINAL_STATUSES or not isinstance(self.Quantity, (int, float)):
            return 0
        return max(0, self.Quantity - self.FilledQuantity)

    def property_values(self):
        """Every property by id, as it stands."""
        return {
            C.opGUID: self.GUID, C.opGWStatus: self.GWStatus,
            C.opEventServerTimestamp: self.EventServerTimestamp,
            C.opAverageFillPrice: self.AverageFillPrice, C.opFilledQuantity: self.FilledQuantity,
            C.opQuantity: self.Quantity, C.opSide: self.Side, C.opOrderType: self.Type,
            C.opLimitPrice: self.LimitPrice, C.opStopPrice: self.StopPrice,
            C.opInstrumentName: self.InstrumentName, C.opGWAccountID: self.GWAccountID,
            C.opPlaceTime: self.PlaceTime, C.opRemainingQuantity: self.RemainingQuantity,
        }

    @property
    def Properties(self):
        return OrderProperties(self.property_values())

    def Place(self):
        if self._place_requested:
            raise RuntimeError(f"Order {self.GUID} has already been placed")
        self.mark_placed()
        self._core.trading.place(self)

    def Cancel(self):
        if not self._place_requested:
            raise RuntimeError(f"Order {self.GUID} has not been placed")
        if self.GWStatus in C.FINAL_STATUSES:
            raise RuntimeError(f"Order {self.GUID} is no longer working and cannot be cancelled")
        self._core.trading.cancel(self)

    # -- the simulator's ---------------------------------------------------------------
    @property
    def market_state(self):
        return self._market

    def mark_placed(self):
        """From now on the order counts as sent: it can be cancelled, not placed again."""
        self._place_requested = True

    def add_fill(self, fill):
        self._fills.append(fill)

    def last_fill(self):
        return self._fills[-1] if self._fills else None

    def __repr__(self):
        return f"<Order {self.GUID}>"


class Orders(Collection):
    __slots__ = ("_by_guid",)

    def __init__(self, core):
        Collection.__init__(self, core)
        self._by_guid = {}

    def ItemByGuid(self, guid):
        order = self._by_guid.get(guid)
        if order is None:
            raise KeyError(f"There is no order with GUID {guid!r}")
        return order

    def append_item(self, item):
        self._items.append(item)
        self._by_guid[item.GUID] = item

    def remove_item(self, item):
        if self._by_guid.pop(item.GUID, None) is not None:
            self._items.remove(item)
