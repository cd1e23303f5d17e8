"""Event sinks: WithEvents, delivery on the component's thread while it pumps, errors."""
import io
import sys
import threading

import pytest

import pythoncom
import win32com.client

import comsim
from tests.bridge import components
from tests.bridge.worker import ApartmentThread


class Recorder:
    """A sink class with its own __init__, as a user's sink may have."""

    def __init__(self, *args):
        self.init_args = args
        self.events = []

    def OnQuote(self, symbol, quote):
        self.events.append(("quote", symbol, quote.Price, threading.get_ident()))

    def OnStatus(self, status):
        self.events.append(("status", status))


class Failing:
    def OnQuote(self, symbol, quote):
        raise RuntimeError("handler failed")


def make_component():
    components.register()
    return win32com.client.Dispatch("Bridge.Test"), components.Component.created[-1]


def test_with_events_builds_the_instance_as_the_real_bridge_does():
    comp, _ = make_component()
    sink = win32com.client.WithEvents(comp, Recorder)
    assert isinstance(sink, Recorder) and type(sink).__name__ == "COMEventClass"
    assert sink.init_args == ()  # the user class never receives the component


def test_events_wait_for_the_pump_and_keep_order_and_connection_order(capsys):
    comp, target = make_component()
    first = win32com.client.WithEvents(comp, Recorder)
    win32com.client.WithEvents(comp, Failing)
    last = win32com.client.WithEvents(comp, Recorder)
    assert comsim.fire(target, "OnStatus", 1) == 3
    assert comsim.fire(target, "OnQuote", "EP", components.Quote(5.5)) == 3
    assert comsim.fire(target, "OnUnhandled", 1) == 3  # no sink has it: skipped quietly
    assert first.events == []  # nothing runs until the thread pumps
    assert pythoncom.PumpWaitingMessages() == 0
    expected = [("status", 1), ("quote", "EP", 5.5, threading.get_ident())]
    assert first.events == expected and last.events == expected
    err = capsys.readouterr().err
    assert err.count("pythoncom error: Python error invoking COM method.") == 1
    assert "handler failed" in err


def test_events_fired_from_any_thread_run_on_the_owner_in_order():
    def setup():
        comp, target = make_component()
        return {"comp": comp, "target": target, "sink": win32com.client.WithEvents(comp, Recorder)}

    with ApartmentThread(setup) as apt:
        comp = apt.proxy("comp")
        target, sink = apt.objects["target"], apt.objects["sink"]
        assert comsim.fire(target, "OnQuote", "NQ", components.Quote(7.0)) == 1
        comsim.post(comp, sink.events.append, "posted")
        # call() queues behind the event and the posted callable.
        events = comsim.call(comp, lambda: list(sink.events))
    assert events == [("quote", "NQ", 7.0, apt.ident), "posted"]
    # Once the apartment is gone, firing reaches nobody.
    assert comsim.fire(target, "OnStatus", 2) == 0


def test_a_handler_error_report_keeps_its_stream_while_a_write_replaces_it(monkeypatch):
    # A write() that rebinds sys.stderr dropped the interpreter's reference to the stream
    # the report was still writing to.
    comp, target = make_component()
    win32com.client.WithEvents(comp, Failing)
    log, replacement = [], io.StringIO()

    class Rebinding:
        released = False

        def write(self, text):
            log.append(("after release" if Rebinding.released else "live", text))
            sys.stderr = replacement

        def flush(self):
            pass

        def __del__(self):
            Rebinding.released = True

    monkeypatch.setattr(sys, "stderr", Rebinding())
    comsim.fire(target, "OnQuote", "EP", components.Quote(1.0))
    pythoncom.PumpWaitingMessages()
    assert log == [("live", "pythoncom error: Python error invoking COM method."), ("live", "\n")]
    assert "handler failed" in replacement.getvalue()


def test_a_sink_whose_init_fails_is_left_unconnected():
    comp, target = make_component()

    class Broken(Recorder):
        def __init__(self):
            raise ValueError("cannot start")

    before = comsim.stats()["connected_sinks"]
    with pytest.raises(ValueError, match="cannot start"):
        win32com.client.WithEvents(comp, Broken)
    assert comsim.stats()["connected_sinks"] == before
    assert comsim.fire(target, "OnStatus", 1) == 0
