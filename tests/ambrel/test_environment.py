"""The environment against scripted components: hand-over, configuration, start-up, pump,
shutdown and every failure rule."""
import io
import sys
import threading
import time

import pythoncom
import pytest
import win32api
import win32com.client
import win32con
import win32event

import comsim

from tests.native.parking import parked

from .conftest import DEADLINE, call_in_thread, eventually, finish, messages_of
from .fakes import Config

WORKER_START = [
    "COM framework is initializing...",
    "COM framework is initialized!",
    "CQG.CQGCEL.4 creation...",
    "CQG.CQGCEL.4 created!",
    "Marshal CQGCEL in stream",
    "CQGCEL is marshaled in stream",
    "Internal sink subscription to events",
    "Internal sink ctor",
    "Internal sink subscribed",
    "Sink subscription to events",
    "Sink subscribed",
    "Internal sink is initialized",
    "Starting message pumping..",
]
WORKER_END = ["COM framework is uninitializing...", "COM framework is uninitialized!"]
CALLER_HANDOVER = [
    "Waiting for CQGCEL creation..",
    "CQGCEL is created!",
    "Marshaled CQGCEL from stream",
    "CQGCEL is marshaled from stream!",
    "CQGCEL default configuring...",
]
CALLER_STARTUP = ["Startup CQGCEL..", "Waiting for CQGCEL start..", "CQGCEL has started."]
CALLER_SHUTDOWN = ["CQGCEL is being shut down..", "CQGCEL is shut down."]
RPC_E_DISCONNECTED = -2147417848


def defaults():
    return [
        ("CollectionsThrowException", False),
        ("NewInstrumentChangeMode", True),
        ("ReadyStatusCheck", 0),
        ("TimeZoneCode", win32com.client.constants.tzChina),
        ("IncludeOrderTransactions", True),
        ("UseOrderSide", True),
    ]


@pytest.fixture
def Sink(Ambrel):
    class Sink(Ambrel.CELSinkBase):
        def __init__(self):
            self.events = []  # (event, thread ident, args)

        def _keep(self, name, *args):
            self.events.append((name, threading.get_ident(), args))

        def OnCELStarted(self):
            Ambrel.Trace("user sink: started")
            self._keep("OnCELStarted")

        def OnDataError(self, error, description):
            self._keep("OnDataError", error, description)

        def OnIsReady(self, ready):
            self._keep("OnIsReady", ready)

        def OnInstrumentResolved(self, symbol, instrument, error):
            # Objects arrive wrapped; wrapping again is harmless. Usable on this thread only.
            again = win32com.client.Dispatch(instrument)
            self._keep("OnInstrumentResolved", symbol, instrument.FullName, again.FullName, error)

    return Sink


def test_construction_makes_the_events_and_starts_nothing(new_env, capsys):
    env = new_env()
    assert capsys.readouterr().out == ""
    assert env.errorHappened is False
    for event in (env.eventCELStarted, env.eventAllPrepared):
        assert not event.is_set()
        assert event.wait(0) is False and event.wait(timeout=0.001) is False
        event.set()
        assert event.is_set() and event.wait() is True
        event.clear()
        assert not event.is_set()
    # Auto-reset: a signal is consumed by the wait it releases.
    assert win32event.WaitForSingleObject(env.shutdownEvent, 0) == win32event.WAIT_TIMEOUT
    win32event.SetEvent(env.shutdownEvent)
    assert win32event.WaitForSingleObject(env.shutdownEvent, 0) == win32event.WAIT_OBJECT_0
    assert win32event.WaitForSingleObject(env.shutdownEvent, 0) == win32event.WAIT_TIMEOUT
    for name in ("thread", "cqgCELStream", "sink", "cqgCEL"):
        assert not hasattr(env, name)


