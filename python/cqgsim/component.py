"""CQGCEL: the component object that the bridge creates for "CQG.CQGCEL.4"."""
from cqgsim import config as _config
from cqgsim import constants as C
from cqgsim import registry
from cqgsim.bars import TimedBars, TimedBarsRequest
from cqgsim.core import Core
from cqgsim.objects import Instrument
from cqgsim.script import Simulation
from cqgsim.ticks import Ticks, TicksRequest


def _text(name, value):
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a string, not {type(value).__name__}")
    return value


class CQGCEL:
    """Members are called on the thread that created the component (the bridge sees to it);
    every answer arrives later as an event."""

    def __init__(self, config=None, bridge=None):
        if bridge is None:
            import comsim as bridge
        self._core = Core(self, config or _config.current(), bridge)
        self._sim = Simulation(self._core)
        registry.add(self._sim)

    # -- properties ----------------------------------------------------------------------
    @property
    def APIConfiguration(self):
        return self._core.api

    @property
    def Instruments(self):
        return self._core.instruments

    @property
    def AllTicks(self):
        return self._core.all_ticks

    @property
    def AllTimedBars(self):
        return self._core.all_timed_bars

    @property
    def Accounts(self):
        return self._core.accounts

    @property
    def Orders(self):
        return self._core.orders

    @property
    def IsStarted(self):
        return self._core.startup_called and not self._core.shut_down

    @property
    def LineTime(self):
        return self._core.clock.local(self._core.clock.now)

    @property
    def AccountSubscriptionLevel(self):
        return self._core.account_level

    @AccountSubscriptionLevel.setter
    def AccountSubscriptionLevel(self, value):
        core = self._core
        if value not in C.ENUMS["eAccountSubscriptionLevel"].values():
            raise ValueError(f"AccountSubscriptionLevel: unknown value {value!r}")
        old, core.account_level = core.account_level, int(value)
        if value == C.aslAccountUpdatesAndOrders and old != value:
            core.request("AccountSubscriptionLevel", core.connections.accounts_on, core.connections.failed)

    # -- start and stop ------------------------------------------------------------------
    def Startup(self):
        core = self._core
        if core.shut_down:
            raise RuntimeError("CQGCEL has been shut down")
        core.startup_called = True
        core.request("Startup", core.connections.started, core.connections.start_failed)

    def Shutdown(self):
        self._core.connections.shutdown()

    # -- gateway -------------------------------------------------------------------------
    def GWLogon(self, user_name, password):
        self._core.check_usable()
        _text("user_name", user_name)
        _text("password", password)
        links = self._core.connections
        self._core.request("GWLogon", links.logon, links.logon_failed, user_name, password)

    def GWLogoff(self):
        self._core.check_usable()
        links = self._core.connections
        self._core.request("GWLogoff", links.logoff, links.failed)

    # -- instruments ---------------------------------------------------------------------
    def NewInstrument(self, symbol):
        core = self._core
        core.check_usable()
        _text("symbol", symbol)
        md = core.market_data
        core.request("NewInstrument", md.resolve_instrument, md.fail_instrument, symbol)

    def RemoveInstrument(self, instrument):
        self._core.check_not_shut_down()
        if not isinstance(instrument, Instrument):
            raise TypeError("RemoveInstrument takes an instrument of this component")
        self._core.market_data.remove_instrument(instrument)

    # -- ticks ---------------------------------------------------------------------------
    def CreateTicksRequest(self):
        return TicksRequest()

    def RequestTicks(self, request):
        core = self._core
        core.check_usable()
        if not isinstance(request, TicksRequest):
            raise TypeError("RequestTicks takes a request made by CreateTicksRequest")
        md = core.market_data
        ticks = md.new_ticks(request)
        problem = md.check_ticks_request(request)
        if problem:
            core.request("RequestTicks", md.ticks_refused, md.ticks_failed, ticks, problem)
        else:
            core.all_ticks.append_item(ticks)
            core.request("RequestTicks", md.resolve_ticks, md.ticks_failed, ticks)
        return ticks

    def RemoveTicks(self, ticks):
        self._core.check_not_shut_down()
        if not isinstance(ticks, Ticks):
            raise TypeError("RemoveTicks takes a ticks object of this component")
        self._core.market_data.remove_ticks(ticks)

    # -- timed bars ----------------------------------------------------------------------
    def CreateTimedBarsRequest(self):
        return TimedBarsRequest()

    def RequestTimedBars(self, request):
        core = self._core
        core.check_usable()
        if not isinstance(request, TimedBarsRequest):
            raise TypeError("RequestTimedBars takes a request made by CreateTimedBarsRequest")
        md = core.market_data
        problem = md.check_bars_request(request)
        bars = md.new_bars(request, valid=not problem)
        if problem:
            core.request("RequestTimedBars", md.bars_refused, md.bars_failed, bars, problem)
        else:
            core.all_timed_bars.append_item(bars)
            core.request("RequestTimedBars", md.resolve_bars, md.bars_failed, bars)
        return bars

    def RemoveTimedBars(self, bars):
        self._core.check_not_shut_down()
        if not isinstance(bars, TimedBars):
            raise TypeError("RemoveTimedBars takes a timed-bars object of this component")
        self._core.market_data.remove_bars(bars)

    # -- orders --------------------------------------------------------------------------
    def CreateOrder(self, order_type, instrument, account, quantity, side=None,
                    limit_price=None, stop_price=None):
        self._core.check_usable()
        return self._core.trading.create(order_type, instrument, account, quantity, side,
                                         limit_price, stop_price)
