"""Every wait event wakes every waiter, however it is set: by its set(), by the handlers that
set it from C++, from any thread; the environment's own start-up waits included."""
import threading
import types

import comsim
import pytest
import win32com.client

from tests.ambrel.conftest import call_in_thread, finish, with_events
from tests.waiting import DEADLINE, eventually

C = win32com.client.constants


def waiters_on(event, n=3):
    """n threads parked in event.wait(); each records what the wait returned."""
    results = []
    threads = [threading.Thread(target=lambda: results.append(event.wait(DEADLINE)), daemon=True)
               for _ in range(n)]
    for t in threads:
        t.start()
    return threads, results


def joined(threads):
    for t in threads:
        t.join(DEADLINE)
    return not any(t.is_alive() for t in threads)


def environment_routes(Ambrel):
    def internal_sink(env):
        sink = with_events(Ambrel.SinkInternal)
        sink.Init(env.eventCELStarted, env)
        return sink

    return {
        "set()": lambda env: env.eventCELStarted.set(),
        "start event": lambda env: internal_sink(env).OnCELStarted(),
        "data error": lambda env: internal_sink(env).OnDataError(None, "not shown"),
    }


@pytest.mark.parametrize("route", ["set()", "start event", "data error"])
@pytest.mark.parametrize("from_thread", [False, True], ids=["same thread", "other thread"])
def test_environment_start_event_wakes_every_waiter(Ambrel, route, from_thread):
    env = Ambrel.Ambrel()
    threads, results = waiters_on(env.eventCELStarted)
    setter = environment_routes(Ambrel)[route]
    if from_thread:
        finish(*call_in_thread(setter, env))
    else:
        setter(env)
    assert joined(threads) and results == [True] * 3


@pytest.mark.parametrize("route", ["set()", "started by the component"])
def test_start_up_wait_of_init_wakes_however_the_event_is_set(Ambrel, new_env, use_component,
                                                               route):
    # Init waits for the start event on the environment's own wait; set() from any thread
    # used to leave it blocked, since only the internal sink woke that wait.
    made = use_component(on_startup="silent")
    env = new_env()
    python_waiters, results = waiters_on(env.eventCELStarted)
    init = call_in_thread(env.Init, Ambrel.CELSinkBase, None)
    eventually(lambda: made and any(m == "Startup" for m, _ in made[0].calls))
    if route == "set()":
        env.eventCELStarted.set()
    else:
        comsim.fire(made[0], "OnCELStarted")
    finish(*init)
    assert joined(python_waiters) and results == [True] * 3
    env.Shutdown()


VANTOR_ROUTES = {
    "eventGatewayIsUp": lambda v: v.OnGWConnectionStatusChanged(C.csConnectionUp),
    "eventGatewayIsDown": lambda v: v.OnGWConnectionStatusChanged(C.csConnectionDown),
    "eventAccountIsReady": lambda v: v.OnAccountChanged(C.actAccountsReloaded, None, None),
}


@pytest.mark.parametrize("name", VANTOR_ROUTES)
@pytest.mark.parametrize("route", ["set()", "handler"])
def test_adapter_events_wake_every_waiter(Ambrel, name, route):
    from zandor_trader.gateways.cqg.wrapper import vantor

    adapter = vantor.Vantor()
    event = getattr(adapter, name)
    threads, results = waiters_on(event)
    if route == "set()":
        finish(*call_in_thread(event.set))
    else:
        finish(*call_in_thread(VANTOR_ROUTES[name], adapter))
    assert joined(threads) and results == [True] * 3


def test_adapter_wait_wakes_with_python_waiters_on_the_same_event(Ambrel, capsys):
    from zandor_trader.gateways.cqg.wrapper import vantor

    adapter = vantor.Vantor()
    adapter.ambrel = types.SimpleNamespace(cqgCEL=types.SimpleNamespace(GWLogon=lambda u, p: None))
    threads, results = waiters_on(adapter.eventGatewayIsUp)
    logon = call_in_thread(adapter.Logon, "user", "password")
    eventually(lambda: "Waiting for GW connection..." in capsys.readouterr().out)
    adapter.eventGatewayIsUp.set()
    finish(*logon)
    assert joined(threads) and results == [True] * 3


def test_a_wait_that_ends_leaves_no_waiter_behind(Ambrel):
    # However it ends: by its time-out, or set; the event's repr counts those parked on it.
    event = Ambrel.Ambrel().eventCELStarted
    assert [event.wait(0.01) for _ in range(3)] == [False] * 3
    assert repr(event).endswith(": unset>")
    threads, results = waiters_on(event, 2)
    eventually(lambda: repr(event).endswith(": unset, 2 waiting>"))
    event.set()
    assert joined(threads) and results == [True, True]
    assert repr(event).endswith(": set>")
