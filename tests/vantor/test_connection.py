"""Logon, logoff, the account lookup, and the connection-status and data-error handlers."""
import threading

import pytest

import cqgsim

from . import fakes
from .conftest import C, traces, wrap


def answer_status(unit, request, status_name):
    unit.cel.answers[request] = lambda *a: unit.adapter.OnGWConnectionStatusChanged(getattr(C, status_name))


# -- scripted component --------------------------------------------------------------------

def test_logon_waits_for_the_up_event_and_later_logons_return_at_once(unit, out):
    answer_status(unit, "GWLogon", "csConnectionUp")
    assert unit.adapter.Logon("trader", password="secret") is None
    assert unit.cel.calls == [("GWLogon", "trader", "secret")]
    assert out.traces() == ["Connecting to GW", "GW connection is UP!", "Waiting for GW connection..."]
    # Down later: the up event stays set, so a new Logon does not wait (nor is answered).
    unit.adapter.OnGWConnectionStatusChanged(C.csConnectionDown)
    del unit.cel.answers["GWLogon"]
    unit.adapter.Logon("trader", "secret")
    assert unit.adapter.eventGatewayIsUp.is_set() and unit.adapter.eventGatewayIsDown.is_set()


def test_logon_time_out_raises_and_a_late_up_event_still_counts(unit, short_timeout, out):
    with pytest.raises(RuntimeError) as err:
        unit.adapter.Logon("trader", "secret")
    assert err.value.args == ("GW connection timeout!",)
    assert out.traces() == ["Connecting to GW", "Waiting for GW connection..."]
    unit.adapter.OnGWConnectionStatusChanged(C.csConnectionUp)
    assert unit.adapter.eventGatewayIsUp.is_set()


def test_logoff_without_subscribed_account_still_logs_off(unit, out):
    answer_status(unit, "GWLogoff", "csConnectionDown")
    assert not hasattr(unit.adapter, "GWAccountID")
    unit.adapter.Logoff()
    assert unit.cel.calls == [("GWLogoff",)]
    assert out.traces() == ["Logoff from GW", "GW connection is DOWN!"]


def test_logoff_traces_the_subscribed_account(unit, out):
    unit.cel.Accounts = [fakes.Account(7, "other"), fakes.Account(100101, "ZT-1")]
    unit.adapter.GWAccountID = 100101
    answer_status(unit, "GWLogoff", "csConnectionDown")
    unit.adapter.Logoff()
    assert out.traces() == [
        "Logoff from GW",
        "GW Account id: 7 name: other",
        "GW Account id: 100101 name: ZT-1",
        "[Found] GW Account id: 100101 name: ZT-1",
        "GW connection is DOWN!",
        "Successfully logoff account ZT-1",
    ]


def test_logoff_whose_account_is_gone_reports_success(unit, out):
    unit.cel.Accounts = [fakes.Account(7, "other")]
    unit.adapter.GWAccountID = 100101
    answer_status(unit, "GWLogoff", "csConnectionDown")
    assert unit.adapter.Logoff() is None
    assert unit.cel.calls == [("GWLogoff",)]
    assert out.traces()[-1] == "GW connection is DOWN!"


def test_logoff_clears_the_down_event_and_times_out(unit, short_timeout, out):
    unit.adapter.OnGWConnectionStatusChanged(C.csConnectionDown)  # an earlier disconnection
    with pytest.raises(RuntimeError) as err:
        unit.adapter.Logoff()
    assert err.value.args == ("GW disconnection timeout!",)
    assert unit.cel.calls == [("GWLogoff",)]
    assert not unit.adapter.eventGatewayIsDown.is_set()


def test_account_lookup_returns_the_first_match_and_traces_up_to_it(unit, out):
    unit.cel.Accounts = [fakes.Account(1, "a"), fakes.Account(2, "b"), fakes.Account(2, "c"),
                         fakes.Account(3, "d")]
    found = unit.adapter.get_account_from_gwaccountid(GWAccountID=2.9)  # numbers become int
    assert found.GWAccountName == "b"
    assert out.traces() == ["GW Account id: 1 name: a", "GW Account id: 2 name: b",
                            "[Found] GW Account id: 2 name: b"]
    out.take()
    assert unit.adapter.get_account_from_gwaccountid(9) is None
    assert out.traces() == ["GW Account id: 1 name: a", "GW Account id: 2 name: b",
                            "GW Account id: 2 name: c", "GW Account id: 3 name: d"]


@pytest.mark.parametrize("call, message", [
    (lambda a: a.Logon(1, "p"), "Argument 'user_name' has incorrect type (expected str, got int)"),
    (lambda a: a.Logon("u", None), "Argument 'password' has incorrect type (expected str, got NoneType)"),
    (lambda a: a.get_account_from_gwaccountid("1"),
     "Argument 'GWAccountID' has incorrect type (expected int, got str)"),
    (lambda a: a.Logon("u"), "Logon() takes exactly 2 positional arguments (1 given)"),
])
def test_arguments_are_checked_before_anything_is_sent(unit, call, message, out):
    with pytest.raises(TypeError) as err:
        call(unit.adapter)
    assert str(err.value) == message
    assert unit.cel.calls == [] and out.read() == ""


def test_status_and_data_error_handlers(unit, out):
    a = unit.adapter
    a.OnGWConnectionStatusChanged(C.csConnectionDelayed)
    a.OnDataError(None, "ignored")
    assert out.read() == ""
    assert not a.eventGatewayIsUp.is_set() and not a.eventGatewayIsDown.is_set()
    a.OnDataConnectionStatusChanged(3)
    assert out.take() == "DataConnectionStatus=3\n"
    a.eventQuoteDone.clear()
    error = fakes.Recorded(Code=12, Description="feed lost")
    a.OnDataError(wrap(error), "not this text")
    assert out.traces() == ["OnDataError: Code: 12 Description: feed lost"]
    # A data error releases nobody.
    assert not any(e.is_set() for e in (a.eventQuoteDone, a.eventOrderbookDone, a.eventBarDone))


# -- simulated component -------------------------------------------------------------------

def test_logon_and_logoff_through_the_environment(session, out):
    adapter = session.adapter
    adapter.Logon("trader", "secret")
    adapter.Logoff()
    lines = [line.partition(": ") for line in out.read().splitlines()]
    mine = {ident for ident, _, msg in lines if msg == "Connecting to GW"}
    assert mine == {str(threading.get_ident())}
    # The status events arrive on the environment's worker, not on the calling thread.
    worker = [ident for ident, _, msg in lines if msg in ("GW connection is UP!", "GW connection is DOWN!")]
    assert len(worker) == 2 and mine.isdisjoint(worker)
    assert adapter.eventGatewayIsDown.is_set()


def test_refused_logon_times_out(gateway, short_timeout):
    from .conftest import Session

    cqgsim.reset()
    cqgsim.configure(credentials={"trader": "secret"})
    session = Session(gateway)
    try:
        with pytest.raises(RuntimeError, match="^GW connection timeout!$"):
            session.adapter.Logon("trader", "wrong")
        assert session.adapter.eventGatewayIsDown.is_set()  # the refusal is a down event
    finally:
        session.close()
        cqgsim.reset()


def test_unanswered_logoff_times_out(online, short_timeout):
    online.sim.respond("GWLogoff", "drop")
    with pytest.raises(RuntimeError, match="^GW disconnection timeout!$"):
        online.adapter.Logoff()
