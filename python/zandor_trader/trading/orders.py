"""The operator's orders: /send_order (parsed, then checked before trading), /cancel_order,
/cancel_orders, and /close_positions and /flatten (see `flatten`). An order above
`confirm_above` contracts, and (where the session asks so) a flatten, wait for the operator's
confirmation (see `confirming`)."""
from typing import Callable, Collection, List, Optional, Tuple

from zandor_trader.core.constants import Direction
from zandor_trader.core.order import Order
from zandor_trader.trading import order_ids, pretrade, replies
from zandor_trader.trading.confirming import ask_flatten, ask_order, needs_confirming
from zandor_trader.trading.desk import Desk
from zandor_trader.trading.flatten import Flatten
from zandor_trader.trading.order_string import OrderStringError, parse_order_string
from zandor_trader.trading.tracking import timed_out_text
from zandor_trader.trading.trades import PlacementTimedOut, is_alive

FLATTEN_WAIT = 10.0  # seconds a flatten waits for its cancels, then for its closing orders


class OrderRequests:
    KINDS = ("send_order", "cancel_order", "cancel_orders", "close_positions", "flatten")

    def __init__(self, desk: Desk, flatten_wait: float = FLATTEN_WAIT):
        self.desk = desk
        self.flatten_wait = flatten_wait
        self.flattening: Optional[Flatten] = None  # the latest flatten, done or under way
        self.confirm_flatten = False  # /flatten and /close_positions ask first
        # Other jobs moved on with the flatten (/replace): each returns when it must be looked
        # at again, None once done.
        self.followers: List[Callable[[float], Optional[float]]] = []

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
        gateway = self.desk.gateway
        try:
            order = parse_order_string(str(order_string), gateway.find_security,
                                       [gateway.gateway_name])
        except OrderStringError as exc:
            self.desk.reply(f"Order refused: {exc}.")
            return
        self.place(order)

    def place(self, order: Order, confirmed: bool = False,
              prepare: Optional[Callable[[Order], None]] = None) -> None:
        """Places `order` after the checks and says how it went; one above `confirm_above`
        contracts only once the operator confirmed it (then checked again). `prepare(order)`
        completes it as of now, before it is checked, each time."""
        if prepare is not None:
            prepare(order)
        if not confirmed and needs_confirming(order, self.desk.limits):
            refused = self.check(order)
            if refused:  # nothing to confirm
                self.desk.reply(refused)
            else:
                ask_order(self.desk, order, lambda: self.place(order, True, prepare))
            return
        self.desk.reply(self.try_place(order)[1])

    def check(self, order: Order) -> Optional[str]:
        """What the operator is told when `order` is refused as things stand, or None."""
        down = self.connection_refusal()
        if down:
            return f"{down}."
        refusal = self.refusal(order, self.market(order))
        return f"Order refused: {refusal}." if refusal else None

    def try_place(self, order: Order) -> Tuple[Optional[str], str]:
        """(the order's id, or None when it was not placed; what to tell the operator): the
        order placed after the checks."""
        refused = self.check(order)
        if refused:
            return None, refused
        try:
            order_id = self.desk.gateway.send_order(order)
        except PlacementTimedOut:
            return None, timed_out_text(order)
        return order_id, f"Order placed: {order_id} {replies.order_summary(order)}"

    def connection_refusal(self) -> Optional[str]:
        """Why no order can be sent now (the gateway or the account not connected), or None."""
        gateway = self.desk.gateway
        since = gateway.down_since("gateway")
        if since is not None:
            return f"Gateway connection down since {since:%H:%M}; order not sent"
        if gateway.adapter is None or gateway.account_id is None:
            return "Account not connected; order not sent"
        return None

    def refusal(self, order: Order, market: pretrade.Market) -> Optional[str]:
        """Why `order` is refused by the checks, or None; an order that opens or increases
        risk is checked against the day's loss first."""
        refusal = pretrade.check_order(order, market, self.desk.limits)
        if refusal or pretrade.reduces_risk(order, market):
            return refusal
        if self.desk.limits.max_daily_loss is not None:
            self.desk.check_risk()  # the day's P&L as it is now, not as of the last look
        return self.desk.risk.refusal()

    def _place_checked(self, order: Order, position: int,
                       excluding: List[str]) -> Tuple[Optional[str], Optional[str]]:
        """A flatten's order, checked like any order against `position`, the working orders
        of `excluding` left out; (its id, None) or (None, why it was refused)."""
        refusal = self.connection_refusal() or self.refusal(
            order, self.market(order, position, excluding))
        if refusal:
            return None, refusal
        return self.desk.gateway.send_order(order), None

    def close_positions(self, close_positions_gateway_name) -> None:
        gateway = self.desk.gateway
        name = close_positions_gateway_name  # None: every gateway
        if name is not None and name != gateway.gateway_name:
            self._refuse_gateway("Close", name)
            return
        self.flatten(None, "/close_positions")

    def flatten(self, symbol=None, command: str = "/flatten") -> None:
        """Every instrument (`symbol` None), or the one named."""
        security = None
        if symbol is not None:
            security = self.desk.gateway.find_security(str(symbol))
            if security is None:
                self.desk.reply(f"Flatten refused: {symbol!r} is not traded in this session.")
                return
            command += f" {symbol}"
        if self.confirm_flatten and (self.flattening is None or self.flattening.done):
            ask_flatten(self.desk, security, lambda: self.start_flatten(security), command)
        else:
            self.start_flatten(security)

    def start_flatten(self, security) -> bool:
        """Starts flattening `security` (None: the account); False when a flatten runs."""
        if self.flattening is not None and not self.flattening.done:
            self.desk.reply("Flatten refused: a flatten is under way; its report comes when "
                            "it is done.")
            return False
        self.flattening = Flatten(self.desk, self._place_checked, security, self.flatten_wait)
        self.flattening.start(self.desk.clock())
        return True

    def advance(self, now: float) -> Optional[float]:
        """Moves a flatten under way, and the followers, on; the time they must be looked at
        again, or None."""
        dues = [follow(now) for follow in self.followers]
        job = self.flattening
        if job is not None and not job.done:
            job.advance(now)
            dues.append(job.deadline)
        waiting = [due for due in dues if due is not None]
        return min(waiting) if waiting else None

    def market(self, order: Order, position: Optional[int] = None,
                excluding: Collection[str] = ()) -> pretrade.Market:
        """What the checks need of the order's instrument, as of now; `position` given: that
        one instead of the account's, and the orders of `excluding` not counted as working."""
        gateway = self.desk.gateway
        security = order.security
        if position is None:
            position = 0
            for p in gateway.query_positions():
                if p.security == security:
                    position += pretrade.SIGN.get(p.direction, 0) * int(p.quantity)
        working = {Direction.LONG: 0, Direction.SHORT: 0}
        # Placements of unknown outcome count as working: the broker may have them.
        unknown = [p.order for p in gateway.trades.timed_out()]
        for o in gateway.trades.orders(active_only=True) + unknown:
            if o.security == security and o.direction in working and o.order_id not in excluding:
                working[o.direction] += int(o.quantity) - int(o.filled_quantity or 0)
        limits = self.desk.limits
        return pretrade.Market(
            tick_size=gateway.tick_size(security),
            last_price=gateway.last_price(security), position=position,
            working_long=working[Direction.LONG], working_short=working[Direction.SHORT],
            max_position=self.desk.max_positions.get(security, limits.max_position))
