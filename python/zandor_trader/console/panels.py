"""The display's panels: quotes and books, bars, balance, positions, orders and deals, the
header, and the two-line summary that stands in for the account row on a small terminal."""
import time
from typing import Callable, List, Tuple

from rich import box
from rich.panel import Panel

from zandor_trader.console.cells import (
    ID, PRICE, SIZE, SYMBOL, age, code, count, duration, money, price, short_id, time_of_day)
from zandor_trader.console.tables import BOLD, Column, Grid, Lines, cut, panel
from zandor_trader.console.view import SessionView
from zandor_trader.trading.marks import mark
from zandor_trader.trading.replies import MARKET_TIME_ZONE, name, signed_money


QUOTE_COLUMNS = (
    Column("Symbol", SYMBOL, False, 0), Column("Bid size", SIZE, keep=4),
    Column("Bid", PRICE, keep=1), Column("Ask", PRICE, keep=1), Column("Ask size", SIZE, keep=4),
    Column("Last", PRICE, keep=2), Column("Open", PRICE, keep=7), Column("High", PRICE, keep=6),
    Column("Low", PRICE, keep=6), Column("Prev close", PRICE, keep=5), Column("Age", 5, keep=3))


def quote_rows(view: SessionView) -> Callable[[int], Tuple[list, int]]:
    gw = view.gateway

    def rows(n):
        items = []
        for security, q in list(gw.cqg_quotes.items()):
            book = gw.cqg_orderbooks.get(security)
            values = {"Symbol": code(security), "Age": age(q.datetime) if q else "-"}
            for title, field in (("Last", "last_price"), ("Open", "open_price"),
                                 ("High", "high_price"), ("Low", "low_price"),
                                 ("Prev close", "prev_close_price")):
                values[title] = price(getattr(q, field), security, True) if q else "-"
            if book is not None:
                values.update({"Bid": price(book.bid_price_1, security, True),
                               "Ask": price(book.ask_price_1, security, True),
                               "Bid size": count(book.bid_volume_1),
                               "Ask size": count(book.ask_volume_1)})
            items.append(values)
        return items[:max(n, 0)], len(items)
    return rows


BAR_COLUMNS = (Column("Symbol", SYMBOL, False, 0), Column("Time", 5, False, 1),
               Column("Open", PRICE, keep=5), Column("High", PRICE, keep=4),
               Column("Low", PRICE, keep=4), Column("Close", PRICE, keep=2),
               Column("Volume", 8, keep=3))


def bar_rows(view: SessionView):
    def rows(n):
        items = []
        for security, window in list(view.gateway.bars.items()):
            bar = window[-1]
            items.append({"Symbol": code(security), "Time": time_of_day(bar.datetime, False),
                          "Open": price(bar.open, security), "High": price(bar.high, security),
                          "Low": price(bar.low, security), "Close": price(bar.close, security),
                          "Volume": count(bar.volume)})
        return items[:max(n, 0)], len(items)
    return rows


BALANCE_LABELS = (("cash", "cash"), ("available_cash", "available"),
                  ("net_cash_power", "net power"), ("maintenance_margin", "margin"),
                  ("realized_pnl", "realized P&L"), ("unrealized_pnl", "unrealized P&L"))
BALANCE_COLUMNS = (Column("Account", 14, False, 0), Column("Value", 15, keep=0))


def balance_rows(view: SessionView):
    def rows(n):
        balance = view.gateway.account_balance
        items = [{"Account": label, "Value": money(getattr(balance, field)) if balance else "-"}
                 for field, label in BALANCE_LABELS]
        return items[:max(n, 0)], len(items)
    return rows


POSITION_COLUMNS = (Column("Symbol", SYMBOL, False, 0), Column("Side", 5, False, 1),
                    Column("Qty", 5, keep=1), Column("Average", 12, keep=4),
                    Column("Last", PRICE, keep=3), Column("Open P&L", 12, keep=2))


def pnl(value) -> str:
    return signed_money(value) if value is not None else "-"


