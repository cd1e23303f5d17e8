"""Text forms of balances, positions, orders and deals for the operator's chat."""
from decimal import Decimal
from typing import List

from zandor_trader.core.balance import AccountBalance
from zandor_trader.core.order import Deal, Order
from zandor_trader.core.position import PositionData

BALANCE_FIELDS = ("cash", "available_cash", "net_cash_power", "maintenance_margin",
                  "realized_pnl", "unrealized_pnl")


def number(value, grouped: bool = True) -> str:
    """Money and counts: grouped thousands, the decimals the value has (up to 6)."""
    if value is None:
        return "-"
    sep = "," if grouped else ""
    if isinstance(value, Decimal) and value.is_finite():  # as typed: exact, no float detour
        return f"{value.normalize():{sep}f}"
    try:
        value = float(value)
    except (TypeError, ValueError):
        return str(value)
    if value.is_integer():
        return f"{int(value):{sep}}"
    return f"{value:{sep}.6f}".rstrip("0")


def price(value) -> str:
    """Prices: as `number`, without grouping."""
    return number(value, grouped=False)


def name(member) -> str:
    """An enumeration value by its name; "-" for none."""
    return member.name if member is not None else "-"


def balance_text(gateway_name: str, account_id, balance: AccountBalance) -> str:
    lines = [f"Balance of {gateway_name} account {account_id}:"]
    lines += [f"{field}: {number(getattr(balance, field))}" for field in BALANCE_FIELDS]
    return "\n".join(lines)


def position_line(gateway_name: str, p: PositionData) -> str:
    return f"{gateway_name} {p.security} {name(p.direction)} {p.quantity} @ {price(p.holding_price)}"


def positions_text(gateway_name: str, positions: List[PositionData]) -> str:
    if not positions:
        return "No open positions."
    lines = [f"Open positions ({len(positions)}):"]
    lines += [position_line(gateway_name, p) for p in positions]
    return "\n".join(lines)


def order_summary(order: Order) -> str:
    """What was asked: security, side, quantity, type and its prices."""
    text = f"{order.security} {name(order.direction)} {order.quantity} {name(order.order_type)}"
    if order.price is not None:
        text += f" price={price(order.price)}"
    if order.stop_price is not None:
        text += f" stop={price(order.stop_price)}"
    return text


def order_line(order: Order) -> str:
    text = f"{order.order_id} {order_summary(order)} {name(order.offset)}: {name(order.status)}"
    if order.filled_quantity:
        text += f", filled {order.filled_quantity} @ {price(order.filled_avg_price)}"
    return text


def orders_text(orders: List[Order], total: int, active_only: bool) -> str:
    which = "active orders" if active_only else "orders"
    if not total:
        return f"No {which}."
    head = f"Last {len(orders)} of {total} {which}:" if orders else f"{total} {which}, none shown."
    return "\n".join([head] + [order_line(o) for o in orders])


def deal_line(deal: Deal) -> str:
    security = deal.security if deal.security is not None else "(order entered elsewhere)"
    return (f"{deal.deal_id} order {deal.order_id} {security} {name(deal.direction)} "
            f"{deal.filled_quantity} @ {price(deal.filled_avg_price)} at {deal.updated_time}")


def deals_text(deals: List[Deal], total: int) -> str:
    if not total:
        return "No deals."
    head = f"Last {len(deals)} of {total} deals:" if deals else f"{total} deals, none shown."
    return "\n".join([head] + [deal_line(d) for d in deals])

