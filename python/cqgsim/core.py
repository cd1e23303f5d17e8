"""The component's state and its plumbing: events, ordered steps, scripted answers."""
import datetime as _dt
import random
import threading

from cqgsim import constants as C
from cqgsim.accounts import Accounts
from cqgsim.alarms import Alarms
from cqgsim.bars import AllTimedBars
from cqgsim.clock import SimClock
from cqgsim.events import EVENTS
from cqgsim.marketdata import MarketData
from cqgsim.objects import APIConfiguration, ComponentError, Instruments
from cqgsim.orders import Orders
from cqgsim.paper_book import PaperBook
from cqgsim.sequencer import Sequencer
from cqgsim.connections import Connections
from cqgsim.drills import Drills
from cqgsim.ticks import AllTicks
from cqgsim.trading import Trading

REQUESTS = ("Startup", "GWLogon", "GWLogoff", "NewInstrument", "RequestTicks",
            "RequestTimedBars", "AccountSubscriptionLevel", "Place", "Cancel")
ANSWERS = ("answer", "drop", "hold", "error")
_STEP_US = 137  # between two events that happen at one simulated instant


class Policy:
    def __init__(self, how, times, code, description):
        self.how, self.times, self.code, self.description = how, times, code, description


class Core:
    """Owned by the component's thread, except where a member says otherwise."""

    def __init__(self, component, config, bridge):
        self.component = component
        self.config = config
        self.bridge = bridge  # fire/post of the COM bridge; safe from any thread
        self.thread_id = threading.get_ident()
        self.clock = SimClock(config.start)
        self.alarms = Alarms()
        self.api = APIConfiguration(self)
        self.errors = []  # faults of the simulator itself; appended on the component thread
        self.seq = Sequencer(lambda fn: bridge.post(component, fn), self.errors.append)
        self.paper = PaperBook(config.paper_store)
        self.rng = random.Random(self.paper.guid_seed(config.seed))
        self.startup_called = False
        self.shut_down = False
        self.gw_up = False
        self.data_up = False
        self.account_level = C.aslNone
        self.instruments = Instruments(self)
        self.all_ticks = AllTicks(self)
        self.all_timed_bars = AllTimedBars(self)
        self.accounts = Accounts(self)
        self.orders = Orders(self)
        self.market_data = MarketData(self)
        self.trading = Trading(self)
        self.connections = Connections(self)
        self.drills = Drills(self)
        self.on_shutdown = []  # calls made on the component's thread when it shuts down
        self.policies = {}  # request kind -> Policy
        self.held = []  # (kind, answer, fail, args) in arrival order
        self.live = None  # the live market, once started
        self._stamp_base = None
        self._stamp_us = 0

    # -- events and steps ----------------------------------------------------------------
    def fire(self, name, *args):
        params = EVENTS.get(name)
        if params is None or len(params) != len(args):
            raise RuntimeError(f"cqgsim fired {name} with {len(args)} arguments")
        if self.shut_down:
            return
        self.seq.fired = True
        self.bridge.fire(self.component, name, *args)

    def submit(self, fn, *args):
        """Queues a state change behind every earlier one; any thread."""
        return self.seq.submit(fn, *args)

    def error(self, code, description):
        return ComponentError(code, description)

    def check_not_shut_down(self):
        if self.shut_down:
            raise RuntimeError("CQGCEL has been shut down")

    def check_usable(self):
        self.check_not_shut_down()
        if not self.startup_called:
            raise RuntimeError("CQGCEL is not started")

    # -- scripted answers ----------------------------------------------------------------
    def request(self, kind, answer, fail, *args):
        self.submit(self.dispatch, kind, answer, fail, args)

    def dispatch(self, kind, answer, fail, args):
        """Answers a request as its policy says (on the component's thread); a drill may
        hold it for a while first."""
        hold = self.drills.take_hold()
        if hold is not None:
            entry = (kind, answer, fail, args)
            self.held.append(entry)
            self.alarms.at(self.clock.now + _dt.timedelta(seconds=hold), self._answer_held, entry)
            return
        self._answer(kind, answer, fail, args)

    def _answer_held(self, entry):
        """A drill's hold is over: the request is answered as it would have been, unless a
        script released it already."""
        for i, held in enumerate(self.held):
            if held is entry:
                del self.held[i]
                self._answer(*entry)
                return

    def _answer(self, kind, answer, fail, args):
        policy = self.policies.get(kind)
        how = "answer" if policy is None else policy.how
        if policy is not None and policy.times is not None:
            policy.times -= 1
            if policy.times <= 0:
                del self.policies[kind]
        if how == "answer":
            answer(*args)
        elif how == "error":
            fail(*args, self.error(policy.code, policy.description))
        elif how == "hold":
            self.held.append((kind, answer, fail, args))

    def release(self, kind, how, code, description):
        keep, go = [], []
        for entry in self.held:
            (go if kind is None or entry[0] == kind else keep).append(entry)
        self.held = keep
        for _, answer, fail, args in go:
            if how == "answer":
                self.seq.then(answer, *args)
            else:
                self.seq.then(fail, *args, self.error(code, description))

    # -- time ----------------------------------------------------------------------------
    def set_time(self, utc):
        old = self.clock.now
        if utc <= old:
            return
        self.clock.now = utc
        if utc.replace(microsecond=0) != old.replace(microsecond=0) and self.startup_called:
            self.fire("OnLineTimeChanged", self.clock.local(utc))

    def event_time(self):
        """The current time for an event; later events at one instant get later stamps."""
        now = self.clock.now
        if now != self._stamp_base:
            self._stamp_base, self._stamp_us = now, 0
        self._stamp_us += _STEP_US
        return self.clock.local(now + _dt.timedelta(microseconds=self._stamp_us))
