"""What the engine tells the operator unasked about the account: each new deal once (journaled
before its notice can go out) and each order that ended without a fill, with the broker's
reason for a rejection (read with the order's update). Runs on the engine's thread."""
from zandor_trader.core.constants import OrderStatus
from zandor_trader.trading import replies

# Order updates that end an order without a fill, worth telling the operator.
ENDED = {OrderStatus.CANCELLED: "cancelled",
         OrderStatus.FAILED: "rejected, expired or lost by the broker"}


class Announcements:
    """The deals and ended orders of `engine`'s gateway not yet announced."""

    def __init__(self, engine):
        self._engine = engine
        self._ended_seen = 0  # ended orders announced (engine's thread)
        # Deals whose notice is in the outbox or sent (engine's thread); restored ones are not
        # counted as reported.
        self._deals_queued = engine.gateway.trades.deals_after(0)[1]
        self.deals_announced = 0  # deals whose notice was sent (the outbox's thread)

    def ended_orders(self) -> None:
        """Each order cancelled, rejected or expired, once."""
        engine = self._engine
        fresh, self._ended_seen = engine.gateway.trades.ended_after(self._ended_seen)
        for order in fresh:
            if order.status == OrderStatus.FAILED and order.reason:
                engine.reply(f"Order rejected by the broker: {replies.order_line(order)}. "
                             f"Reason: {order.reason}")
            else:
                engine.reply(f"Order {ENDED[order.status]}: {replies.order_line(order)}")

    def deals(self) -> bool:
        """Each new deal once: its notice stays in the outbox until it is sent. Whether there
        were any."""
        engine = self._engine
        fresh, self._deals_queued = engine.gateway.trades.deals_after(self._deals_queued)
        for deal in fresh:
            if engine.books is not None:  # journaled before the outbox may announce it
                engine.books.record(deal)
            engine.reply(f"Deal: {replies.deal_line(deal)}", on_sent=self._deal_announced)
        return bool(fresh)

    def _deal_announced(self) -> None:
        self.deals_announced += 1
