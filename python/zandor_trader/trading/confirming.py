"""What waits for the operator's confirmation besides /stop: an order above `confirm_above`
contracts, and a flatten while there is something to flatten. Each is asked as a question (see
questions); its Confirm does the deed then, checked again as of that moment."""
from typing import Callable, List, Optional, Tuple

from zandor_trader.core.order import Order
from zandor_trader.core.security import Security
from zandor_trader.trading import replies
from zandor_trader.trading.desk import Desk
from zandor_trader.trading.pretrade import Limits


def needs_confirming(order: Order, limits: Limits) -> bool:
    above = limits.confirm_above
    return above is not None and int(order.quantity) > above


def ask_order(desk: Desk, order: Order, confirmed: Callable[[], object],
              what: Optional[str] = None) -> None:
    """Asks whether to place `order` (`what`: the deed, when it is more than a placement)."""
    above = desk.limits.confirm_above
    desk.questions.ask(
        "order", f"{what or 'Place ' + replies.order_summary(order)}?\nOrders of more than "
                 f"{above} contracts (confirm_above) are placed only once confirmed.",
        confirmed, "send the order again")


def flatten_business(desk: Desk, security: Optional[Security]) -> Tuple[bool, List[str]]:
    """(whether a flatten of `security`, None: the account, has anything to do; the lines
    naming it). Positions that cannot be read count as something to do."""
    gateway = desk.gateway
    lines: List[str] = []
    try:
        positions = [p for p in gateway.query_positions()
                     if security is None or p.security == security]
        if positions:
            lines.append(f"Open positions: {len(positions)}")
        lines += [replies.position_line(gateway.gateway_name, p) for p in positions]
        anything = bool(positions)
    except Exception as exc:
        lines.append(f"Open positions: unknown ({type(exc).__name__}: {exc})")
        anything = True
    working = [o for o in gateway.trades.orders(active_only=True)
               if security is None or o.security == security]
    if working:
        lines.append(f"Working orders: {len(working)}")
    lines += [replies.order_line(o) for o in working]
    return anything or bool(working), lines


def ask_flatten(desk: Desk, security: Optional[Security], start: Callable[[], object],
                command: str) -> None:
    """Starts the flatten at once when it has nothing to do (its report says so), else asks
    first; `command` is what the operator sent, to send again once the question lapsed."""
    anything, lines = flatten_business(desk, security)
    if not anything:
        start()
        return
    where = security.code if security is not None else "the account"
    desk.questions.ask(
        "flatten", "\n".join(
            [f"Flatten {where}? Its working orders are cancelled first, then its positions "
             f"closed with market orders."] + lines),
        start, f"send {command} again")