def position_line(view: SessionView, p) -> str:
    """A position in a few words, with the last price and its open P&L (for the summary)."""
    last, open_pnl = mark(view.gateway, p)
    return (f"{code(p.security)} {name(p.direction)} {count(p.quantity)} @ "
            f"{price(p.holding_price, p.security)} last "
            f"{price(last, p.security) if last is not None else '-'} {pnl(open_pnl)}")


def position_rows(view: SessionView):
    def rows(n):
        held = list(view.gateway.positions)
        items = []
        for p in held[-n:] if n > 0 else []:
            last, open_pnl = mark(view.gateway, p)
            items.append({"Symbol": code(p.security), "Side": name(p.direction),
                          "Qty": count(p.quantity), "Average": price(p.holding_price, p.security),
                          "Last": price(last, p.security) if last is not None else "-",
                          "Open P&L": pnl(open_pnl)})
        return items, len(held)
    return rows


# Price: the limit price of a limit order, the stop price of a stop order (Type tells which).
ORDER_COLUMNS = (
    Column("Id", ID, False, 0), Column("Symbol", SYMBOL, False, 4), Column("Side", 5, False, 1),
    Column("Qty", 5, keep=2), Column("Type", 6, False, 5), Column("Price", PRICE, keep=6),
    Column("Status", 9, False, 3), Column("Filled", 6, keep=7),
    Column("Average", PRICE, keep=8), Column("Time", 8, False, 9))


def working_only(view: SessionView) -> bool:
    return view.orders is not None and view.orders.working_only


def order_rows(view: SessionView):
    def rows(n):
        shown, total = view.gateway.trades.newest_orders(n, active_only=working_only(view))
        return [{"Id": short_id(o.order_id), "Symbol": code(o.security),
                 "Side": name(o.direction), "Qty": count(o.quantity), "Type": name(o.order_type),
                 "Price": price(o.price if o.price is not None else o.stop_price, o.security),
                 "Status": name(o.status), "Filled": count(o.filled_quantity),
                 "Average": price(o.filled_avg_price, o.security) if o.filled_quantity else "-",
                 "Time": time_of_day(o.updated_time)} for o in shown], total
    return rows


DEAL_COLUMNS = (Column("Deal", ID, False, 5), Column("Order", ID, False, 6),
                Column("Symbol", SYMBOL, False, 0), Column("Side", 5, False, 1),
                Column("Qty", 5, keep=2), Column("Price", PRICE, keep=3),
                Column("Time", 8, False, 4))


def deal_rows(view: SessionView):
    def rows(n):
        shown, total = view.gateway.trades.newest_deals(n)
        return [{"Deal": str(d.deal_id), "Order": short_id(d.order_id), "Symbol": code(d.security),
                 "Side": name(d.direction), "Qty": count(d.filled_quantity),
                 "Price": price(d.filled_avg_price, d.security),
                 "Time": time_of_day(d.updated_time)}
                for d in shown], total
    return rows


def timed(*words: str) -> List[str]:
    """The forms of a title over market times, longest first: its words shortened, the
    clock's zone always named."""
    return ([f"{w}, market time {MARKET_TIME_ZONE}" for w in words]
            + [f"{w}, {MARKET_TIME_ZONE}" for w in words[1:]] + [f"{words[-1]} {MARKET_TIME_ZONE}"])


def market(view: SessionView):
    return panel(Grid(QUOTE_COLUMNS, quote_rows(view), "instrument", newest_first=False),
                 ("Quotes and level-1 books (Age: since the quote changed)",
                  "Quotes and books (Age: since it changed)", "Quotes and books", "Quotes"))


def bars(view: SessionView):
    return panel(Grid(BAR_COLUMNS, bar_rows(view), "instrument", newest_first=False),
                 timed("Latest one-minute bars", "Latest bars", "Bars"))


def account(view: SessionView):
    return panel(Grid(BALANCE_COLUMNS, balance_rows(view), "field", header=False,
                      newest_first=False), "Balance")


