"""Timed-bars requests and the bar collections that answer them."""
from cqgsim import constants as C
from cqgsim.collection import Collection

INVALID = C.INVALID_VALUE


class TimedBarsRequest:
    """Written by the caller before RequestTimedBars. Setting one period clears the other."""

    def __init__(self):
        self.Symbol = ""
        self.RangeStart = 0
        self.RangeEnd = -100
        self._historical = None
        self._intraday = C.pfds1Min
        self.DailyBarClose = C.dbcLastQuoteOrSettlement
        self.UpdatesEnabled = True
        self.SessionsFilter = 31
        self._outputs = {C.tbrActualVolume, C.tbrTickVolume}

    @property
    def HistoricalPeriod(self):
        return self._historical

    @HistoricalPeriod.setter
    def HistoricalPeriod(self, value):
        self._historical, self._intraday = value, None

    @property
    def IntradayPeriod(self):
        return self._intraday

    @IntradayPeriod.setter
    def IntradayPeriod(self, value):
        self._intraday, self._historical = value, None

    def IncludeOutput(self, kind, flag):
        if kind not in C.ENUMS["eTimedBarsRequestOutputs"].values():
            raise ValueError(f"IncludeOutput: unknown output {kind!r}")
        if flag:
            self._outputs.add(kind)
        else:
            self._outputs.discard(kind)


class TimedBar:
    __slots__ = ("Timestamp", "Open", "High", "Low", "Close", "ActualVolume", "TickVolume",
                 "ContractVolume", "CommodityVolume", "ActualVolumeFractional",
                 "ContractVolumeFractional", "CommodityVolumeFractional", "_data")

    def __init__(self, data, timestamp, outputs):
        self._data = data
        self.Timestamp = timestamp
        self.refresh(outputs)

    def refresh(self, outputs):
        d = self._data
        self.Open, self.High, self.Low, self.Close = d.open, d.high, d.low, d.close
        self.ActualVolume = d.volume
        self.ActualVolumeFractional = float(d.volume)
        self.TickVolume = d.ticks if C.tbrTickVolume in outputs else INVALID
        if C.tbrContractVolume in outputs:
            self.ContractVolume, self.ContractVolumeFractional = d.volume, float(d.volume)
        else:
            self.ContractVolume = self.ContractVolumeFractional = INVALID
        if C.tbrCommodityVolume in outputs:
            self.CommodityVolume, self.CommodityVolumeFractional = d.volume, float(d.volume)
        else:
            self.CommodityVolume = self.CommodityVolumeFractional = INVALID


class TimedBars(Collection):
    """A fixed number of bars, oldest first; the last one is still forming."""

    __slots__ = ("Request", "Id", "_series", "_outputs", "_size", "_updates", "_active")

    def __init__(self, core, request, series, ident, size):
        Collection.__init__(self, core)
        self.Request = request
        self.Id = ident
        self._series = series
        self._outputs = frozenset(request._outputs)
        self._size = size
        self._updates = bool(request.UpdatesEnabled)
        self._active = True

    # -- the simulator's ---------------------------------------------------------------
    @property
    def bar_series(self):
        """The market's series these bars show (None for a refused request)."""
        return self._series

    @property
    def sends_updates(self):
        return self._updates and self._active

    @property
    def is_active(self):
        return self._active

    def deactivate(self):
        self._active = False

    def new_bar(self, data, timestamp):
        return TimedBar(data, timestamp, self._outputs)

    def start_with(self, bars):
        self._items.extend(bars)

    def refresh_forming(self):
        """The forming bar (the last one) reads its data again; returns its index."""
        self._items[-1].refresh(self._outputs)
        return len(self._items) - 1

    def is_full(self):
        return len(self._items) >= self._size

    def drop_oldest(self):
        del self._items[0]

    def append_bar(self, bar):
        self._items.append(bar)

    @property
    def size_wanted(self):
        """How many bars the request asked for, the forming one included."""
        return self._size


class AllTimedBars(Collection):
    __slots__ = ()
