"""The operator's short order commands, served by the engine beside the bot's own:

    /buy SYMBOL QTY [@PRICE | stop PRICE], /sell ...   (see short_orders)
    /cancel ID                                         the gateway implied
    /replace ID PRICE                                  (see replacing)

An order goes to the session's gateway and opens, unless it only makes a position smaller
(with the working orders on its side, never through zero): then it closes. It passes every
check /send_order's orders pass, and its answers are theirs. A cancel of an order being
replaced gives the replace up.
"""
from typing import Sequence

from zandor_trader.core.constants import Offset
from zandor_trader.core.order import Order
from zandor_trader.trading import order_ids, pretrade
from zandor_trader.trading.replacing import Replacing
from zandor_trader.trading.short_orders import ShortOrderError, parse_short_order

CANCEL_USAGE = "Usage: /cancel ID: the order's id, or its first characters, e.g. /cancel F3CCA1DE"


class FastLane:
    """The short commands of `engine`'s operator, once `install`ed."""

    KINDS = ("buy", "sell", "cancel", "replace")

    def __init__(self, engine):
        self.engine = engine
        self.orders = engine.orders
        self.replacing = Replacing(engine, engine.orders)

    def install(self) -> "FastLane":
        """Serves the short commands, and gives a replace up when its order is cancelled by
        the bot's commands too."""
        engine, orders = self.engine, self.orders
        for kind in self.KINDS:
            engine.add_handler(kind, getattr(self, kind))

        def cancel_order(cancel_order_id, gateway_name):
            if gateway_name == engine.gateway.gateway_name and cancel_order_id is not None:
                self._give_up(str(cancel_order_id))
            orders.cancel_order(cancel_order_id, gateway_name)

        def cancel_orders():
            self.replacing.drop()
            orders.cancel_orders()

        engine.add_handler("cancel_order", cancel_order)
        engine.add_handler("cancel_orders", cancel_orders)
        return self

    def on_gateway_record(self, kind: str, record) -> None:
        """A gateway listener: a refused cancel wakes the engine (a replace waits for it)."""
        if kind == "change_refused":
            self.engine.wake("order")

    def buy(self, args: Sequence[str] = ()) -> None:
        self._order("buy", args)

    def sell(self, args: Sequence[str] = ()) -> None:
        self._order("sell", args)

    def _order(self, side: str, args: Sequence[str]) -> None:
        gateway, reply = self.engine.gateway, self.engine.reply
        try:
            order = parse_short_order(side, args, gateway.find_security, gateway.gateway_name,
                                      list(gateway.cqg_symbols))
        except ShortOrderError as exc:
            reply(str(exc))
            return
        down = self.orders.connection_refusal()
        if down:  # the position cannot be read either
            reply(f"{down}.")
            return
        self.orders.place(order, prepare=self._open_or_close)

    def _open_or_close(self, order: Order) -> None:
        """Close when the order only makes the position smaller, as of now; else open."""
        order.offset = Offset.OPEN
        try:
            market = self.orders.market(order)
        except Exception:  # the position cannot be read: an order that opens, checked so
            return
        if pretrade.reduces_risk(order, market):
            order.offset = Offset.CLOSE

    def cancel(self, args: Sequence[str] = ()) -> None:
        if len(args) != 1:
            self.engine.reply(CANCEL_USAGE)
            return
        self._give_up(str(args[0]))
        self.orders.cancel_order(str(args[0]), self.engine.gateway.gateway_name)

    def replace(self, args: Sequence[str] = ()) -> None:
        self.replacing.replace(args)

    def _give_up(self, text: str) -> None:
        """The replace of the order `text` names, if one is under way, is given up."""
        found, _ = order_ids.resolve(text, self.engine.gateway.trades.order_ids())
        if found is not None and found in self.replacing.jobs:
            self.replacing.drop(found)