def positions(view: SessionView):
    return panel(Grid(POSITION_COLUMNS, position_rows(view), "position"), "Positions")


def orders(view: SessionView):
    if working_only(view):
        return panel(Grid(ORDER_COLUMNS, order_rows(view), "working order"),
                     timed("Working orders, newest first, Tab: all orders",
                           "Working orders, Tab: all orders", "Working orders", "Working"))
    return panel(Grid(ORDER_COLUMNS, order_rows(view), "order"),
                 timed("Recent orders, newest first, Tab: working only",
                       "Orders, newest first, Tab: working only", "Orders, Tab: working only",
                       "Orders"))


def deals(view: SessionView):
    return panel(Grid(DEAL_COLUMNS, deal_rows(view), "deal"),
                 timed("Recent deals, newest first", "Deals, newest first", "Deals"))


# -- header and the one-line summary ---------------------------------------------------------

def header_text(view: SessionView, width: int) -> str:
    """The parts that fit `width`, the most important kept first."""
    gw = view.gateway
    now = time.monotonic()
    account_id = gw.account_id if gw.account_id is not None else "-"
    parts = [("zandor-trader", 0), (view.broker, 8),
             (f"{gw.gateway_name} account {account_id}", 5), (view.status(), 1),
             (f"up {duration(now - view.started)}", 4)]
    offline = view.chat_offline()
    if offline is not None:  # as important as the status: replies wait meanwhile
        parts.append((f"chat offline since {time.strftime('%H:%M', time.localtime(offline))}", 1))
    if view.deadline is not None:
        parts.append((f"ends in {duration(view.deadline - now)}", 3))
    parts += [(f"local {time.strftime('%H:%M:%S %Z')}", 2),
              (f"market time {MARKET_TIME_ZONE}", 6)]
    chosen, used = set(), -2
    for index, (text, _) in sorted(enumerate(parts), key=lambda p: p[1][1]):
        if used + 2 + len(text) <= width:
            chosen.add(index)
            used += 2 + len(text)
    return "  ".join(text for index, (text, _) in enumerate(parts) if index in chosen)


def header(view: SessionView, framed: bool = True):
    content = Lines(lambda width, height: [(header_text(view, width), BOLD)])
    return Panel(content, box=box.ROUNDED, padding=(0, 1)) if framed else content


def order_words(order) -> str:
    limit = order.price if order.price is not None else order.stop_price
    return (f"{code(order.security)} {name(order.direction)} "
            f"{count(order.quantity - (order.filled_quantity or 0))} {name(order.order_type)}"
            + (f" {price(limit, order.security)}" if limit is not None else ""))


def summary_lines(view: SessionView) -> List[str]:
    """P&L and positions (with their last prices and open P&L) on one line; the working
    orders, if any, and the last deal on the next."""
    gw = view.gateway
    balance = gw.account_balance
    pnl = (f"P&L realized {money(balance.realized_pnl)}, unrealized "
           f"{money(balance.unrealized_pnl)}" if balance is not None else "P&L -")
    held = ", ".join(position_line(view, p) for p in list(gw.positions))
    working, total = gw.trades.newest_orders(5, active_only=True)
    named = ", ".join(order_words(o) for o in reversed(working))
    if total > len(working):
        named += f" and {total - len(working)} more"
    newest, _ = gw.trades.newest_deals(1)
    last = newest[-1] if newest else None
    deal = (f"Last deal: {code(last.security)} {name(last.direction)} "
            f"{count(last.filled_quantity)} @ {price(last.filled_avg_price, last.security)} at "
            f"{time_of_day(last.updated_time)} {MARKET_TIME_ZONE} (deal {last.deal_id})"
            if last is not None else "Last deal: none")
    # The working orders come first: the last deal is already done.
    return [f"{pnl} | Positions: {held or 'none'}",
            f"Working: {named} | {deal}" if named else deal]


def summary(view: SessionView) -> Lines:
    def make(width, height):
        return [(cut(text, width), None) for text in summary_lines(view)[:height]]
    return Lines(make)

