"""The broker's buying-power check of a new order.

The margin an account could need is taken at its worst: in each instrument, the larger of
the position with every working buy filled and the position with every working sell filled,
at the contract's initial margin. An order passes when, counted with the working orders, that
margin stays within the account's equity (balance and open profit), or when it does not
raise that margin at all: an order that only reduces the risk always passes.
"""
from cqgsim import constants as C


def _worst_margin(account, markets, extra=None):
    """Initial margin of the account's worst case, with ``extra`` as one more working order."""
    held = {p.market_state: [p.Quantity, 0, 0] for p in account.positions_by_name.values()}
    orders = [o for m in markets for o in m.working.values() if o.Account is account]
    if extra is not None:
        orders.append(extra)
    for order in orders:
        entry = held.setdefault(order.market_state, [0, 0, 0])
        left = int(order.Quantity) - order.FilledQuantity
        entry[1 if order.Side == C.osdBuy else 2] += left
    return sum(max(abs(q + buys), abs(q - sells)) * market.spec.initial_margin
               for market, (q, buys, sells) in held.items())


def problem(order, markets):
    """Why ``order`` exceeds its account's buying power, or None when it passes; ``markets``
    are the markets whose working orders count."""
    account = order.Account
    before = _worst_margin(account, markets)
    after = _worst_margin(account, markets, order)
    equity = account.cash_balance() + account.open_profit()
    if after <= before or after <= equity:
        return None
    return (f"Insufficient buying power: {int(order.Quantity)} {order.InstrumentName} "
            f"need {after - before:,.2f} more initial margin ({after:,.2f} in all with the "
            f"working orders), equity {equity:,.2f}")
