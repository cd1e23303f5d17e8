"""Text forms of balances, positions, orders and deals for the operator's chat."""
from typing import Callable, List, Optional, Tuple

from zandor_trader.core.balance import AccountBalance
from zandor_trader.core.order import Deal, Order
from zandor_trader.core.position import PositionData
from zandor_trader.trading import prices

BALANCE_FIELDS = ("cash", "available_cash", "net_cash_power", "maintenance_margin",
                  "realized_pnl", "unrealized_pnl")
# The component reports bar, order and fill times in China time (UTC+8, no daylight saving
# time): the environment configures it so. Every market time shown carries this label.
MARKET_TIME_ZONE = "UTC+8"


def number(value, grouped: bool = True) -> str:
    """Money and counts: grouped thousands, the decimals the value has (up to 6)."""
    return prices.format_number(value, grouped=grouped)


def price(value, security=None) -> str:
    """A price: with the decimals of `security`'s contract when its tick size is known,
    else those the value has; never grouped."""
    return prices.format_price(value, security)


def market_time(stamp) -> str:
    """A time the component reported, with its zone."""
    return f"{stamp} {MARKET_TIME_ZONE}" if stamp is not None else "-"


def name(member) -> str:
    """An enumeration value by its name; "-" for none."""
    return member.name if member is not None else "-"


def balance_text(gateway_name: str, account_id, balance: AccountBalance) -> str:
    lines = [f"Balance of {gateway_name} account {account_id}:"]
    lines += [f"{field}: {number(getattr(balance, field))}" for field in BALANCE_FIELDS]
    return "\n".join(lines)


def position_line(gateway_name: str, p: PositionData) -> str:
    return (f"{gateway_name} {p.security} {name(p.direction)} {p.quantity} @ "
            f"{price(p.holding_price, p.security)}")


def signed_money(value) -> str:
    """Profit or loss: two decimals, grouped, with its sign ("+25.00", "-1,230.50")."""
    text = prices.format_number(value, 2, grouped=True)
    return text if text.startswith("-") or float(value) == 0 else "+" + text


Mark = Callable[[PositionData], Tuple[Optional[object], Optional[float]]]


def positions_text(gateway_name: str, positions: List[PositionData],
                   mark: Optional[Mark] = None) -> str:
    """The open positions; with `mark(position)` giving (last price, open P&L), each with its
    instrument's last price and its open P&L beside it."""
    if not positions:
        return "No open positions."
    lines = [f"Open positions ({len(positions)}):"]
    for p in positions:
        line = position_line(gateway_name, p)
        if mark is not None:
            last, pnl = mark(p)
            line += (f", last {price(last, p.security) if last is not None else '-'}, open P&L "
                     f"{signed_money(pnl) if pnl is not None else 'unknown'}")
        lines.append(line)
    return "\n".join(lines)


def order_summary(order: Order) -> str:
    """What was asked: security, side, quantity, type and its prices."""
    text = f"{order.security} {name(order.direction)} {order.quantity} {name(order.order_type)}"
    if order.price is not None:
        text += f" price={price(order.price, order.security)}"
    if order.stop_price is not None:
        text += f" stop={price(order.stop_price, order.security)}"
    return text


def order_line(order: Order) -> str:
    text = f"{order.order_id} {order_summary(order)} {name(order.offset)}: {name(order.status)}"
    if order.filled_quantity:
        average = price(order.filled_avg_price, order.security)
        text += f", filled {order.filled_quantity} @ {average}"
    return text


def orders_text(orders: List[Order], total: int, active_only: bool) -> str:
    which = "active orders" if active_only else "orders"
    if not total:
        return f"No {which}."
    more = f" ({'/orders -a N' if active_only else '/orders N'} lists the newest N)" \
        if len(orders) < total else ""
    head = f"Last {len(orders)} of {total} {which}{more}:" if orders else \
        f"{total} {which}, none shown{more}."
    return "\n".join([head] + [order_line(o) for o in orders])


def deal_line(deal: Deal) -> str:
    security = deal.security if deal.security is not None else "(order entered elsewhere)"
    return (f"{deal.deal_id} order {deal.order_id} {security} {name(deal.direction)} "
            f"{deal.filled_quantity} @ {price(deal.filled_avg_price, deal.security)} "
            f"at {market_time(deal.updated_time)}")


def deals_text(deals: List[Deal], total: int) -> str:
    if not total:
        return "No deals."
    more = " (/deals N lists the newest N)" if len(deals) < total else ""
    head = f"Last {len(deals)} of {total} deals{more}:" if deals else \
        f"{total} deals, none shown{more}."
    return "\n".join([head] + [deal_line(d) for d in deals])

