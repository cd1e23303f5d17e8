"""The environment against the simulated CQG component."""
import threading

import pytest
import win32com.client

from .conftest import eventually, messages_of, trace_lines

cqgsim = pytest.importorskip("cqgsim")


@pytest.fixture(autouse=True)
def simulator():
    from . import fakes

    fakes.restore_default()
    cqgsim.reset()
    yield
    cqgsim.reset()


@pytest.fixture
def Recorder(Ambrel):
    class Recorder(Ambrel.CELSinkBase):
        def __init__(self):
            self.events = []  # (event, thread ident)

        def OnCELStarted(self):
            self.events.append(("OnCELStarted", threading.get_ident()))

        def OnDataConnectionStatusChanged(self, status):
            self.events.append(("OnDataConnectionStatusChanged", threading.get_ident()))

        def OnDataError(self, error, description):
            self.events.append(("OnDataError", threading.get_ident()))

    return Recorder


def configuration(env):
    config = env.cqgCEL.APIConfiguration
    return {name: getattr(config, name) for name in (
        "CollectionsThrowException", "NewInstrumentChangeMode", "ReadyStatusCheck",
        "TimeZoneCode", "IncludeOrderTransactions", "UseOrderSide")}


def test_the_simulator_starts_configured_and_shuts_down(new_env, Recorder):
    env = new_env()
    sink = env.Init(Recorder, None)
    assert env.errorHappened is False and env.cqgCEL.IsStarted
    assert configuration(env) == {
        "CollectionsThrowException": False, "NewInstrumentChangeMode": True,
        "ReadyStatusCheck": 0, "TimeZoneCode": win32com.client.constants.tzChina,
        "IncludeOrderTransactions": True, "UseOrderSide": True}
    sim = cqgsim.latest()
    sim.sync()
    assert ("OnCELStarted", env.thread.ident) in sink.events
    assert ("OnDataConnectionStatusChanged", env.thread.ident) in sink.events
    env.Shutdown()
    assert not env.thread.is_alive() and sim.errors == []


def test_a_refused_start_up_still_returns_the_sink_with_the_error_flag(
        new_env, Recorder, capsys):
    def custom(config):
        config.ReadyStatusCheck = 1  # rscOn over the default rscOff
        cqgsim.latest().respond("Startup", "error", code=5, description="no licence")

    env = new_env()
    sink = env.Init(Recorder, custom)
    assert isinstance(sink, Recorder) and env.errorHappened is True
    assert configuration(env)["ReadyStatusCheck"] == 1
    out = capsys.readouterr().out
    assert messages_of(out, threading.get_ident())[-2:] == [
        "CQGCEL has started.", "Error happened during CQGCEL start up!"]
    assert "SinkInternal: OnDataError: Code: 5 Description: no licence" in messages_of(
        out, env.thread.ident)


def test_data_errors_after_start_keep_the_flag_raised(new_env, Recorder, capsys):
    env = new_env()
    sink = env.Init(Recorder, None)
    sim = cqgsim.latest()
    sim.data_error(12, "feed lost")
    sim.data_error(13, "again", with_object=False)
    sim.sync()
    eventually(lambda: [e for e, _ in sink.events].count("OnDataError") == 2)
    assert env.errorHappened is True and env.eventCELStarted.is_set()
    errors = [m for m in messages_of(capsys.readouterr().out, env.thread.ident)
              if "OnDataError" in m]
    assert errors == ["SinkInternal: OnDataError: Code: 12 Description: feed lost"]


def test_start_runs_a_sample_against_the_simulator(Ambrel, capsys):
    seen = []

    class Sample(Ambrel.CELSinkBase):
        def Init(self, env):
            self.env = env

        def Start(self):
            seen.append((self.env.cqgCEL.IsStarted, self.env.thread.is_alive()))

    Ambrel.Start(Sample)
    assert seen == [(True, True)]
    out = capsys.readouterr().out
    assert [m for i, m in trace_lines(out) if i is None] == []  # no "Exception: ..."
    assert messages_of(out, threading.get_ident())[-1] == "CQGCEL is shut down."
