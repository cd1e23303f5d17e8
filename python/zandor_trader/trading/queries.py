"""The operator's questions: /balance, /positions, /orders and /deals, each answered with a
fresh look at the gateway; and the same look taken for the display, unasked."""
from functools import partial

from zandor_trader.trading import replies
from zandor_trader.trading.desk import Desk
from zandor_trader.trading.marks import mark


class Queries:
    KINDS = ("get_balance", "get_positions", "get_orders", "get_deals")

    def __init__(self, desk: Desk):
        self.desk = desk

    def get_balance(self) -> None:
        gateway = self.desk.gateway
        balance = gateway.query_account()
        self.desk.reply(replies.balance_text(gateway.gateway_name, gateway.account_id, balance))

    def get_positions(self) -> None:
        gateway = self.desk.gateway
        positions = gateway.query_positions()
        self.desk.reply(replies.positions_text(gateway.gateway_name, positions,
                                               partial(mark, gateway)))

    def get_orders(self, active_orders, num_orders_displayed) -> None:
        shown, total = self.desk.gateway.trades.newest_orders(num_orders_displayed,
                                                              active_only=bool(active_orders))
        self.desk.reply(replies.orders_text(shown, total, bool(active_orders)))

    def get_deals(self, num_deals_displayed) -> None:
        shown, total = self.desk.gateway.trades.newest_deals(num_deals_displayed)
        self.desk.reply(replies.deals_text(shown, total))

    def refresh(self) -> None:
        """Balance, positions and bars fetched anew for the display; a failure is one notice."""
        gateway = self.desk.gateway
        try:
            gateway.query_account()
            gateway.query_positions()
            gateway.query_bars()
        except Exception as exc:
            self.desk.log(f"Refreshing the account failed: {type(exc).__name__}: {exc}")
