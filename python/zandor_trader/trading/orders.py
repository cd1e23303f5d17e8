"""The operator's orders: /send_order (parsed, then checked before trading), /cancel_order,
/cancel_orders and /close_positions."""
from typing import List, Optional

from zandor_trader.core.constants import Direction, Offset, OrderType
from zandor_trader.core.order import Order
from zandor_trader.trading import order_ids, pretrade, replies
from zandor_trader.trading.desk import Desk
from zandor_trader.trading.order_string import OrderStringError, parse_order_string
from zandor_trader.trading.tracking import timed_out_text
from zandor_trader.trading.trades import PlacementTimedOut, is_alive

OPPOSITE = {Direction.LONG: Direction.SHORT, Direction.SHORT: Direction.LONG}


class OrderRequests:
    KINDS = ("send_order", "cancel_order", "cancel_orders", "close_positions")

    def __init__(self, desk: Desk):
        self.desk = desk

    def _refuse_gateway(self, action: str, name) -> None:
        self.desk.reply(f"{action} refused: no gateway named {name!r} "
                        f"(gateways: {self.desk.gateway.gateway_name}).")

    def cancel_order(self, cancel_order_id, gateway_name) -> None:
        gateway, reply = self.desk.gateway, self.desk.reply
        if gateway_name != gateway.gateway_name:
            self._refuse_gateway("Cancel", gateway_name)
            return
        trades = gateway.trades
        order, candidates = None, []  # type: Optional[Order], List[str]
        if isinstance(cancel_order_id, str):  # the whole id, or any unambiguous start of it
            order = trades.get(cancel_order_id)
            if order is None:
                found, candidates = order_ids.resolve(cancel_order_id, trades.order_ids())
                order = trades.get(found) if found is not None else None
        if candidates:
            reply("Cancel refused: " + order_ids.ambiguous_text(cancel_order_id, candidates))
            return
        if order is None:
            reply(f"Cancel refused: {gateway_name} has no order with id {cancel_order_id!r}.")
            return
        if not is_alive(order):
            reply(f"Cancel refused: order {order.order_id} is {order.status.name}, not active.")
            return
        gateway.cancel_order(order.order_id)
        reply(f"Cancel requested for order {replies.order_line(order)}")

    def cancel_orders(self) -> None:
        gateway = self.desk.gateway
        active = gateway.trades.orders(active_only=True)
        if not active:
            self.desk.reply("No active orders to cancel.")
            return
        lines = []
        for order in active:
            try:
                gateway.cancel_order(order.order_id)
                lines.append(f"cancel requested: {order.order_id}")
            except Exception as exc:
                lines.append(f"cancel failed: {order.order_id}: {type(exc).__name__}: {exc}")
        self.desk.reply("\n".join([f"Cancelling {len(active)} active orders:"] + lines))

    def send_order(self, order_string) -> None:
        gateway, reply = self.desk.gateway, self.desk.reply
        try:
            order = parse_order_string(str(order_string), gateway.find_security,
                                       [gateway.gateway_name])
        except OrderStringError as exc:
            reply(f"Order refused: {exc}.")
            return
        refusal = pretrade.check_order(order, self._market(order), self.desk.limits)
        if refusal:
            reply(f"Order refused: {refusal}.")
            return
        try:
            order_id = gateway.send_order(order)
        except PlacementTimedOut:
            reply(timed_out_text(order))
            return
        reply(f"Order placed: {order_id} {replies.order_summary(order)}")

    def close_positions(self, close_positions_gateway_name) -> None:
        gateway = self.desk.gateway
        name = close_positions_gateway_name  # None: every gateway
        if name is not None and name != gateway.gateway_name:
            self._refuse_gateway("Close", name)
            return
        positions = gateway.query_positions()
        if not positions:
            self.desk.reply("No open positions to close.")
            return
        lines = []
        for position in positions:
            order = Order(security=position.security, price=None, quantity=position.quantity,
                          direction=OPPOSITE[position.direction], offset=Offset.CLOSE,
                          order_type=OrderType.MARKET, gateway_name=gateway.gateway_name)
            try:
                order_id = gateway.send_order(order)
                lines.append(f"placed {order_id} {replies.order_summary(order)}")
            except Exception as exc:
                lines.append(f"failed {replies.order_summary(order)}: {type(exc).__name__}: {exc}")
        self.desk.reply("\n".join([f"Closing {len(positions)} positions:"] + lines))

    def _market(self, order: Order) -> pretrade.Market:
        """What the checks need of the order's instrument, as of now."""
        gateway = self.desk.gateway
        security = order.security
        position = 0
        for p in gateway.query_positions():
            if p.security == security:
                position += pretrade.SIGN.get(p.direction, 0) * int(p.quantity)
        working = {Direction.LONG: 0, Direction.SHORT: 0}
        # Placements of unknown outcome count as working: the broker may have them.
        unknown = [p.order for p in gateway.trades.timed_out()]
        for o in gateway.trades.orders(active_only=True) + unknown:
            if o.security == security and o.direction in working:
                working[o.direction] += int(o.quantity) - int(o.filled_quantity or 0)
        limits = self.desk.limits
        return pretrade.Market(
            tick_size=gateway.tick_size(security),
            last_price=gateway.last_price(security), position=position,
            working_long=working[Direction.LONG], working_short=working[Direction.SHORT],
            max_position=self.desk.max_positions.get(security, limits.max_position))
