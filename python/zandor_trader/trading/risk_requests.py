"""The operator's risk commands: /risk (the limits, what is used, the state), /halt and /resume
(the kill switch); and the look at the day's P&L that the engine takes on its timer, after
deals and before an order that opens risk."""
from typing import Callable, List

from zandor_trader.trading import pretrade
from zandor_trader.trading.replies import BALANCE_FIELDS
from zandor_trader.trading.desk import Desk
from zandor_trader.trading.risk import money


class RiskRequests:
    KINDS = ("risk", "halt", "resume")

    def __init__(self, desk: Desk, flatten_account: Callable[[], object],
                 log: Callable[[str], None] = print):
        self.desk = desk
        self.flatten_account = flatten_account
        self.log = log

    def check(self) -> None:
        gateway = self.desk.gateway
        if gateway.down_since("gateway") is not None:
            return  # the account's figures would be those from before the link went down
        try:
            balance = gateway.query_account()
        except Exception as exc:
            self.log(f"Reading the day's P&L failed: {type(exc).__name__}: {exc}")
            return
        if not any(getattr(balance, field) for field in BALANCE_FIELDS):
            # The adapter answers a refresh that failed with an empty record: taken as figures,
            # it would turn the realized P&L of earlier days into today's loss.
            self.log("Reading the day's P&L failed: the account's figures are empty")
            return
        notices, reached = self.desk.risk.update(balance)
        if reached and self.desk.limits.flatten_on_loss:
            notices[-1] += " Flattening the account (flatten_on_loss = yes)."
        for text in notices:
            self.desk.reply(text)
        if reached and self.desk.limits.flatten_on_loss:
            self.flatten_account()

    def risk(self) -> None:
        self.check()
        self.desk.reply("\n".join(self.limit_lines() + self.position_lines() + [
            self.desk.risk.used_text(), f"State: {self.desk.risk.state_text()}"]))

    def halt(self) -> None:
        self.desk.reply(self.desk.risk.halt())

    def resume(self) -> None:
        self.check()  # a new trading day lifts the halt for the loss
        self.desk.reply(self.desk.risk.resume())

    def limit_lines(self) -> List[str]:
        limits = self.desk.limits
        own = ", ".join(f"{s}: {n}" for s, n in self.desk.max_positions.items())
        loss = (f"{money(limits.max_daily_loss)}, flatten_on_loss: "
                f"{'yes' if limits.flatten_on_loss else 'no'}"
                if limits.max_daily_loss is not None else "off")
        return ["Risk limits:",
                f"max_order_quantity: {limits.max_order_quantity} contracts per order",
                f"max_position: {limits.max_position} contracts in one instrument"
                + (f" ({own})" if own else ""),
                f"price_band: {limits.price_band}% of the last price",
                f"max_daily_loss: {loss}"]

    def position_lines(self) -> List[str]:
        gateway = self.desk.gateway
        try:
            positions = gateway.query_positions()
        except Exception as exc:
            return [f"Positions: unknown ({type(exc).__name__}: {exc})"]
        used = []
        for p in positions:
            most = self.desk.max_positions.get(p.security, self.desk.limits.max_position)
            signed = pretrade.SIGN.get(p.direction, 0) * int(p.quantity)
            used.append(f"{p.security} {pretrade.held_text(signed)} of at most {most}")
        return [f"Positions: {', '.join(used) if used else 'none'}"]