def test_a_full_run_hands_over_configures_starts_and_shuts_down(
        new_env, use_component, Sink, capsys):
    made = use_component()
    env = new_env()
    sink = env.Init(Sink, None)
    worker = env.thread
    assert isinstance(sink, Sink) and env.sink is sink
    assert isinstance(worker, threading.Thread) and worker.name == "cel_threadfunc"
    assert worker.is_alive() and not worker.daemon
    assert env.eventAllPrepared.is_set() and env.eventCELStarted.is_set()
    assert env.errorHappened is False
    component = made[0]
    # Six writes, each through its own read of the live configuration object.
    assert component.config.writes == defaults() and component.config_reads == 6
    assert component.calls == [("Startup", worker.ident)]
    assert isinstance(env.cqgCEL, win32com.client.CDispatch)
    with pytest.raises(pythoncom.com_error):  # the stream was consumed by Init
        pythoncom.CoGetInterfaceAndReleaseStream(env.cqgCELStream, pythoncom.IID_IDispatch)

    env.Shutdown()
    assert not worker.is_alive()
    assert component.calls[-1] == ("Shutdown", worker.ident)
    assert env.sink is sink and env.cqgCEL is not None  # both stay after shutdown
    out = capsys.readouterr().out
    assert messages_of(out, threading.get_ident()) == (
        CALLER_HANDOVER + CALLER_STARTUP + CALLER_SHUTDOWN)
    assert messages_of(out, worker.ident) == (
        WORKER_START + ["SinkInternal: CELStarted!", "user sink: started"] + WORKER_END)


def test_custom_configuration_runs_after_the_defaults_and_wins(
        Ambrel, new_env, use_component, capsys):
    made = use_component()
    seen = []

    def custom(config):
        seen.append(threading.get_ident())
        config.ReadyStatusCheck = 3
        config.TimeZoneCode = 99
        return "ignored"

    env = new_env()
    env.Init(sinkType=Ambrel.CELSinkBase, customAPIConfiguration=custom)
    config = made[0].config
    assert config.writes == defaults() + [("ReadyStatusCheck", 3), ("TimeZoneCode", 99)]
    assert (config.ReadyStatusCheck, config.TimeZoneCode) == (3, 99)
    assert made[0].config_reads == 7 and seen == [threading.get_ident()]
    caller = messages_of(capsys.readouterr().out, threading.get_ident())
    assert caller[4:6] == ["CQGCEL default configuring...", "CQGCEL custom configuring..."]


@pytest.mark.parametrize("on_startup, shown", [
    ("data_error", "SinkInternal: OnDataError: Code: -7 Description: no data"),
    ("error_only", "SinkInternal: OnDataError: Code: 13 Description: line down"),
    ("none_error", None),
])
def test_a_data_error_before_start_ends_the_wait_and_init_still_returns_the_sink(
        Ambrel, new_env, use_component, Sink, capsys, on_startup, shown):
    use_component(on_startup=on_startup)
    env = new_env()
    sink = env.Init(Sink, None)
    assert isinstance(sink, Sink) and env.errorHappened is True
    out = capsys.readouterr().out
    caller = messages_of(out, threading.get_ident())
    assert caller[-2:] == ["CQGCEL has started.", "Error happened during CQGCEL start up!"]
    errors = [m for m in messages_of(out, env.thread.ident) if "OnDataError" in m]
    assert errors == ([shown] if shown else [])
    assert "not shown" not in out
    assert env.thread.is_alive()  # the component stays running; the caller decides


def test_later_data_errors_and_start_events_reset_nothing(Ambrel, new_env, use_component, Sink):
    made = use_component()
    env = new_env()
    sink = env.Init(Sink, None)
    component = made[0]
    component.Fire("OnDataError", None, "late")
    component.Fire("OnDataError", None, "later")
    component.Fire("OnCELStarted")
    eventually(lambda: len(sink.events) == 4)
    assert [e[0] for e in sink.events] == ["OnCELStarted", "OnDataError", "OnDataError",
                                           "OnCELStarted"]
    assert env.errorHappened is True and env.eventCELStarted.is_set()
    assert env.thread.is_alive()


def test_every_event_reaches_both_sinks_on_the_worker_in_order(
        Ambrel, new_env, use_component, Sink, capsys, monkeypatch):
    pumps = []
    real_pump = pythoncom.PumpWaitingMessages

    def counting_pump():
        result = real_pump()
        pumps.append(result)
        return result

    monkeypatch.setattr(pythoncom, "PumpWaitingMessages", counting_pump)
    made = use_component()
    env = new_env()
    sink = env.Init(Sink, None)
    component = made[0]
    instrument = Config(FullName="F.US.EPZ5")
    # Rounds of events from another thread; after each the pump goes back to waiting.
    for round_ in range(3):
        assert comsim.fire(component, "OnIsReady", round_) == 2  # both sinks connected
        eventually(lambda: len(sink.events) == 2 + round_)
    comsim.fire(component, "OnInstrumentResolved", "EPZ5", instrument, None)
    comsim.fire(component, "OnCELStarted")
    eventually(lambda: len(sink.events) == 6)
    worker = env.thread.ident
    assert {ident for _, ident, _ in sink.events} == {worker}
    assert [(e[0], e[2]) for e in sink.events[1:4]] == [("OnIsReady", (r,)) for r in range(3)]
    assert sink.events[4][0::2] == (
        "OnInstrumentResolved", ("EPZ5", "F.US.EPZ5", "F.US.EPZ5", None))
    assert env.thread.is_alive() and pumps.count(0) >= 3 and 1 not in pumps
    # The internal sink is connected first, so it handles each event first.
    started = [m for m in messages_of(capsys.readouterr().out, worker) if "started" in m.lower()]
    assert started == ["SinkInternal: CELStarted!", "user sink: started"] * 2


