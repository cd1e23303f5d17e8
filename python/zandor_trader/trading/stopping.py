"""The end of a session: /stop and Ctrl-C, confirmed first while the account has business
open, and the summary that is the session's last message.

A confirmation holds only for what it was asked about: it lapses after CONFIRM_WITHIN seconds,
when another request comes between, or when the open business changed since (a fill, a new
order); the next /stop then asks again, naming what is open now. The question comes with
Confirm and Cancel buttons; Confirm pressed while it holds is a second /stop. On the
terminal, a second Ctrl-C within INTERRUPT_WITHIN seconds of the question ends the session.
"""
from typing import Callable, FrozenSet, List, Optional, Sequence, Set, Tuple

from zandor_trader.trading import replies
from zandor_trader.trading.desk import Desk
from zandor_trader.trading.questions import CONFIRM_WITHIN, Question

STOPPED_BY_OPERATOR = "/stop from the operator"
INTERRUPTED = "Ctrl-C"
INTERRUPT_WITHIN = 5.0  # seconds a second Ctrl-C has to end the session anyway

Business = FrozenSet[Tuple[str, ...]]  # what is open, in a form that can be compared


class Stopping:
    """`end(reason)` ends the session (the engine's loop)."""

    def __init__(self, desk: Desk, end: Callable[[str], None]):
        self.desk = desk
        self.end = end
        # A /stop waiting for its confirmation: when it was asked and what was open then.
        self._asked: Optional[Tuple[float, Business]] = None
        self._question: Optional[Question] = None  # the latest question a /stop asked
        self._interrupt_asked: Optional[float] = None  # when Ctrl-C asked on the terminal

    @property
    def asked(self) -> bool:
        return self._asked is not None

    def other_request(self) -> None:
        """A request came between: a /stop must be confirmed anew."""
        self._asked = None
        self._lapse("another request came in between")

    def stop(self, args: Sequence[str] = ()) -> None:
        """Ends the session; with open positions or working orders, only when confirmed:
        a second /stop in a row (or the question's Confirm button), within CONFIRM_WITHIN
        seconds, with the same business open; or /stop force."""
        if any(str(a).lower() == "force" for a in args):
            self._settle("typed /stop force")
            self.end(STOPPED_BY_OPERATOR)
            return
        now = self.desk.clock()
        anything, lines, business = self._open()
        asked, self._asked = self._asked, None
        if not anything or (asked is not None and now - asked[0] <= CONFIRM_WITHIN
                            and asked[1] == business):
            self._settle("typed /stop again")
            self.end(STOPPED_BY_OPERATOR)
            return
        if asked is not None:
            self._lapse(f"more than {CONFIRM_WITHIN:g} s passed" if now - asked[0] >
                        CONFIRM_WITHIN else "the open business changed")
        self._asked = (now, business)
        self._question = self.desk.questions.ask(
            "stop", "\n".join(
                ["Stop not done yet: the account still has business open."] + lines
                + ["Send /stop again (or /stop force) to end the session anyway; "
                   "positions and orders are left as they are."]),
            self._confirmed, "send /stop to ask again", cancel=self._cancelled,
            check=self._unchanged)

    def _confirmed(self) -> None:
        """The question's Confirm pressed while it held."""
        self._asked = None
        self.end(STOPPED_BY_OPERATOR)

    def _cancelled(self) -> None:
        self._asked = None

    def _unchanged(self) -> Optional[str]:
        if self._asked is None or self._asked[1] != self._open()[2]:
            return "the open business changed"
        return None

    def _lapse(self, why: str) -> None:
        question = self._question
        if question is not None and question.outcome is None and question.lapsed is None:
            question.lapsed = why

    def _settle(self, how: str) -> None:
        """An open question answered by typing."""
        question = self._question
        if question is not None and question.outcome is None and question.lapsed is None:
            self.desk.questions.settle(question, "Confirm", how)

    def is_own(self, key) -> bool:
        """Whether a question's key names the latest one a /stop asked."""
        return self._question is not None and self._question.key == str(key)

    def interrupted(self, at: float) -> None:
        """Ctrl-C at `at` (the engine's clock): ends the session when nothing is open, or when
        it comes within INTERRUPT_WITHIN seconds of the question the Ctrl-C before asked;
        else asks on the terminal."""
        asked, self._interrupt_asked = self._interrupt_asked, None
        if asked is not None and at - asked <= INTERRUPT_WITHIN:
            self.end(INTERRUPTED)
            return
        anything, lines, _ = self._open()
        if not anything:
            self.end(INTERRUPTED)
            return
        self._interrupt_asked = at
        self.desk.log("\n".join(
            ["Ctrl-C: the account still has business open."] + lines
            + [f"Press Ctrl-C again within {INTERRUPT_WITHIN:g} s to end the session anyway; "
               f"positions and orders are left as they are."]))

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
        anything, lines, _ = self._open()
        return anything, lines

    def _open(self) -> Tuple[bool, List[str], Business]:
        gateway = self.desk.gateway
        business: Set[Tuple[str, ...]] = set()
        try:
            positions = gateway.query_positions()
            lines = [f"Open positions: {len(positions)}"]
            lines += [replies.position_line(gateway.gateway_name, p) for p in positions]
            business |= {("position", str(p.security), replies.name(p.direction),
                          str(p.quantity)) for p in positions}
            anything = bool(positions)
        except Exception as exc:
            lines = [f"Open positions: unknown ({type(exc).__name__}: {exc})"]
            business.add(("positions unknown",))
            anything = True
        working = gateway.trades.orders(active_only=True)
        lines.append(f"Working orders: {len(working)}")
        lines += [replies.order_line(o) for o in working]
        business |= {("order", str(o.order_id),
                      str(int(o.quantity) - int(o.filled_quantity or 0))) for o in working}
        unknown = gateway.trades.timed_out()
        if unknown:  # the broker may have them: the operator should know before leaving
            lines.append(f"Placements of unknown outcome: {len(unknown)}")
            lines += [replies.order_summary(p.order) for p in unknown]
            business |= {("unknown", replies.order_summary(p.order)) for p in unknown}
        return anything or bool(working) or bool(unknown), lines, frozenset(business)
