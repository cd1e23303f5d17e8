"""Placements and cancels run as one work item on the environment's worker: an item that
raises, one still queued or still running when the placement's time-out runs out, and items
refused when the worker stops."""
import threading

import pytest
import pythoncom
import win32event

import cqgsim
from zandor_trader.gateways.cqg.gateway import CqgGateway
from zandor_trader.gateways.cqg.wrapper import Ambrel, vantor

from tests.vantor.orders_support import (
    ACCOUNT, DEADLINE, SECURITIES, Background, Session, eventually, market, order)


@pytest.fixture(scope="module")
def desk():
    cqgsim.reset()
    s = Session(SECURITIES)
    s.subscribe(ACCOUNT)
    market(s.sim)
    yield s
    s.close()
    cqgsim.reset()


class BlockedWorker:
    """Keeps the worker busy in a query until released: work queued meanwhile waits."""

    def __init__(self, s):
        self._busy, self._release = threading.Event(), threading.Event()
        self._query = Background(s.sim.query, self._block)
        assert self._busy.wait(DEADLINE)

    def _block(self, core):
        self._busy.set()
        self._release.wait(DEADLINE)

    def release(self):
        self._release.set()
        self._query.join()


def test_an_item_that_raises_hands_its_error_over_and_the_worker_goes_on(desk, monkeypatch):
    s = desk
    monkeypatch.setattr(vantor, "TIMEOUT", 60)  # the error ends the wait, not the time-out
    seen = []

    def no_account(GWAccountID):
        seen.append(threading.get_ident())
        raise LookupError(f"no account {GWAccountID}")

    before = s.orders()
    s.adapter.get_account_from_gwaccountid = no_account
    try:
        with pytest.raises(LookupError, match=f"^no account {ACCOUNT}$"):
            Background(s.adapter.place_order, order(price=6600.0)).join()
    finally:
        del s.adapter.get_account_from_gwaccountid
    # The look-up ran on the worker, and nothing was created nor left awaited.
    assert seen == [s.env.thread.ident]
    assert s.orders() == before and s.adapter.order_id is None
    guid = s.adapter.place_order(order(price=6601.0))
    assert s.orders()[guid][3] == 6601.0
    s.adapter.cancel_order(guid)  # a cancel's item, as well, still runs


def test_a_placement_still_queued_at_its_time_out_is_taken_out_and_never_placed(desk, monkeypatch):
    s = desk
    before = s.orders()
    blocked = BlockedWorker(s)
    monkeypatch.setattr(vantor, "TIMEOUT", 0.3)
    timed_out = order(price=6602.0)
    try:
        with pytest.raises(RuntimeError) as raised:
            s.adapter.place_order(timed_out)
        assert str(raised.value) == f"Order placing timeout!\n{timed_out} "
        assert s.env._work_waiting == 0  # taken out, not left for the worker
    finally:
        blocked.release()
    s.sim.sync()
    assert s.orders() == before
    monkeypatch.setattr(vantor, "TIMEOUT", 10)
    guid = s.adapter.place_order(order(price=6603.0))
    assert set(s.orders()) - set(before) == {guid}


def test_a_placement_running_at_its_time_out_places_nothing_afterwards(desk, monkeypatch):
    s = desk
    before = s.orders()
    looking, answer = threading.Event(), threading.Event()
    account = s.adapter.get_account_from_gwaccountid

    def slow_account(GWAccountID):
        looking.set()
        answer.wait(DEADLINE)  # until the placement has given up
        return account(GWAccountID=GWAccountID)

    s.adapter.get_account_from_gwaccountid = slow_account
    monkeypatch.setattr(vantor, "TIMEOUT", 0.3)
    try:
        placing = Background(s.adapter.place_order, order(price=6604.0))
        with pytest.raises(RuntimeError, match="^Order placing timeout!"):
            placing.join()
        assert looking.is_set()
        answer.set()
        s.sim.sync()  # the item has ended
    finally:
        answer.set()
        del s.adapter.get_account_from_gwaccountid
    assert s.orders() == before and s.held_orders() == []
    assert s.adapter.order_id is None


def test_items_queued_when_the_worker_stops_are_refused_none_lost(monkeypatch):
    monkeypatch.setattr(vantor, "TIMEOUT", 60)  # the refusal ends the waits, not the time-out
    cqgsim.reset()
    s = Session(SECURITIES)
    s.subscribe(ACCOUNT)
    blocked = BlockedWorker(s)
    try:
        calls = [Background(s.adapter.place_order, order(price=6605.0 + i)) for i in range(2)]
        calls.append(Background(s.adapter.cancel_order, "{some order}"))
        eventually(lambda: s.env._work_waiting == 3)
        win32event.SetEvent(s.env.shutdownEvent)  # the shutdown comes before the items' turn
    finally:
        blocked.release()
    s.env.thread.join(DEADLINE)
    assert not s.env.thread.is_alive()
    outcomes = []
    for call in calls:
        with pytest.raises(RuntimeError) as raised:
            call.join()
        outcomes.append(str(raised.value))
    assert outcomes == ["place_order not run: CQGCEL worker has stopped"] * 2 + [
        "cancel_order not run: CQGCEL worker has stopped"]
    # Later requests hear it at once.
    with pytest.raises(RuntimeError, match="^place_order not run: CQGCEL worker has stopped$"):
        s.adapter.place_order(order())
    assert s.env._work_waiting == 0 and s.adapter.order_id is None
    with pytest.raises(pythoncom.com_error):
        s.env.Shutdown()  # the component's thread is gone
    cqgsim.reset()


def test_a_late_answer_with_no_placement_waiting_is_not_taken(desk, monkeypatch, capsys):
    s = desk
    s.sim.respond("Place", "hold", times=1)
    monkeypatch.setattr(vantor, "TIMEOUT", 0.3)
    with pytest.raises(RuntimeError, match="^Order placing timeout!"):
        s.adapter.place_order(order(price=6610.0))
    (late,) = s.held_orders()
    s.sim.release("Place")
    s.sim.sync()
    assert capsys.readouterr().out.count(f"orderid {late} is not placed by algo\n") == 1
    assert s.adapter.order_id is None and not s.adapter.eventOrderPlaced.is_set()


class WatchedEnvironment(Ambrel.Ambrel):
    """Notes each thread that reads the handed-over component."""
    readers = []

    @property
    def cqgCEL(self):
        WatchedEnvironment.readers.append(threading.get_ident())
        return Ambrel.Ambrel.cqgCEL.__get__(self)


def test_the_work_items_call_the_workers_own_component_not_the_handed_over_one():
    cqgsim.reset()
    env = WatchedEnvironment()
    adapter = env.Init(vantor.Vantor, None)
    gateway = CqgGateway(SECURITIES)
    gateway.ambrel = env
    adapter.Init(gateway)
    try:
        env.cqgCEL.GWLogon("trader", "secret")
        env.cqgCEL.NewInstrument("EPZ5")
        sim = cqgsim.latest()
        sim.sync()
        adapter.subscribe_account_and_positions(ACCOUNT)
        sim.sync()
        WatchedEnvironment.readers.clear()
        adapter.cancel_order(adapter.place_order(order(price=6611.0)))
        assert env.thread.ident not in WatchedEnvironment.readers
    finally:
        env.Shutdown()
        cqgsim.reset()
