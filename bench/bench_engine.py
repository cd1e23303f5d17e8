"""Benchmarks of the trading engine's listings: their cost must follow what is shown, not what
the gateway has kept (a session keeps up to 100,000 orders)."""
import types

from benchlib import Row, median_seconds, timed
from zandor_trader.core.constants import Direction, Exchange, OrderStatus, OrderType
from zandor_trader.core.order import Order
from zandor_trader.core.security import Security
from zandor_trader.trading import Engine
from zandor_trader.gateways.cqg.gateway import CqgGateway

ES = Security("EPZ5", Exchange.CME)
CALLS = 200


class _Dropped:
    """An outbox that drops what it is given: only the engine's own work is timed."""

    def put(self, text, on_sent=None):
        pass


def _engine(kept: int) -> Engine:
    gateway = CqgGateway({"EPZ5": ES}, history=max(kept, 1))
    for n in range(kept):
        order = Order(security=ES, price=6800.0, quantity=1, direction=Direction.LONG,
                      order_type=OrderType.LIMIT)
        order_id = f"{{{n:08X}-0000-0000-0000-000000000000}}"
        gateway.trades.register(order, order_id)
        # All finished but the last few, as in a long session.
        status = OrderStatus.SUBMITTED if n >= kept - 3 else OrderStatus.CANCELLED
        gateway.trades.update({"order_id": order_id, "status": status})
    bot = types.SimpleNamespace(zandor_trader_status="Running")
    return Engine(bot, gateway, outbox=_Dropped())


def _per_call_ms(engine: Engine, active: bool, repeat: int) -> float:
    def run():
        return timed(lambda: [engine.queries.get_orders(active, 8) for _ in range(CALLS)])
    return median_seconds(run, repeat) / CALLS * 1e3


def rows(repeat: int):
    small, large = _engine(100), _engine(100_000)
    out = []
    for active, name in ((False, "/orders 8"), (True, "/orders -a 8")):
        value = _per_call_ms(large, active, repeat)
        base = _per_call_ms(small, active, repeat)
        out.append(Row(f"engine: {name}, 100,000 kept orders", value,
                       "the same with 100 kept orders", base, "ms/call",
                       "under 5 ms; ratio near 1 (the cost follows the rows shown)"))
    return out
