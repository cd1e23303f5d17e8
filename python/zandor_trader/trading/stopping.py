"""The end of a session: /stop, confirmed first while the account has business open, and the
summary that is the session's last message."""
from typing import Callable, List, Sequence, Tuple

from zandor_trader.trading import replies
from zandor_trader.trading.desk import Desk

STOPPED_BY_OPERATOR = "/stop from the operator"


class Stopping:
    """`end(reason)` ends the session (the engine's loop)."""

    def __init__(self, desk: Desk, end: Callable[[str], None]):
        self.desk = desk
        self.end = end
        self.asked = False  # a /stop is waiting for its confirmation

    def other_request(self) -> None:
        """A request came between: a /stop must be confirmed anew."""
        self.asked = False

    def stop(self, args: Sequence[str] = ()) -> None:
        """Ends the session; with open positions or working orders, only when confirmed:
        a second /stop in a row, or /stop force."""
        force = any(str(a).lower() == "force" for a in args)
        if not force and not self.asked:
            anything, lines = self.open_business()
            if anything:
                self.asked = True
                self.desk.reply("\n".join(
                    ["Stop not done yet: the account still has business open."] + lines
                    + ["Send /stop again (or /stop force) to end the session anyway; "
                       "positions and orders are left as they are."]))
                return
        self.end(STOPPED_BY_OPERATOR)

    def summary(self, reason: str) -> str:
        """One message for the end of the session: realized P&L, open positions and the
        working orders."""
        lines = [f"Zandor-Trader terminated ({reason})."]
        try:
            balance = self.desk.gateway.query_account()
            lines.append(f"Realized P&L: {replies.number(balance.realized_pnl)}")
        except Exception as exc:
            lines.append(f"Realized P&L: unknown ({type(exc).__name__}: {exc})")
        lines += self.open_business()[1]
        return "\n".join(lines)

    def open_business(self) -> Tuple[bool, List[str]]:
        """(whether anything is open, lines naming the open positions and working orders);
        positions that cannot be read count as open."""
        gateway = self.desk.gateway
        try:
            positions = gateway.query_positions()
            lines = [f"Open positions: {len(positions)}"]
            lines += [replies.position_line(gateway.gateway_name, p) for p in positions]
            anything = bool(positions)
        except Exception as exc:
            lines = [f"Open positions: unknown ({type(exc).__name__}: {exc})"]
            anything = True
        working = gateway.trades.orders(active_only=True)
        lines.append(f"Working orders: {len(working)}")
        lines += [replies.order_line(o) for o in working]
        unknown = gateway.trades.timed_out()
        if unknown:  # the broker may have them: the operator should know before leaving
            lines.append(f"Placements of unknown outcome: {len(unknown)}")
            lines += [replies.order_summary(p.order) for p in unknown]
        return anything or bool(working) or bool(unknown), lines
