"""Balance and position rebuilds against a scripted component that can hold a call on the
worker: readers never see a half-built value, the module lock is taken only to publish (code
on the worker, a gateway listener say, may take it while the rebuild reads from there), and a
failed rebuild leaves the last complete value in place."""
import datetime
import re
import threading
import types

import pytest

from cqgsim import constants as C
from zandor_trader.core.balance import AccountBalance
from zandor_trader.core.constants import Direction, Exchange
from zandor_trader.core.security import Security
from zandor_trader.gateways.cqg.gateway import CqgGateway
from zandor_trader.gateways.cqg.wrapper import vantor

from tests.ambrel import fakes
from tests.native.parking import parked
from tests.vantor.orders_support import DEADLINE, ES, Background, Session, eventually

XYZ = Security("XYZ", Exchange.CME)
PLAIN = Security("PLAIN", Exchange.SGX)
ERROR_LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}: (.*)$")


class Gate:
    """Holds one component call on the worker until the test lets it go."""

    def __init__(self):
        self.entered = threading.Event()
        self.go = threading.Event()

    def pass_through(self):
        # On the worker, mid-rebuild: the module lock is free to take (the rebuild waits for
        # this very call, so holding the lock there would hang both threads).
        self.took_lock = vantor.lock.acquire(blocking=False)
        if self.took_lock:
            vantor.lock.release()
        self.entered.set()
        assert self.go.wait(DEADLINE)


class Summary:
    """Every member (Balance, Collaterals, NLV, ...) takes a row and reads the account's figure."""

    def __init__(self, account):
        self._account = account

    def __getattr__(self, name):
        return lambda row: self._account.read(name, row)


class Position:
    def __init__(self, name, side, quantity, price):
        self.InstrumentName, self.Side, self.Quantity, self.AveragePrice = name, side, quantity, price


class Positions:
    def __init__(self, account):
        self._account = account

    @property
    def Count(self):
        return len(self._account.positions)

    def ItemByIndex(self, index):
        gate = self._account.gates.pop(("ItemByIndex", index), None)
        if gate:
            gate.pass_through()
        return self._account.positions[index]


class Account:
    def __init__(self):
        self.GWAccountID, self.GWAccountName = 7, "SEVEN"
        self.figures = dict(Balance=1000.0, Collaterals=150.0, NLV=990.0, MaintenanceMargin=80.0,
                            ProfitLoss=-5.0, UPL=-10.0)
        self.positions = []
        self.gates, self.failures, self.reads = {}, {}, []
        self.summaries = 0

    @property
    def Summary(self):
        self.summaries += 1
        return Summary(self)

    def read(self, name, row):
        self.reads.append((name, row))
        if name in self.gates:
            self.gates.pop(name).pass_through()
        if name in self.failures:
            raise self.failures[name]
        return self.figures[name]

    @property
    def Positions(self):
        return Positions(self)


class Component(fakes.Component):
    def __init__(self):
        super().__init__()
        self.account = Account()
        self.Accounts = [self.account]


@pytest.fixture
def rig():
    made = []
    fakes.register(lambda: made.append(Component()) or made[-1])
    s = Session(dict(EPZ5=ES, XYZ=XYZ, PLAIN=PLAIN), logon=False)
    s.adapter.GWAccountID = 7
    yield s, made[-1].account
    s.close()
    fakes.restore_default()


def errors_printed(out):
    return [m.group(1) for m in map(ERROR_LINE.match, out.splitlines()) if m]


def test_the_balance_is_published_only_once_complete(rig):
    s, account = rig
    s.adapter.update_account_balance()
    first = s.adapter.account_balance
    assert first == AccountBalance(cash=1000.0, cash_by_currency=None, available_cash=850.0,
                                   max_power_short=None, net_cash_power=990.0, maintenance_margin=80.0,
                                   realized_pnl=-5.0, unrealized_pnl=-10.0)
    assert account.reads == [("Balance", 0), ("Collaterals", 1), ("NLV", 0), ("MaintenanceMargin", 1),
                             ("ProfitLoss", 0), ("UPL", 0)]
    assert account.summaries == 6  # a fresh summary for each read

    account.figures = dict(Balance=2000.0, Collaterals=0.0, NLV=2100.0, MaintenanceMargin=90.0,
                           ProfitLoss=7.0, UPL=100.0)
    gate = account.gates["UPL"] = Gate()
    refresh = Background(s.adapter.update_account_balance)
    assert gate.entered.wait(DEADLINE)
    try:
        # Mid-rebuild: the old record, whole, and the lock free for the worker.
        assert s.adapter.account_balance is first and first.cash == 1000.0 and first.unrealized_pnl == -10.0
        assert gate.took_lock
    finally:
        gate.go.set()
    refresh.join()
    assert s.adapter.account_balance == AccountBalance(
        cash=2000.0, available_cash=2000.0, net_cash_power=2100.0, maintenance_margin=90.0,
        realized_pnl=7.0, unrealized_pnl=100.0)
    assert not vantor.lock.locked()