def test_a_sink_replacing_nothing_accepts_every_event(Ambrel, new_env, use_component, capsys):
    import inspect

    class Quiet(Ambrel.CELSinkBase):
        pass

    made = use_component()
    env = new_env()
    env.Init(Quiet, None)
    component = made[0]
    names = [n for n in vars(Ambrel.CELSinkBase) if n.startswith("On")]
    for name in names:
        arity = len(inspect.signature(getattr(Ambrel.CELSinkBase, name)).parameters) - 1
        comsim.fire(component, name, *([None] * arity))
    # A call through the proxy is queued behind the events: when it returns, all ran.
    env.cqgCEL.WhoRuns()
    captured = capsys.readouterr()
    assert "pythoncom error" not in captured.err
    assert env.thread.is_alive()


def test_calls_through_the_handed_over_interface_run_on_the_worker(new_env, use_component, Ambrel):
    made = use_component()
    env = new_env()
    env.Init(Ambrel.CELSinkBase, None)
    assert env.cqgCEL.WhoRuns() == env.thread.ident != threading.get_ident()
    assert made[0].calls[-1] == ("WhoRuns", env.thread.ident)


def test_a_quit_message_ends_the_pump_without_a_shutdown(Ambrel, new_env, use_component, capsys):
    use_component()
    env = new_env()
    env.Init(Ambrel.CELSinkBase, None)
    worker_id = env.cqgCEL.WorkerThreadId()
    win32api.PostThreadMessage(worker_id, win32con.WM_QUIT, 0, 0)
    env.thread.join(DEADLINE)
    assert not env.thread.is_alive()
    worker_lines = messages_of(capsys.readouterr().out, env.thread.ident)
    assert worker_lines[-2:] == WORKER_END
    # The component went with its apartment; Shutdown says so, after joining.
    with pytest.raises(pythoncom.com_error) as info:
        env.Shutdown()
    assert info.value.hresult == RPC_E_DISCONNECTED


def test_the_pump_accepts_only_its_two_wait_results(
        Ambrel, new_env, use_component, monkeypatch, thread_errors):
    real_wait = win32event.MsgWaitForMultipleObjects
    waits = []
    lie = threading.Event()

    def wait(handles, wait_all, ms, mask):
        waits.append((tuple(handles), wait_all, ms, mask))
        result = real_wait(handles, wait_all, ms, mask)
        return win32event.WAIT_TIMEOUT if lie.is_set() else result

    monkeypatch.setattr(win32event, "MsgWaitForMultipleObjects", wait)
    made = use_component()
    env = new_env()
    env.Init(Ambrel.CELSinkBase, None)
    # No polling: the shutdown handle first, then the work queue's, no time-out.
    (handles, wait_all, ms, mask), = waits[:1]
    assert (len(handles), handles[0], wait_all, ms, mask) == (
        2, env.shutdownEvent, 0, win32event.INFINITE, win32event.QS_ALLEVENTS)
    lie.set()
    comsim.fire(made[0], "OnIdle")
    env.thread.join(DEADLINE)
    assert not env.thread.is_alive()
    assert [(e.thread, e.exc_type, str(e.exc_value)) for e in thread_errors] == [
        (env.thread, RuntimeError, "unexpected win32wait return value")]


def test_an_idle_started_environment_uses_no_cpu(Ambrel, new_env, use_component):
    use_component()
    env = new_env()
    env.Init(Ambrel.CELSinkBase, None)
    before = time.process_time()
    time.sleep(0.5)  # a measuring window, not a synchronisation
    assert time.process_time() - before < 0.05


