"""Many orders placed and cancelled from the gateway's thread while the market moves and
another desk enters orders on the same account: every fill the component makes reaches the
host exactly once, and every placement returns its own order's GUID."""
from collections import Counter

import pythoncom

import cqgsim
from cqgsim import constants as C
from zandor_trader.core.constants import Direction, OrderType

from tests.vantor.orders_support import ACCOUNT, ES, Background, Session, eventually, order

PLACEMENTS = 240
ELSEWHERE = 40


def best_prices(s):
    return s.sim.query(lambda core: (core.market_data.markets["F.US.EPZ5"].best(C.qtBid),
                                     core.market_data.markets["F.US.EPZ5"].best(C.qtAsk)))


def working_orders(s):
    return s.sim.query(lambda core: [o.GUID for o in core.orders._items if o.GWStatus == C.osInOrderBook])


def cancel_quietly(s, guid):
    try:
        s.adapter.cancel_order(guid)
    except pythoncom.com_error:
        pass  # filled (or already cancelled) before the cancel arrived


def test_no_fill_is_lost_or_reported_twice_and_each_placement_gets_its_own_order(capsys):
    cqgsim.reset()
    # Enough cash that buying power, which counts the working orders, never refuses one.
    cqgsim.configure(mode="live", seed=5, speed=30.0,
                     accounts=[(ACCOUNT, "ZT-SIM-1", 50_000_000.0)])
    s = Session()
    try:
        s.subscribe(ACCOUNT)
        elsewhere = []
        other_desk = Background(lambda: elsewhere.extend(
            s.sim.external_order(ACCOUNT, "EPZ5", "osdSell" if i % 2 else "osdBuy", 1)
            for i in range(ELSEWHERE)))

        expected = {}  # GUID -> what the component must hold for it
        for i in range(PLACEMENTS):
            bid, ask = best_prices(s)
            buy = i % 2 == 0
            direction, side = (Direction.LONG, C.osdBuy) if buy else (Direction.SHORT, C.osdSell)
            quantity = 1 + i % 4
            kind = i % 3
            if kind == 0:
                placed = order(ES, OrderType.MARKET, direction, quantity, price=0.0)
                shape = (C.otMarket, side, quantity, None, None, 0)
            elif kind == 1:
                price = bid - (i % 4) * 0.25 if buy else ask + (i % 4) * 0.25
                placed = order(ES, OrderType.LIMIT, direction, quantity, price=price)
                shape = (C.otLimit, side, quantity, price, None, 0)
            else:
                stop = ask + 0.5 if buy else bid - 0.5
                placed = order(ES, OrderType.STOP, direction, quantity, price=stop, stop_price=stop)
                shape = (C.otStop, side, quantity, stop, stop, 0)
            guid = s.adapter.place_order(placed)
            assert guid not in expected
            expected[guid] = shape
            if kind == 1 and i % 4 == 1:
                cancel_quietly(s, guid)
        other_desk.join()

        # Nothing may stay working, so that no fill comes after the count.
        def settled():
            for guid in working_orders(s):
                cancel_quietly(s, guid)
            return not working_orders(s)
        eventually(settled)
        s.sim.sync()

        fills = s.fills()
        deals = list(s.gateway.deals)
        assert len(fills) > PLACEMENTS // 3  # the load did trade
        assert Counter(d["deal_id"] for d in deals) == Counter(fill_id for fill_id, _ in fills)
        assert {(d["deal_id"], d["order_id"]) for d in deals} == set(fills)

        orders = s.orders()
        assert {guid: orders[guid] for guid in expected} == expected
        out = capsys.readouterr().out
        assert all(out.count(f"orderid {guid} is not placed by algo\n") == 1 for guid in elsewhere)
        assert out.count("is not placed by algo") == ELSEWHERE
        assert s.sim.errors == []
    finally:
        s.close()
        cqgsim.reset()