def test_a_failed_balance_refresh_prints_one_line_and_keeps_the_last_record(rig, capsys):
    s, account = rig
    s.adapter.update_account_balance()
    kept = s.adapter.account_balance
    account.failures["Collaterals"] = ValueError("no collaterals today")
    s.adapter.update_account_balance()
    s.adapter.GWAccountID = 8  # no such account
    s.adapter.update_account_balance()
    del s.adapter.GWAccountID  # none subscribed
    s.adapter.update_account_balance()
    printed = errors_printed(capsys.readouterr().out)
    assert len(printed) == 3
    assert "no collaterals today" in printed[0]
    assert printed[1:] == ["'NoneType' object has no attribute 'Summary'",
                           "'Vantor' object has no attribute 'GWAccountID'"]
    assert s.adapter.account_balance is kept and kept.cash == 1000.0
    assert not vantor.lock.locked()


def test_positions_are_published_only_once_complete(rig):
    s, account = rig
    account.positions = [
        Position("F.US.EPZ5", C.osdBuy, 2, 6850.0),
        Position("F.US.EPZ5", C.osdBuy, 0, 6851.0),   # flat: left out
        Position("F.US.XYZ", C.osdSell, -3, 12.5),    # short: quantity without its sign
        Position("F.US.NOTRADED", C.osdBuy, 1, 1.0),  # unknown to the host: left out
        Position("PLAIN", C.osdBuy, 4, 3.0),          # no dot: the whole name is the symbol
    ]
    start = datetime.datetime.now()
    s.adapter.update_positions()
    first = s.adapter.positions
    assert [(p.security, p.direction, p.quantity, p.holding_price) for p in first] == [
        (ES, Direction.LONG, 2, 6850.0), (XYZ, Direction.SHORT, 3, 12.5), (PLAIN, Direction.LONG, 4, 3.0)]
    assert all(start <= p.update_time <= datetime.datetime.now() for p in first)

    account.positions = account.positions[:1] * 3
    gate = account.gates[("ItemByIndex", 1)] = Gate()
    refresh = Background(s.adapter.update_positions)
    assert gate.entered.wait(DEADLINE)
    try:
        assert s.adapter.positions is first and len(first) == 3
        assert gate.took_lock
    finally:
        gate.go.set()
    refresh.join()
    assert len(s.adapter.positions) == 3 and s.adapter.positions is not first
    assert not vantor.lock.locked()


def test_a_failed_positions_refresh_raises_and_keeps_the_last_list(rig):
    s, account = rig
    account.positions = [Position("F.US.EPZ5", C.osdBuy, 2, 6850.0)]
    s.adapter.update_positions()
    kept = s.adapter.positions
    account.positions.append(Position("F.US.EPZ5", 99, 1, 6850.0))
    with pytest.raises(ValueError, match=r"^Return CQG Position Side 99 is invalid!$"):
        s.adapter.update_positions()
    s.adapter.GWAccountID = 8
    with pytest.raises(AttributeError, match="Positions"):
        s.adapter.update_positions()
    assert s.adapter.positions is kept and len(kept) == 1
    assert not vantor.lock.locked()


def test_account_events_are_traced_and_the_reload_readies_the_accounts(capsys):
    adapter = vantor.Vantor()
    adapter.gateway = CqgGateway({})
    account = Account()
    position = Position("F.US.EPZ5", C.osdBuy, 2, 6850.25)
    position.OTE, position.ProfitLoss = -12.5, 3.0
    adapter.OnAccountChanged(C.actPositionChanged, account, position)
    adapter.OnAccountChanged(C.actAccountChanged, account, None)  # not traced
    assert not adapter.eventAccountIsReady.is_set()
    adapter.OnAccountChanged(C.actAccountsReloaded, None, None)
    assert adapter.eventAccountIsReady.is_set()
    said = [line.partition(": ")[2] for line in capsys.readouterr().out.splitlines()]
    assert said == ["OnAccountChanged - open position is changed for SEVEN account - instrument: "
                    "F.US.EPZ5 average price: 6850.25 quantity: 2 OTE: -12.5 PL: 3.0",
                    "OnAccountChanged - Accounts are ready!"]
    assert adapter.positions == [] and adapter.account_balance == AccountBalance()


@pytest.mark.parametrize("refresh, published", [("update_account_balance", "account_balance"),
                                                ("update_positions", "positions")])
def test_a_rebuilt_value_is_published_under_the_module_lock(refresh, published):
    # Read on the calling thread (no component between), so that the refresh gives the GIL
    # up only where it waits for the lock.
    read = threading.Event()  # the refresh's last read from the account is done

    class Summary:
        def __getattr__(self, name):
            def figure(row):
                if name == "UPL":
                    read.set()
                return 1.0
            return figure

    class Positions:
        Count = 1

        def ItemByIndex(self, index):
            read.set()
            return Position("F.US.EPZ5", C.osdBuy, 2, 6850.0)

    class Adapter(vantor.Vantor):
        def get_account_from_gwaccountid(self, GWAccountID):
            return types.SimpleNamespace(Summary=Summary(), Positions=Positions())

    adapter = Adapter()
    adapter.GWAccountID, adapter.gateway = 7, CqgGateway({"EPZ5": ES})
    before = getattr(adapter, published)
    assert vantor.lock.acquire(timeout=DEADLINE)
    try:
        call = Background(getattr(adapter, refresh))
        eventually(lambda: read.is_set() and parked(call._thread))
        assert getattr(adapter, published) is before  # the refresh waits for the lock
    finally:
        vantor.lock.release()
    call.join()
    assert getattr(adapter, published) is not before
    assert not vantor.lock.locked()