def test_init_waits_unbounded_for_a_late_start_with_the_gil_released(
        Ambrel, new_env, use_component, Sink):
    made = use_component(on_startup="silent")
    env = new_env()
    thread, outcome = call_in_thread(env.Init, Sink, None)
    # Runs only if Init blocks without holding the GIL.
    eventually(lambda: made and made[0].calls)
    assert thread.is_alive() and not env.eventCELStarted.is_set()
    comsim.fire(made[0], "OnCELStarted")
    assert isinstance(finish(thread, outcome), Sink)


def failing_factory():
    raise ValueError("component refused")


class BadSink:
    def __init__(self):
        raise ValueError("bad sink")


def break_marshalling(monkeypatch):
    def refuse(iid, obj):
        raise pythoncom.com_error(-2147467259, "marshalling refused", None, None)
    monkeypatch.setattr(pythoncom, "CoMarshalInterThreadInterfaceInStream", refuse)


def break_apartment(monkeypatch):
    def refuse():
        raise pythoncom.com_error(-2147467259, "no apartment", None, None)
    monkeypatch.setattr(pythoncom, "CoInitialize", refuse)


@pytest.mark.parametrize("failure", ["component", "sink", "marshalling", "apartment"])
def test_a_worker_failing_before_the_hand_over_fails_init_instead_of_hanging(
        Ambrel, new_env, use_component, monkeypatch, thread_errors, capsys, failure):
    from . import fakes

    use_component()
    sink_type = Ambrel.CELSinkBase
    if failure == "component":
        fakes.register(failing_factory)
    elif failure == "sink":
        sink_type = BadSink
    elif failure == "marshalling":
        break_marshalling(monkeypatch)
    else:
        break_apartment(monkeypatch)
    env = new_env()
    thread, outcome = call_in_thread(env.Init, sink_type, None)
    with pytest.raises(RuntimeError, match="^CQGCEL worker ended before it was prepared: ") as info:
        finish(thread, outcome)
    env.thread.join(DEADLINE)
    # The same error reached the thread machinery and the caller of Init.
    assert [e.thread for e in thread_errors] == [env.thread]
    assert info.value.__cause__ is thread_errors[0].exc_value
    assert not hasattr(env, "cqgCEL")
    capsys.readouterr()
    env.Shutdown()  # nothing to shut down but the (ended) worker
    assert messages_of(capsys.readouterr().out, threading.get_ident()) == CALLER_SHUTDOWN


def test_a_worker_failing_while_init_is_parked_ends_its_wait(
        Ambrel, new_env, use_component, monkeypatch, thread_errors):
    # The worker fails only once the caller is parked in its wait for the hand-over: the
    # wait must end on the worker's end, not only on what it saw before it parked.
    from . import fakes

    out = io.StringIO()  # written to without running Python code on the caller's thread
    monkeypatch.setattr(sys, "stdout", out)
    use_component()
    init = {}

    def factory():
        eventually(lambda: "Waiting for CQGCEL creation.." in out.getvalue()
                   and "thread" in init and parked(init["thread"]))
        raise LookupError("no component today")

    fakes.register(factory)
    env = new_env()
    init["thread"], outcome = call_in_thread(env.Init, Ambrel.CELSinkBase, None)
    with pytest.raises(RuntimeError, match="^CQGCEL worker ended before it was prepared: "
                                           ".*no component today"):
        finish(init["thread"], outcome)
    env.thread.join(DEADLINE)
    assert len(thread_errors) == 1


class StrictConfig(Config):
    def __setattr__(self, name, value):
        if name == "IncludeOrderTransactions":
            raise ValueError("read-only here")
        super().__setattr__(name, value)


@pytest.mark.parametrize("where", ["default", "custom"])
def test_a_configuration_error_reaches_the_caller_and_the_component_is_not_started(
        Ambrel, new_env, use_component, where):
    made = use_component(config=StrictConfig() if where == "default" else None)

    def custom(config):
        raise KeyError("custom failed")

    env = new_env()
    with pytest.raises(Exception) as info:
        env.Init(Ambrel.CELSinkBase, custom)
    component = made[0]
    if where == "default":
        assert [n for n, _ in component.config.writes] == [n for n, _ in defaults()[:4]]
    else:
        assert info.type is KeyError and component.config.writes == defaults()
    assert component.calls == []  # no Startup
    assert env.thread.is_alive()  # the worker is not stopped by the failure...
    env.Shutdown()  # ...but Shutdown still shuts the component down and joins it
    assert not env.thread.is_alive()
    assert component.calls == [("Shutdown", env.thread.ident)]


