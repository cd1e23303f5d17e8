"""The gateway's orders and deals: what the adapter reports early, late, or for orders it did
not place, ends up on the right order."""
from zandor_trader.core.constants import Direction, OrderStatus, OrderType
from zandor_trader.core.order import Order
from zandor_trader.trading.trades import TradeLog

from .fakes import ES, T0, gateway_with_adapter


def market_order(quantity=2, direction=Direction.LONG):
    return Order(security=ES, price=None, quantity=quantity, direction=direction,
                 order_type=OrderType.MARKET)


def update(order_id, status, filled=0, price=0.0):
    return {"order_id": order_id, "updated_time": T0, "filled_avg_price": price,
            "filled_quantity": filled, "status": status}


def deal(order_id, deal_id="D1", quantity=2, price=6850.25):
    return {"deal_id": deal_id, "order_id": order_id, "updated_time": T0,
            "filled_avg_price": price, "filled_quantity": quantity}


def test_updates_and_deals_reported_before_the_id_came_back_land_on_the_order():
    log = TradeLog("CQG")
    # The component reports the fill while the placing thread still waits for the id.
    log.update(update("{A}", OrderStatus.SUBMITTED))
    log.update(update("{A}", OrderStatus.FILLED, 2, 6850.25))
    log.deal(deal("{A}"))
    log.register(market_order(), "{A}")
    (order,) = log.orders()
    assert (order.order_id, order.status, order.filled_quantity, order.filled_avg_price,
            order.gateway_name) == ("{A}", OrderStatus.FILLED, 2, 6850.25, "CQG")
    (d,) = log.deals()
    assert (d.security, d.direction, d.filled_quantity) == (ES, Direction.LONG, 2)
    # Later updates go straight to the order.
    log.update(update("{A}", OrderStatus.CANCELLED, 2, 6850.25))
    assert log.get("{A}").status is OrderStatus.CANCELLED


def test_an_order_entered_elsewhere_never_shows_as_ours_and_its_deal_has_no_security():
    log = TradeLog("CQG")
    log.update(update("{X}", OrderStatus.FILLED, 1, 10.0))
    log.deal(deal("{X}"))
    assert log.orders() == [] and log.get("{X}") is None
    (d,) = log.deals()
    assert d.security is None and d.direction is None


def test_active_filter_and_copies_that_later_updates_do_not_change():
    log = TradeLog("CQG")
    for n, status in enumerate([OrderStatus.FILLED, OrderStatus.SUBMITTED, OrderStatus.UNKNOWN,
                                OrderStatus.CANCELLED, OrderStatus.FAILED]):
        log.register(market_order(), f"{{{n}}}")
        log.update(update(f"{{{n}}}", status))
    assert [o.order_id for o in log.orders(active_only=True)] == ["{1}", "{2}"]
    snapshot = log.orders()
    log.update(update("{1}", OrderStatus.FILLED, 2, 1.0))
    assert snapshot[1].status is OrderStatus.SUBMITTED


def test_bounded_history_and_deals_after_a_count():
    log = TradeLog("CQG", history=3)
    for n in range(5):
        log.deal(deal("{X}", deal_id=f"D{n}"))
    assert [d.deal_id for d in log.deals()] == ["D2", "D3", "D4"]
    fresh, count = log.deals_after(3)
    assert [d.deal_id for d in fresh] == ["D3", "D4"] and count == 5
    # More reported since than are still kept: what is kept.
    assert [d.deal_id for d in log.deals_after(0)[0]] == ["D2", "D3", "D4"]
    assert log.deals_after(5) == ([], 5)
    for n in range(5):
        log.register(market_order(), f"{{{n}}}")
    assert [o.order_id for o in log.orders()] == ["{2}", "{3}", "{4}"]


def test_gateway_keeps_what_it_places_and_what_the_adapter_reports():
    gateway = gateway_with_adapter()
    seen = []
    gateway.add_listener(lambda kind, record: seen.append(kind))
    order_id = gateway.send_order(market_order())
    gateway.adapter.fill(order_id, 2, 6850.25)
    assert gateway.trades.get(order_id).status is OrderStatus.FILLED
    assert [d.order_id for d in gateway.trades.deals()] == [order_id]
    assert seen == ["order", "deal"]  # the raw reports still reach the logs and listeners
    assert list(gateway.deals)[0]["order_id"] == order_id
    assert gateway.find_security("epz5") is ES and gateway.find_security("ES") is None
