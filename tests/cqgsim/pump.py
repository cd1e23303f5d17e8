"""Runs the simulated component as the system does: created on a worker thread that enters
an apartment and pumps, with a sink connected there, and used from the test thread through
a proxy. Reusable by any test that needs a live component."""
import threading

import pythoncom
import win32com.client
import win32event

import cqgsim
from cqgsim import constants

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
        self._timeout = timeout
        self._ready = threading.Event()
        self._stop = win32event.CreateEvent(None, 0, 0, None)
        self._stream = None
        self._error = None
        self.sink = self.sim = self.cel = None
        self.thread = threading.Thread(target=self._run, name="cel-worker")

    def __enter__(self):
        self.thread.start()
        assert self._ready.wait(self._timeout), "the component's thread did not start"
        if self._error is not None:
            raise self._error
        self.cel = win32com.client.Dispatch(
            pythoncom.CoGetInterfaceAndReleaseStream(self._stream, pythoncom.IID_IDispatch))
        return self

    def __exit__(self, *exc):
        try:
            if self.sim is not None and not self.sim.shut_down:
                self.cel.Shutdown()
        finally:
            win32event.SetEvent(self._stop)
            self.thread.join(self._timeout)
        assert not self.thread.is_alive(), "the component's thread did not end"
        if exc[0] is None and self.sim is not None:
            assert self.sim.errors == [], self.sim.errors

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

    def _run(self):
        pythoncom.CoInitialize()
        try:
            try:
                cel = win32com.client.Dispatch("CQG.CQGCEL.4")
                self.sim = cqgsim.latest()
                self.sink = win32com.client.WithEvents(cel, self._sink_class)
                self._stream = pythoncom.CoMarshalInterThreadInterfaceInStream(
                    pythoncom.IID_IDispatch, cel)
            except Exception as exc:  # handed to the test thread
                self._error = exc
                return
            finally:
                self._ready.set()
            while True:
                rc = win32event.MsgWaitForMultipleObjects(
                    [self._stop], 0, win32event.INFINITE, win32event.QS_ALLEVENTS)
                if rc == win32event.WAIT_OBJECT_0 or pythoncom.PumpWaitingMessages():
                    break
        finally:
            pythoncom.CoUninitialize()
