"""Runs the simulated component as the system does: created on a worker thread that enters
an apartment and pumps, with a sink connected there, and used from the test thread through
a proxy. Reusable by any test that needs a live component."""
import threading
from typing import Any, Optional

import win32com.client

import cqgsim
from cqgsim import constants
from cqgsim.script import Simulation
from tests.bridge.worker import ApartmentThread

win32com.client.gencache.EnsureModule(constants.TYPELIB_ID, 0, *constants.TYPELIB_VERSION)
from cqgsim.events import EVENTS


def _record(name):
    def handler(self, *args):
        self._add(name, self.capture(name, args))
    handler.__name__ = name
    return handler


class Recorder:
    """A sink that records every event as (name, data); ``capture`` turns the arguments
    into plain data while the handler runs, since the objects change later."""

    def __init__(self):
        self._cond = threading.Condition()
        self.events = []  # guarded by _cond

    def capture(self, name, args):
        return args

    def _add(self, name, data):
        with self._cond:
            self.events.append((name, data))
            self._cond.notify_all()

    def of(self, *names):
        with self._cond:
            return [d for n, d in self.events if n in names]

    def names(self, ignore=("OnLineTimeChanged",)):
        with self._cond:
            return [n for n, _ in self.events if n not in ignore]

    def clear(self):
        with self._cond:
            self.events.clear()

    def wait_for(self, name, count=1, timeout=10.0):
        """Waits until ``count`` events called ``name`` were recorded; returns their data."""
        with self._cond:
            ok = self._cond.wait_for(
                lambda: sum(n == name for n, _ in self.events) >= count, timeout)
            assert ok, f"{name} x{count} not seen; got {[n for n, _ in self.events]}"
            return [d for n, d in self.events if n == name]


for _name in EVENTS:
    setattr(Recorder, _name, _record(_name))


class ComponentHost:
    """``with ComponentHost(SinkClass) as host``: ``host.cel`` is the proxy, ``host.sink``
    the connected sink, ``host.sim`` the simulation behind the component."""

    def __init__(self, sink_class=Recorder, timeout=10.0):
        self._sink_class = sink_class
        self._apartment = ApartmentThread(self._create, timeout)
        self.sink: Any = None  # the connected sink, made on the apartment's thread
        self.cel: Any = None  # the component's proxy, once entered
        self._sim: Optional[Simulation] = None

    @property
    def sim(self) -> Simulation:
        assert self._sim is not None, "the component has not been created"
        return self._sim

    def _create(self):
        cel = win32com.client.Dispatch("CQG.CQGCEL.4")
        self._sim = cqgsim.latest()
        self.sink = win32com.client.WithEvents(cel, self._sink_class)
        return {"cel": cel}

    def __enter__(self):
        self._apartment.__enter__()
        self.cel = self._apartment.proxy("cel")
        return self

    def __exit__(self, *exc):
        try:
            if self._sim is not None and not self._sim.shut_down:
                self.cel.Shutdown()
        finally:
            self._apartment.stop()
        if exc[0] is None and self._sim is not None:
            assert self._sim.errors == [], self._sim.errors

    def start(self, user="trader", password="secret"):
        """Configuration, startup and logon, as the environment and the adapter do."""
        config = self.cel.APIConfiguration
        config.CollectionsThrowException = False
        config.NewInstrumentChangeMode = True
        config.ReadyStatusCheck = 0
        config.TimeZoneCode = win32com.client.constants.tzChina
        config.IncludeOrderTransactions = True
        config.UseOrderSide = True
        self.cel.Startup()
        self.sink.wait_for("OnCELStarted")
        self.cel.GWLogon(user, password)
        self.sink.wait_for("OnGWConnectionStatusChanged")
        return self
