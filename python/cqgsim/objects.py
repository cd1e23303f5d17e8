"""Small objects of the component: errors, its API configuration, quotes and instruments."""
from cqgsim import constants as C
from cqgsim.collection import Collection


class ComponentError:
    """The component's error object."""

    __slots__ = ("Code", "Description")

    def __init__(self, code: int, description: str):
        self.Code = code
        self.Description = description

    def __repr__(self):
        return f"<ComponentError {self.Code}: {self.Description}>"


def _bool(name, value):
    if not isinstance(value, (bool, int)):
        raise TypeError(f"{name} must be a boolean, not {type(value).__name__}")
    return bool(value)


class APIConfiguration:
    """The component's live API configuration: writes take effect at once."""

    def __init__(self, core):
        self._core = core
        self._throws = True
        self._new_change_mode = False
        self._ready_check = C.rscOn
        self._include_transactions = False
        self._use_side = False

    @property
    def CollectionsThrowException(self):
        return self._throws

    @CollectionsThrowException.setter
    def CollectionsThrowException(self, value):
        self._throws = _bool("CollectionsThrowException", value)

    @property
    def NewInstrumentChangeMode(self):
        return self._new_change_mode

    @NewInstrumentChangeMode.setter
    def NewInstrumentChangeMode(self, value):
        self._new_change_mode = _bool("NewInstrumentChangeMode", value)

    @property
    def ReadyStatusCheck(self):
        return self._ready_check

    @ReadyStatusCheck.setter
    def ReadyStatusCheck(self, value):
        if value not in C.ENUMS["eReadyStatusCheck"].values():
            raise ValueError(f"ReadyStatusCheck: unknown value {value!r}")
        self._ready_check = int(value)

    @property
    def TimeZoneCode(self):
        return self._core.clock.zone_code

    @TimeZoneCode.setter
    def TimeZoneCode(self, value):
        self._core.clock.set_zone(value)

    @property
    def IncludeOrderTransactions(self):
        return self._include_transactions

    @IncludeOrderTransactions.setter
    def IncludeOrderTransactions(self, value):
        self._include_transactions = _bool("IncludeOrderTransactions", value)

    @property
    def UseOrderSide(self):
        return self._use_side

    @UseOrderSide.setter
    def UseOrderSide(self, value):
        self._use_side = _bool("UseOrderSide", value)


class Quote:
    """One quote of an instrument as it stood when delivered."""

    __slots__ = ("Type", "Price", "Volume", "IsValid", "Timestamp")

    def __init__(self, type_, price, volume, valid, timestamp):
        self.Type = type_
        self.Price = price
        self.Volume = volume
        self.IsValid = valid
        self.Timestamp = timestamp


class Quotes(Collection):
    __slots__ = ()

    def ItemByType(self, quote_type):
        for q in self._items:
            if q.Type == quote_type:
                return q
        return self._missing(quote_type)


class Instrument:
    """A resolved instrument; raising DataSubscriptionLevel starts its quotes."""

    def __init__(self, core, market):
        self._core = core
        self._market = market
        spec = market.spec
        self.FullName = spec.full_name
        self.Commodity = spec.commodity
        self.Description = spec.description
        self.ExchangeAbbreviation = spec.exchange
        self.TickSize = spec.tick_size
        self.TickValue = round(spec.tick_size * spec.point_value, 10)
        self.Currency = spec.currency
        self._level = C.dsNone

    @property
    def DataSubscriptionLevel(self):
        return self._level

    @DataSubscriptionLevel.setter
    def DataSubscriptionLevel(self, value):
        if value not in C.ENUMS["eDataSubscriptionLevel"].values():
            raise ValueError(f"DataSubscriptionLevel: unknown value {value!r}")
        old, self._level = self._level, int(value)
        self._core.submit(self._core.market_data.level_changed, self, old)

    @property
    def Quotes(self):
        return Quotes(self._core, self._market.quotes_snapshot(None))

    def _quote(self, quote_type):
        return self._market.quote(quote_type)

    @property
    def Bid(self):
        return self._quote(C.qtBid)

    @property
    def Ask(self):
        return self._quote(C.qtAsk)

    @property
    def Trade(self):
        return self._quote(C.qtTrade)

    @property
    def Settlement(self):
        return self._quote(C.qtSettlement)

    # -- the simulator's ---------------------------------------------------------------
    @property
    def market_state(self):
        return self._market

    def __repr__(self):
        return f"<Instrument {self.FullName}>"


class Instruments(Collection):
    __slots__ = ()

    def Item(self, key):
        if isinstance(key, str):
            for inst in self._items:
                if key in (inst.FullName, inst.FullName.rsplit(".", 1)[-1]):
                    return inst
            return self._missing(key)
        return Collection.Item(self, key)
