"""Account subscription, balance and positions on the simulated component."""
import pytest

import cqgsim
from cqgsim import constants as C
from zandor_trader.core.constants import Direction, OrderType
from zandor_trader.gateways.cqg.wrapper import vantor

from tests.vantor.orders_support import CL, ES, NQ, Session, market, order, traces

TRADER_2 = 100102  # the simulated account with collaterals


def account_state(sim, gw_account_id):
    return sim.query(lambda core: (core.account_level,
                                   core.trading.account(gw_account_id).AutoSubscribeInstruments,
                                   core.trading.account(gw_account_id).PositionSubcriptionLevel))


def test_the_subscription_waits_for_the_first_reload_only(monkeypatch, capsys):
    cqgsim.reset()
    s = Session()
    try:
        with pytest.raises(TypeError, match=r"^Argument 'GWAccountID' has incorrect type \(expected int, got str\)$"):
            s.adapter.subscribe_account_and_positions("100101")

        monkeypatch.setattr(vantor, "TIMEOUT", 0.2)
        s.sim.respond("AccountSubscriptionLevel", "drop", times=1)
        with pytest.raises(RuntimeError, match=r"^Accounts coming timeout!$"):
            s.adapter.subscribe_account_and_positions(TRADER_2)
        assert not hasattr(s.adapter, "GWAccountID")

        monkeypatch.setattr(vantor, "TIMEOUT", 10)
        capsys.readouterr()
        s.adapter.subscribe_account_and_positions(GWAccountID=TRADER_2)
        said = traces(capsys.readouterr().out)
        # The reload is traced on the worker, so it may come before or after the wait's line.
        selected = said.index(f"Select account {TRADER_2}, subscribe to open positions.")
        assert sorted(said[:selected]) == ["OnAccountChanged - Accounts are ready!",
                                           "Waiting for accounts coming..."]
        assert s.adapter.GWAccountID == TRADER_2
        assert account_state(s.sim, TRADER_2) == (C.aslAccountUpdatesAndOrders, True, C.pslSnapshotAndUpdates)
        assert s.adapter.account_balance.cash == 250_000.0  # refreshed on the way

        s.adapter.unsubscribe_account_and_positions(TRADER_2)
        assert traces(capsys.readouterr().out)[-1] == f"Unsubscribe account {TRADER_2}."
        assert account_state(s.sim, TRADER_2) == (C.aslNone, False, C.pslNoPositions)
        assert s.adapter.GWAccountID == TRADER_2
        with pytest.raises(ValueError, match=r"^GWAccountID 424242 can not be found!$"):
            s.adapter.unsubscribe_account_and_positions(424242)

        # Accounts are ready since the first reload: a later subscription does not wait for
        # one (it never comes here), and keeps the id even when no account has it.
        s.sim.respond("AccountSubscriptionLevel", "drop", times=1)
        with pytest.raises(ValueError, match=r"^GWAccountID 424242 can not be found!$"):
            s.adapter.subscribe_account_and_positions(424242.0)
        assert type(s.adapter.GWAccountID) is int and s.adapter.GWAccountID == 424242
    finally:
        s.close()


@pytest.fixture(scope="module")
def trader_2():
    cqgsim.reset()
    s = Session(dict(EPZ5=ES, ENQZ5=NQ, CLEF6=CL), resolve=["EPZ5", "ENQZ5", "CLEF6", "DDZ5"])
    s.subscribe(TRADER_2)
    for symbol, bid in (("EPZ5", 6850.0), ("ENQZ5", 25000.0), ("CLEF6", 60.0), ("DDZ5", 47000.0)):
        market(s.sim, symbol, bid, bid + 0.25)
    yield s
    s.close()
    cqgsim.reset()


def test_balance_and_positions_follow_the_fills(trader_2, capsys):
    s = trader_2
    before = s.adapter.positions
    s.adapter.place_order(order(ES, OrderType.MARKET, Direction.LONG, 2))
    s.adapter.place_order(order(NQ, OrderType.MARKET, Direction.SHORT, 3))
    s.adapter.place_order(order(CL, OrderType.MARKET, Direction.LONG, 1))
    s.adapter.place_order(order(CL, OrderType.MARKET, Direction.SHORT, 1))  # flat again
    s.sim.external_order(TRADER_2, "DDZ5", "osdBuy", 1)  # a symbol the host does not trade
    s.sim.sync()
    said = traces(capsys.readouterr().out)
    assert any(m.startswith("OnAccountChanged - open position is added for ZT-SIM-2 account - "
                            "instrument: F.US.EPZ5 average price: 6850.25 quantity: 2 OTE: ")
               for m in said)
    assert any(m.startswith("OnAccountChanged - open position is changed for ZT-SIM-2 account - "
                            "instrument: F.US.CLEF6 average price: ") for m in said)
    assert s.adapter.positions is before  # events alone refresh nothing

    s.adapter.update_positions()
    got = [(p.security, p.direction, p.quantity, p.holding_price) for p in s.adapter.positions]
    assert got == [(ES, Direction.LONG, 2, 6850.25), (NQ, Direction.SHORT, 3, 25000.0)]
    assert all(p.update_time.tzinfo is None for p in s.adapter.positions)

    s.adapter.update_account_balance()
    summary = s.sim.query(lambda core: {
        name: getattr(core.trading.account(TRADER_2).Summary, name)(row)
        for name, row in (("Balance", 0), ("Collaterals", 1), ("NLV", 0),
                          ("MaintenanceMargin", 1), ("ProfitLoss", 0), ("UPL", 0))})
    balance = s.adapter.account_balance
    assert (balance.cash, balance.available_cash, balance.net_cash_power, balance.maintenance_margin,
            balance.realized_pnl, balance.unrealized_pnl) == (
        summary["Balance"], summary["Balance"] - summary["Collaterals"], summary["NLV"],
        summary["MaintenanceMargin"], summary["ProfitLoss"], summary["UPL"])
    assert summary["Collaterals"] == 50_000.0 and summary["MaintenanceMargin"] > 0
    assert balance.cash_by_currency is None and balance.max_power_short is None
