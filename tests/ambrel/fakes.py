"""Scripted stand-ins for the CQG component, registered with the bridge under its ProgID."""
import threading

import comsim
import win32api

PROGID = "CQG.CQGCEL.4"
TYPELIB = "{51F35562-AEB4-4AB3-99E8-AC9666344B64}"


class Config:
    """A live API configuration that records every write in order."""

    writes: list

    def __init__(self, **properties):
        object.__setattr__(self, "writes", [])
        initial = dict(CollectionsThrowException=True, NewInstrumentChangeMode=False,
                       ReadyStatusCheck=1, TimeZoneCode=0, IncludeOrderTransactions=False,
                       UseOrderSide=False)
        initial.update(properties)
        for name, value in initial.items():
            object.__setattr__(self, name, value)

    def __setattr__(self, name, value):
        self.writes.append((name, value))
        object.__setattr__(self, name, value)


class Error:
    """The component's error object."""

    def __init__(self, code, description):
        self.Code = code
        self.Description = description


class Component:
    """A component whose Startup answers as `on_startup` says.

    on_startup: "started", "data_error" (an error object, then the start event),
    "error_only", "none_error" (OnDataError with no error object), "quit" (ends the
    worker's pump without any event) or "silent".
    """

    instances: list["Component"] = []

    def __init__(self, on_startup="started", config=None, fail_shutdown=None):
        self.on_startup = on_startup
        self.config = config if config is not None else Config()
        self.fail_shutdown = fail_shutdown
        self.calls = []  # (member, thread ident)
        self.config_reads = 0
        Component.instances.append(self)

    def _note(self, member):
        self.calls.append((member, threading.get_ident()))

    @property
    def APIConfiguration(self):
        self.config_reads += 1
        return self.config

    def Startup(self):
        self._note("Startup")
        if self.on_startup == "started":
            comsim.fire(self, "OnCELStarted")
        elif self.on_startup == "data_error":
            comsim.fire(self, "OnDataError", Error(-7, "no data"), "not shown")
            comsim.fire(self, "OnCELStarted")
        elif self.on_startup == "error_only":
            comsim.fire(self, "OnDataError", Error(13, "line down"), "not shown")
        elif self.on_startup == "none_error":
            comsim.fire(self, "OnDataError", None, "not shown")
        elif self.on_startup == "quit":
            win32api.PostQuitMessage(0)

    def Shutdown(self):
        self._note("Shutdown")
        if self.fail_shutdown:
            raise self.fail_shutdown

    def WhoRuns(self):
        self._note("WhoRuns")
        return threading.get_ident()

    def WorkerThreadId(self):
        return win32api.GetCurrentThreadId()

    def Fire(self, name, *args):
        return comsim.fire(self, name, *args)


def register(factory):
    comsim.register_component(PROGID, factory, TYPELIB)


def restore_default():
    """Puts the simulated component back under the ProgID, when it is installed."""
    try:
        from cqgsim import registration
    except ImportError:
        return
    registration.register()


def ensure_type_library():
    """The component's type library, registered here when no simulator brought it."""
    import pythoncom
    import win32com.client

    try:
        win32com.client.gencache.EnsureModule(TYPELIB, 0, 4, 0)
    except pythoncom.com_error:
        comsim.register_typelib(TYPELIB, 4, 0, {"tzChina": 9})
