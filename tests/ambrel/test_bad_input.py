"""Every operation of the environment module called with bad input: wrong counts and keywords,
None and values of the wrong kind where a class or a callable belongs, and odd texts. Each gets
its error; nothing hangs, no worker is left running and no state changes."""
import gc
import threading

import comsim
import pytest

from tests.arguments import count_message as counted

from .conftest import call_in_thread, finish, trace_lines

# Callable -> (parameter names, how many are required). Handlers of the internal sink and the
# sink base bind their arguments like every other operation.
OPERATIONS = {
    "Ambrel.Init": (["sinkType", "customAPIConfiguration"], 2),
    "Ambrel.threadedFunction": (["sinkType"], 1),
    "Ambrel.pumpMessages": ([], 0),
    "Ambrel.apiConfigurationSet": (["customAPIConfiguration"], 1),
    "Ambrel.startupCel": ([], 0),
    "Ambrel.Shutdown": ([], 0),
    "Ambrel.SetError": ([], 0),
    "SinkInternal.Init": (["eventCELStarted", "ambrel"], 2),
    "SinkInternal.OnCELStarted": ([], 0),
    "SinkInternal.OnDataError": (["cqgError", "errorDescription"], 2),
    "CELSinkBase.OnOrderChanged": (["changeType", "cqgOrder", "oldProperties", "cqgFill",
                                    "cqgError"], 5),
    "CELSinkBase.OnIdle": ([], 0),
    "Start": (["sampleClassType", "customConfiguration"], 1),
    "AssertMessage": (["condition", "message"], 2),
    "Trace": (["message"], 1),
}


def target(module, name):
    """The callable under test; methods are bound to a fresh, never started object."""
    owner, _, method = name.rpartition(".")
    if not owner:
        return getattr(module, name)
    return getattr(getattr(module, owner)(), method)


def count_message(name, params, required, given):
    return counted(name.rpartition(".")[2], len(params), required, given)


def cases():
    for name, (params, required) in OPERATIONS.items():
        short = name.rpartition(".")[2]
        if required:
            yield pytest.param(name, required - 1, {},
                               count_message(name, params, required, required - 1),
                               id=f"{name}-missing")
        if len(params) > 1:  # the last one by name, the first one missing
            yield pytest.param(name, 0, {params[-1]: None}, count_message(name, params, required, 0),
                               id=f"{name}-first-missing")
        yield pytest.param(name, len(params) + 1, {},
                           count_message(name, params, required, len(params) + 1),
                           id=f"{name}-extra")
        yield pytest.param(name, required, {"bogus": 1},
                           f"{short}() got an unexpected keyword argument 'bogus'",
                           id=f"{name}-unknown-keyword")
        if params:
            yield pytest.param(name, 1, {params[0]: 1},
                               f"{short}() got multiple values for keyword argument '{params[0]}'",
                               id=f"{name}-given-twice")


@pytest.mark.parametrize("name, given, keywords, message", list(cases()))
def test_argument_counts_and_keywords(Ambrel, capsys, name, given, keywords, message):
    call = target(Ambrel, name)
    capsys.readouterr()  # the internal sink's constructor traces
    with pytest.raises(TypeError) as err:
        call(*[None] * given, **keywords)
    assert str(err.value) == message
    assert capsys.readouterr().out == ""
    assert all(t.name != "cel_threadfunc" for t in threading.enumerate())


def not_a_class():
    return None


class NeedsArguments:
    def __init__(self, a, b):
        pass


class RefusesToExist:
    def __new__(cls, *args):
        raise LookupError("no sink today")


@pytest.mark.parametrize("sink_type", [None, 5, "CELSinkBase", not_a_class, NeedsArguments,
                                       RefusesToExist, object()],
                         ids=["None", "int", "str", "function", "ctor-args", "raising", "object"])
def test_a_sink_type_that_cannot_be_a_sink_fails_init_and_stops_the_worker(
        Ambrel, use_component, thread_errors, capsys, sink_type):
    use_component()
    gc.collect()
    before = comsim.stats()
    env = Ambrel.Ambrel()
    thread, outcome = call_in_thread(env.Init, sink_type, None)
    try:
        with pytest.raises(RuntimeError, match="^CQGCEL worker ended before it was prepared: "):
            finish(thread, outcome)
    finally:
        env.Shutdown()  # joins the worker
    assert not env.thread.is_alive() and not env.errorHappened
    assert not env.eventAllPrepared.is_set() and not env.eventCELStarted.is_set()
    del env, thread, outcome, thread_errors[:]
    gc.collect()
    assert comsim.stats() == before
    capsys.readouterr()


@pytest.mark.parametrize("custom", [5, "not callable", lambda: None, lambda a, b: None],
                         ids=["int", "str", "no-argument", "two-arguments"])
def test_a_custom_configuration_that_cannot_be_called_fails_init_before_startup(
        Ambrel, new_env, use_component, capsys, custom):
    made = use_component()
    env = new_env()
    with pytest.raises(TypeError):
        env.Init(Ambrel.CELSinkBase, custom)
    component = made[0]
    assert [c for c, _ in component.calls] == []  # never started
    assert env.thread.is_alive() and not env.eventCELStarted.is_set()
    env.Shutdown()  # the worker still stops
    assert not env.thread.is_alive()
    capsys.readouterr()


@pytest.mark.parametrize("sample", [None, 5, NeedsArguments], ids=["None", "int", "ctor-args"])
def test_start_with_an_unusable_sample_reports_it_and_shuts_down(Ambrel, use_component,
                                                                 thread_errors, capsys, sample):
    use_component()
    assert Ambrel.Start(sample) is None
    out = capsys.readouterr().out
    assert "Exception: CQGCEL worker ended before it was prepared: " in out
    assert [m for _, m in trace_lines(out)][-1] == "CQGCEL is shut down."
    assert all(t.name != "cel_threadfunc" for t in threading.enumerate())


@pytest.mark.parametrize("message", ["", "Émoji ☃ \u200f", "nul\x00inside", "x" * 100_000,
                                     "two\nlines", "tab\tand\rreturn"],
                         ids=["empty", "non-ascii", "nul", "long", "newline", "controls"])
def test_trace_writes_any_text_whole_after_the_ident(Ambrel, capsys, message):
    Ambrel.Trace(message)
    assert capsys.readouterr().out == f"{threading.get_ident()}: {message}\n"


@pytest.mark.parametrize("condition", [False, 0, 0.0, "", [], None, 0j])
@pytest.mark.parametrize("message", [None, 5, "", "x" * 100_000, "Émoji ☃"])
def test_assert_message_carries_any_message_unchanged(Ambrel, capsys, condition, message):
    with pytest.raises(RuntimeError) as err:
        Ambrel.AssertMessage(condition, message)
    assert err.value.args == (message,)
    assert Ambrel.AssertMessage(not condition, message) is None
    assert capsys.readouterr().out == ""