def test_a_worker_ending_before_the_start_event_fails_init_instead_of_hanging(
        Ambrel, new_env, use_component, thread_errors):
    use_component(on_startup="quit")
    env = new_env()
    thread, outcome = call_in_thread(env.Init, Ambrel.CELSinkBase, None)
    with pytest.raises(RuntimeError, match="^CQGCEL worker ended before CQGCEL started$"):
        finish(thread, outcome)
    env.thread.join(DEADLINE)
    assert thread_errors == []  # a quit is an orderly end


def test_shutdown_joins_the_worker_even_when_the_component_fails_to_shut_down(
        Ambrel, new_env, use_component, capsys):
    use_component(fail_shutdown=ValueError("stuck"))
    env = new_env()
    env.Init(Ambrel.CELSinkBase, None)
    capsys.readouterr()
    with pytest.raises(pythoncom.com_error) as info:
        env.Shutdown()
    assert "stuck" in str(info.value)
    assert not env.thread.is_alive()
    out = capsys.readouterr().out
    assert messages_of(out, threading.get_ident()) == ["CQGCEL is being shut down.."]
    assert messages_of(out, env.thread.ident) == WORKER_END


def test_a_second_init_is_refused_and_starts_no_second_worker(Ambrel, new_env, use_component):
    use_component()
    env = new_env()
    env.Init(Ambrel.CELSinkBase, None)
    first = env.thread
    with pytest.raises(RuntimeError, match="already"):
        env.Init(Ambrel.CELSinkBase, None)
    assert env.thread is first
    assert [t for t in threading.enumerate() if t.name == "cel_threadfunc"] == [first]


def test_methods_check_their_arguments(Ambrel, new_env):
    env = new_env()
    with pytest.raises(TypeError):
        env.Init(Ambrel.CELSinkBase)
    with pytest.raises(TypeError):
        env.Shutdown(1)
    with pytest.raises(TypeError):
        Ambrel.Ambrel(1)
    with pytest.raises(AttributeError, match="cqgCEL"):
        env.apiConfigurationSet(None)
    env.SetError()
    assert env.errorHappened is True


def test_a_finished_environment_leaves_nothing_of_the_bridge_behind(Ambrel, use_component, Sink):
    import gc

    use_component()
    gc.collect()
    before = comsim.stats()
    for _ in range(3):
        env = Ambrel.Ambrel()
        sink = env.Init(Sink, lambda config: None)
        env.cqgCEL.WhoRuns()
        env.Shutdown()
        del env, sink
    gc.collect()
    assert comsim.stats() == before


def test_the_host_may_name_another_component_by_its_progid(
        Ambrel, new_env, use_component, Sink, capsys, thread_errors):
    from . import fakes

    made = use_component()  # under the usual ProgID: must not be the one made
    other = []
    comsim.register_component("Vendor.Other.2", lambda: other.append(fakes.Component())
                              or other[-1], fakes.TYPELIB)
    env = new_env()
    env.ProgID = "Vendor.Other.2"
    env.Init(Sink, None)
    env.Shutdown()
    assert len(other) == 1 and made == []
    worker = messages_of(capsys.readouterr().out, env.thread.ident)
    assert worker[2:4] == ["Vendor.Other.2 creation...", "Vendor.Other.2 created!"]


@pytest.mark.parametrize("progid, error, message", [
    (4, TypeError, r"^ProgID must be a str \(the ProgID of the component to create\), not int$"),
    (property(lambda env: 1 / 0), ZeroDivisionError, "division by zero"),
])
def test_a_progid_that_is_not_text_or_cannot_be_read_is_the_callers_error(
        Ambrel, use_component, Sink, capsys, progid, error, message):
    # Checked before the worker starts: no component is made, not even the usual one.
    made = use_component()
    env = type("Environment", (Ambrel.Ambrel,), {"ProgID": progid})()
    try:
        with pytest.raises(error, match=message):
            env.Init(Sink, None)
        assert made == [] and not hasattr(env, "thread")
        assert capsys.readouterr().out == ""
    finally:
        if hasattr(env, "thread"):  # started after all: not left running
            env.Shutdown()
