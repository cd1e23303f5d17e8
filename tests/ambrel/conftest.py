"""Helpers for the environment's tests: scripted components, trace capture, deadlines."""
import threading

import pytest
from tests.waiting import DEADLINE, eventually  # noqa: F401  (re-exported)



def call_in_thread(fn, *args):
    """Runs fn on a helper thread; returns (thread, outcome) where outcome fills in later."""
    outcome = {}

    def run():
        try:
            outcome["result"] = fn(*args)
        except BaseException as e:  # noqa: B902 - handed to the test
            outcome["error"] = e

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread, outcome


def finish(thread, outcome):
    """Joins a call_in_thread thread within the deadline and returns or raises its outcome."""
    thread.join(DEADLINE)
    assert not thread.is_alive(), "call did not return in time"
    if "error" in outcome:
        raise outcome["error"]
    return outcome["result"]


def trace_lines(text):
    """Splits captured output into (ident, message) for Trace lines, (None, line) else."""
    lines = []
    for line in text.splitlines():
        head, sep, rest = line.partition(": ")
        lines.append((int(head), rest) if sep and head.isdigit() else (None, line))
    return lines


def messages_of(text, ident):
    return [m for i, m in trace_lines(text) if i == ident]


class EventsClass:
    """The shape of the bridge's events class: its __init__ takes the component."""

    def __init__(self, disp):
        self.disp = disp


def with_events(cls, disp="component"):
    """What the bridge's WithEvents does with a sink class."""
    result_class = type("COMEventClass", (EventsClass, cls), {})
    instance = result_class(disp)
    cls.__init__(instance)
    return instance


@pytest.fixture
def Ambrel():
    from . import fakes

    fakes.ensure_type_library()
    from zandor_trader.gateways.cqg.wrapper import Ambrel as module
    return module


@pytest.fixture
def thread_errors(monkeypatch):
    """Errors that end threads, as threading.excepthook receives them."""
    seen = []
    monkeypatch.setattr(threading, "excepthook", lambda args: seen.append(args))
    return seen


@pytest.fixture
def use_component():
    """Registers scripted components under the ProgID; returns the list of those made."""
    from . import fakes

    made = []

    def use(**options):
        def factory():
            component = fakes.Component(**options)
            made.append(component)
            return component

        fakes.register(factory)
        return made

    yield use
    fakes.restore_default()


@pytest.fixture
def new_env(Ambrel):
    """Makes environments and makes sure none leaves a worker running."""
    made = []

    def make():
        env = Ambrel.Ambrel()
        made.append(env)
        return env

    yield make
    for env in made:
        thread = getattr(env, "thread", None)
        if thread is not None and thread.is_alive():
            try:
                env.Shutdown()
            except Exception:
                pass
            thread.join(DEADLINE)
            assert not thread.is_alive(), "a test left its worker running"
