"""Scripted stand-ins for the component's objects, for driving the adapter on one thread."""
import datetime


class Recorded:
    """An object whose property writes are kept in order, as (name, value)."""

    writes: list

    def __init__(self, **values):
        object.__setattr__(self, "writes", [])
        for name, value in values.items():
            object.__setattr__(self, name, value)

    def __setattr__(self, name, value):
        self.writes.append((name, value))
        object.__setattr__(self, name, value)


class Request(Recorded):
    """A ticks or timed-bars request (the bridge writes only members that exist)."""

    Symbol = Type = TickFilter = SessionsFilter = Limit = None
    RangeStart = RangeEnd = HistoricalPeriod = IntradayPeriod = None
    DailyBarClose = UpdatesEnabled = None

    def IncludeOutput(self, kind, flag):
        self.writes.append(("IncludeOutput", (kind, flag)))


class Account:
    def __init__(self, gw_account_id, name):
        self.GWAccountID = gw_account_id
        self.GWAccountName = name


class Instrument(Recorded):
    DataSubscriptionLevel = None

    def __init__(self, full_name):
        super().__init__(FullName=full_name)


class Quote:
    def __init__(self, quote_type, price, valid=True):
        self.Type, self.Price, self.IsValid = quote_type, price, valid


class Tick:
    def __init__(self, price_type, price, volume):
        self.PriceType, self.Price, self.Volume = price_type, price, volume


class Bar:
    def __init__(self, minute, o, h, l, c, v):
        # Component time stamps carry fractions of a second; records keep whole seconds.
        self.Timestamp = datetime.datetime(2025, 12, 1, 9, 0, 0, 250000) + datetime.timedelta(minutes=minute)
        self.Open, self.High, self.Low, self.Close, self.ActualVolume = o, h, l, c, v
        self.ActualVolumeFractional = float(v)
        self.CommodityVolumeFractional = 2.5
        self.ContractVolumeFractional = 1.5
        self.TickVolume = 7


class Series:
    """A ticks or timed-bars object: Count, Request.Symbol and Item(i); reads are logged."""

    def __init__(self, symbol, items):
        self.Request = Request(Symbol=symbol)
        self.items = list(items)
        self.read = []

    @property
    def Count(self):
        return len(self.items)

    def Item(self, index):
        self.read.append(index)
        return self.items[index]


class Component:
    """The component: each request is logged as (name, *args); ``answers[name]`` runs on the
    same call, so a test can answer with an event at once or not at all."""

    def __init__(self):
        self.calls = []
        self.answers = {}
        self.Accounts = []
        self.Instruments = []
        self.AllTicks = []
        self.AllTimedBars = []

    def _request(self, name, *args):
        self.calls.append((name,) + args)
        if name in self.answers:
            self.answers[name](*args)

    def GWLogon(self, user_name, password):
        self._request("GWLogon", user_name, password)

    def GWLogoff(self):
        self._request("GWLogoff")

    def NewInstrument(self, symbol):
        self._request("NewInstrument", symbol)

    def RemoveInstrument(self, instrument):
        self._request("RemoveInstrument", instrument)

    def CreateTicksRequest(self):
        return Request()

    def RequestTicks(self, request):
        self._request("RequestTicks", request)

    def RemoveTicks(self, ticks):
        self._request("RemoveTicks", ticks)

    def CreateTimedBarsRequest(self):
        return Request()

    def RequestTimedBars(self, request):
        self._request("RequestTimedBars", request)

    def RemoveTimedBars(self, bars):
        self._request("RemoveTimedBars", bars)
