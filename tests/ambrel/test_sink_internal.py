"""SinkInternal: start event and data errors become the environment's signal and flag."""
import threading

import pytest

from .conftest import EventsClass, trace_lines, with_events
from .fakes import Error


class Env:
    """Stands for the environment: records what the event looked like at SetError."""

    def __init__(self, event):
        self.event = event
        self.set_error_saw = []

    def SetError(self):
        self.set_error_saw.append(self.event.is_set())


def messages(capsys):
    return [m for _, m in trace_lines(capsys.readouterr().out)]


def test_construction_prints_once_also_through_the_bridge(Ambrel, capsys):
    Ambrel.SinkInternal()
    assert messages(capsys) == ["Internal sink ctor"]
    result_class = type("COMEventClass", (EventsClass, Ambrel.SinkInternal), {})
    instance = result_class("component")  # the events class's __init__ only
    assert messages(capsys) == []
    Ambrel.SinkInternal.__init__(instance)
    assert messages(capsys) == ["Internal sink ctor"]
    assert isinstance(with_events(Ambrel.SinkInternal), Ambrel.CELSinkBase)
    with pytest.raises(TypeError):
        Ambrel.SinkInternal(1)


def test_start_event_sets_the_environment_event(Ambrel, capsys):
    env = Ambrel.Ambrel()
    sink = with_events(Ambrel.SinkInternal)
    assert sink.Init(env.eventCELStarted, ambrel=env) is None
    assert sink.eventCELStarted is env.eventCELStarted and sink.ambrel is env
    capsys.readouterr()
    sink.OnCELStarted()
    assert env.eventCELStarted.is_set() and not env.errorHappened
    assert messages(capsys) == ["SinkInternal: CELStarted!"]
    with pytest.raises(TypeError):
        sink.OnCELStarted(1)


def test_data_error_without_error_object_prints_nothing_but_flags_first(Ambrel, capsys):
    event = threading.Event()
    env = Env(event)
    sink = Ambrel.SinkInternal()
    sink.Init(event, env)
    capsys.readouterr()
    sink.OnDataError(None, "shown nowhere")
    assert env.set_error_saw == [False]  # the flag is raised before the event is set
    assert event.is_set()
    assert capsys.readouterr().out == ""


def test_data_error_prints_code_and_description_of_the_error_object(Ambrel, capsys):
    env = Ambrel.Ambrel()
    sink = Ambrel.SinkInternal()
    sink.Init(env.eventCELStarted, env)
    capsys.readouterr()
    sink.OnDataError(Error(13, "line down"), errorDescription="not this one")
    assert messages(capsys) == ["SinkInternal: OnDataError: Code: 13 Description: line down"]
    assert env.errorHappened and env.eventCELStarted.is_set()
    # Later errors and a late start event change nothing but the output.
    sink.OnDataError(None, "")
    sink.OnCELStarted()
    assert env.errorHappened and env.eventCELStarted.is_set()
    assert messages(capsys) == ["SinkInternal: CELStarted!"]


def test_an_unreadable_error_object_ends_the_handler_before_flag_and_event(Ambrel):
    class BadError:
        Code = 1

        @property
        def Description(self):
            raise ValueError("unreadable")

    event = threading.Event()
    env = Env(event)
    sink = Ambrel.SinkInternal()
    sink.Init(event, env)
    with pytest.raises(Exception):
        sink.OnDataError(BadError(), "x")
    assert env.set_error_saw == [] and not event.is_set()


def test_handlers_before_init_fail_loudly(Ambrel):
    sink = Ambrel.SinkInternal()
    with pytest.raises(AttributeError, match="eventCELStarted"):
        sink.OnCELStarted()
    with pytest.raises(AttributeError, match="ambrel"):
        sink.OnDataError(None, "")
