"""The live display: what frames show at 160x50, 120x40 and 80x24, and the drawing thread."""
import datetime
import io
import re
import threading
import time
import types

import pytest
from rich.console import Console

from zandor_trader.chat import ChatLog
from zandor_trader.console import (
    Display, LogPane, OrderFilter, Scroll, SessionView, plan, render)
from zandor_trader.core.constants import Direction, OrderStatus, OrderType
from zandor_trader.core.data import Bar, OrderBook, Quote
from zandor_trader.core.order import Order
from zandor_trader.trading import prices

from ..trading import fakes

SIZES = [(160, 50), (120, 40), (80, 24)]


@pytest.fixture(autouse=True)
def ticks():
    prices.register_ticks({"EPZ5": 0.25, "CLEF6": 0.01})
    yield
    prices.clear_ticks()


def view_of(gateway, chat_lines=(), typing="", scroll=None):
    sent = [types.SimpleNamespace(text=t) for t in chat_lines]
    chat = ChatLog(lambda seen: (sent[seen:], len(sent)))
    chat.sync()
    log = LogPane()
    for n in range(100):
        log.add(f"trace line {n}")
    return SessionView(gateway=gateway, chat=chat, log=log, typing=lambda: typing,
                       started=time.monotonic() - 61, deadline=time.monotonic() + 120,
                       scroll=scroll)


def frame(view, width=160, height=50) -> str:
    console = Console(width=width, height=height, record=True, color_system=None,
                      file=io.StringIO())
    console.print(render(view, height, width), height=height)
    return console.export_text()


def market(gw, last=6846.0, ask_size=57):
    now = datetime.datetime.now()
    gw.cqg_quotes[fakes.ES] = Quote(security=fakes.ES, last_price=last, open_price=6850.0,
                                    prev_close_price=6849.5, datetime=now)
    gw.cqg_orderbooks[fakes.ES] = OrderBook(security=fakes.ES, bid_price_1=6845.75,
                                            bid_volume_1=17, ask_price_1=6846.25,
                                            ask_volume_1=ask_size)
    gw.cqg_quotes[fakes.CL] = Quote(security=fakes.CL, last_price=58.9, prev_close_price=58.91,
                                    datetime=now)
    gw.cqg_orderbooks[fakes.CL] = OrderBook(security=fakes.CL, bid_price_1=58.9, bid_volume_1=3,
                                            ask_price_1=58.91, ask_volume_1=4)


def trade(gw, count):
    for n in range(1, count + 1):
        order_id = gw.send_order(Order(security=fakes.ES, price=6800.0 + n, quantity=n,
                                       direction=Direction.SHORT, order_type=OrderType.LIMIT))
        gw.adapter.report(order_id, OrderStatus.SUBMITTED)
        gw.adapter.fill(order_id, n, 6800.0 + n, deal_id=f"{1000000 + n}")


def panel_rows(text, title):
    """The lines of the panel whose title starts with `title`, or with one of the titles given
    (a title's shorter forms), one side of a row."""
    lines = text.splitlines()
    titles = (title,) if isinstance(title, str) else tuple(title)
    top, title = next((i, t) for i, line in enumerate(lines) for t in titles if "─ " + t in line)
    left = lines[top].rindex("╭", 0, lines[top].index("─ " + title))
    right = lines[top].index("╮", left)
    rows = []
    for line in lines[top + 1:]:
        part = line[left:right + 1]
        if part.startswith("╰"):
            return rows
        rows.append(part[1:-1])
    return rows


@pytest.mark.parametrize("width, height", SIZES)
def test_lists_show_the_newest_rows_and_how_many_are_not_shown(width, height):
    gw = fakes.gateway_with_adapter()
    market(gw)
    trade(gw, 12)
    text = frame(view_of(gw, [f"reply {n}" for n in range(60)], typing="/bal"), width, height)
    assert "operator> /bal" in text and "reply 59" in text and "reply 0\n" not in text
    if width < 100:  # the one-line summary stands for the account row and the lists
        assert "Last deal: EPZ5 SHORT 12 @ 6812.00 at 22:30:05 UTC+8 (deal 1000012)" in text
        assert "Recent orders" not in text and "Trace" not in text
        return
    for title, what in ((("Recent orders", "Orders"), "orders"), (("Recent deals", "Deals"), "deals")):
        rows = panel_rows(text, title)
        listed = [r for r in rows[1:] if "EPZ5" in r]
        assert "6812.00" in listed[0], (title, rows)  # newest first, never the one cut
        not_shown = re.search(rf"(\d+) older {what} not shown", rows[-1])
        assert not_shown and int(not_shown[1]) + len(listed) == 12, rows
    assert "trace line 99" in text


@pytest.mark.parametrize("width, height", SIZES)
def test_prices_have_their_contract_decimals_right_aligned_in_fixed_columns(width, height):
    gw = fakes.gateway_with_adapter()
    market(gw, ask_size=12_345_678_901)
    text = frame(view_of(gw), width, height)
    quotes = panel_rows(text, "Quotes")
    head = quotes[0]
    es, cl = (next(r for r in quotes if code in r) for code in ("EPZ5", "CLEF6"))
    for column, es_price, cl_price in (("Bid", "6845.75", "58.90"), ("Ask", "6846.25", "58.91"),
                                       ("Last", "6846.00", "58.90")):
        end = re.search(rf" {column}(?= [^a-z]|$)", head).end()  # where the numbers end
        assert es[end - len(es_price):end] == es_price, (column, es)
        assert cl[end - len(cl_price):end] == cl_price, (column, cl)
    # Too large for its column: shortened and marked, the column and its neighbours stay.
    assert "~12.35B" in es and "Ask size" in head
    # Other values do not move the columns.
    market(gw, last=7.5, ask_size=1)
    assert panel_rows(frame(view_of(gw), width, height), "Quotes")[0] == head


def test_times_are_the_markets_labelled_and_the_local_clock_only_in_the_header():
    gw = fakes.gateway_with_adapter()
    market(gw)
    trade(gw, 1)
    gw.bars = {fakes.ES: [Bar(datetime=fakes.T0.replace(minute=31), security=fakes.ES,
                              open=6846, high=6846.25, low=6845, close=6845.5, volume=744)]}
    stamped = "[2026-12-08 02:26:42.348739] Fetching balance..."
    text = frame(view_of(gw, [stamped]))
    assert re.search(r"local \d\d:\d\d:\d\d", text.splitlines()[1])
    assert text.count("local ") == 1
    for title in ("Latest one-minute bars", "Recent orders", "Recent deals"):
        assert re.search(title + r"[^│]*market time UTC\+8", text), title
    assert "22:31 " in "".join(panel_rows(text, "Latest one-minute bars"))
    assert "22:30:05" in "".join(panel_rows(text, "Recent deals"))
    # The bot's own time stamp is the local clock: the chat pane leaves it out.
    assert "bot> Fetching balance..." in text and "2026-12-08" not in text


def test_sections_give_way_in_the_documented_order():
    names = lambda h, w: [name for name, _ in plan(h, w, 3)]
    assert names(50, 160) == ["header", "quotes", "account", "trades", "talk"]
    assert names(40, 120) == ["header", "quotes", "account", "trades", "talk"]
    assert names(24, 80) == ["header", "quotes", "summary", "talk"]
    assert names(10, 60) == ["header", "talk"]
    for height, width in ((50, 160), (40, 120), (24, 80), (10, 60)):
        sizes = plan(height, width, 3)
        assert sum(size for _, size in sizes) == height
        assert sizes[-1][1] >= min(12, height - 1)  # the chat keeps its room
    # The trace pane and then the bars go with the width.
    gw = fakes.gateway_with_adapter()
    assert "Latest one-minute bars" in frame(view_of(gw), 160, 50)
    narrow = frame(view_of(gw, typing="/stop"), 99, 50)
    assert "Trace" not in narrow and "Latest one-minute bars" not in narrow
    assert "Trace" in frame(view_of(gw), 100, 50)
    assert "operator> /stop" in frame(view_of(gw, typing="/stop"), 60, 12)


def test_the_trace_pane_ends_with_the_newest_lines_and_counts_the_others():
    text = frame(view_of(fakes.gateway_with_adapter()), 160, 50)
    shown = re.findall(r"trace line (\d+)", text)
    hidden = int(re.search(r"\^ (\d+) earlier lines not shown", text).group(1))
    assert shown[-1] == "99" and len(shown) + hidden == 100


def test_the_chat_scrolls_back_by_pages_and_forward_to_the_newest():
    gw = fakes.gateway_with_adapter()
    scroll = Scroll()
    view = view_of(gw, [f"reply {n}" for n in range(60)], scroll=scroll)
    newest = frame(view, 80, 24)
    assert "reply 59" in newest and "above (PgUp)" in newest
    scroll.up()
    back = frame(view, 80, 24)
    assert "reply 59" not in back and "reply 45" in back and "below (PgDn)" in back
    for _ in range(100):  # no further than the first message
        scroll.up()
    first = frame(view, 80, 24)
    assert "bot> reply 0" in first and scroll.pages == scroll.limit < 100
    scroll.down()
    assert scroll.pages == scroll.limit - 1
    scroll.end()
    assert frame(view, 80, 24) == newest


def test_the_drawing_thread_redraws_on_change_and_ends_at_stop():
    gw = fakes.gateway_with_adapter()
    view = view_of(gw)
    drawn = threading.Event()
    out = io.StringIO()
    display = Display(view, Console(file=out, width=100, height=40, force_terminal=True), fps=1000)
    display.start()
    gw.cqg_quotes[fakes.ES] = Quote(security=fakes.ES, last_price=4321.75)
    view.typing = lambda: (drawn.set(), "")[1]  # called while a frame is drawn
    display.changed()
    assert drawn.wait(10)
    display.stop()
    assert not display._thread.is_alive()
    assert "4321.75" in out.getvalue()


def test_prices_and_amounts_as_text():
    assert [prices.format_number(v, 2) for v in (6846, 6846.125, -1e-9, 58.9)] == [
        "6846.00", "6846.125", "0.00", "58.90"]  # an average between ticks is not rounded
    assert prices.format_number(-1234567.5, 2, grouped=True) == "-1,234,567.50"
    assert [prices.decimals_of(t) for t in (0.25, 0.01, 1.0, 1 / 64)] == [2, 2, 0, 6]
    bond = fakes.Security("TYAH6", fakes.ES.exchange)
    assert prices.format_price(112.890625, bond) == "112.890625"
    prices.register_ticks({"TYAH6": 1 / 64})
    assert prices.format_price(113, "TYAH6") == "113.000000"
    assert [prices.shorten("123456789.25", w) for w in (12, 9, 6, 3)] == [
        "123456789.25", "~123.46M", "~123M", "###"]
    assert prices.shorten("-1,234,567.00", 8) == "~-1.23M"
    assert prices.format_number(None) == "-" and prices.format_number("n/a") == "n/a"


def test_with_telegram_no_input_line_and_an_outage_in_the_header():
    gw = fakes.gateway_with_adapter()
    view = view_of(gw, ["Deal: D1"])
    view.typing = None  # commands come from the Telegram chat
    for width, height in SIZES + [(60, 12)]:
        text = frame(view, width, height)
        assert "operator> _" not in text and "operator>" not in text, (width, height)
        assert "bot> Deal: D1" in text
    assert "commands come from the Telegram chat" in frame(view, 160, 50)
    assert "chat offline" not in frame(view, 160, 50)
    down = time.mktime((2026, 12, 8, 14, 3, 59, 0, 0, -1))
    view.chat_offline = lambda: down
    for width, height in SIZES:
        assert "chat offline since 14:03" in frame(view, width, height), (width, height)
    view.typing = lambda: "/bal"
    assert "operator> /bal_" in frame(view, 80, 24)


@pytest.mark.parametrize("width, height", [(160, 50), (120, 40)])
def test_positions_show_the_last_price_and_open_pnl_beside_the_bars(width, height):
    gw = fakes.gateway_with_adapter()
    market(gw)  # EPZ5 last 6846.00, CLEF6 last 58.90
    short = fakes.long_position(fakes.CL, 3, 59.0)
    short.direction = Direction.SHORT
    gw.positions = [fakes.long_position(quantity=2, price=6848.5), short]
    text = frame(view_of(gw), width, height)
    rows = panel_rows(text, "Positions")
    assert re.search(r"Last +Open P&L$", rows[0].rstrip()), rows
    es = next(r for r in rows if "EPZ5" in r)
    cl = next(r for r in rows if "CLEF6" in r)
    assert re.search(r"6846\.00 +-250\.00 *$", es), es   # 2.5 points of 50 on 2 contracts
    assert re.search(r"58\.90 +\+300\.00 *$", cl), cl    # 0.10 of 1,000 on 3, short
    assert re.search(r"─ (Latest one-minute bars|Latest bars|Bars)", text)
    # Without a price, or a value per point, the open P&L is not made up.
    gw.cqg_quotes[fakes.ES] = None
    gw._tick_values.pop("CLEF6")
    rows = panel_rows(frame(view_of(gw), width, height), "Positions")
    assert all(re.search(r" - *$", r) for r in rows if "EPZ5" in r or "CLEF6" in r), rows


def test_the_orders_panel_shows_the_working_orders_only_when_toggled():
    gw = fakes.gateway_with_adapter()
    market(gw)
    trade(gw, 3)  # three filled orders
    working = gw.send_order(Order(security=fakes.CL, price=59.5, quantity=2,
                                  direction=Direction.SHORT, order_type=OrderType.LIMIT))
    gw.adapter.report(working, OrderStatus.SUBMITTED)
    view = view_of(gw)
    view.orders = OrderFilter()
    every = panel_rows(frame(view), "Recent orders")
    assert len([r for r in every if "EPZ5" in r or "CLEF6" in r]) == 4
    assert "Tab: working only" in frame(view)
    view.orders.toggle()
    text = frame(view)
    rows = panel_rows(text, "Working orders")
    assert [r for r in rows if "EPZ5" in r or "CLEF6" in r] == [
        next(r for r in every if "CLEF6" in r)]
    assert "Tab: all orders" in text and "Recent orders" not in text


def test_the_summary_at_80x24_names_the_working_orders_and_the_positions_pnl():
    gw = fakes.gateway_with_adapter()
    market(gw)
    gw.positions = [fakes.long_position(quantity=2, price=6848.5)]
    for n, (price, kind) in enumerate(((59.5, OrderType.LIMIT), (58.0, OrderType.STOP))):
        order_id = gw.send_order(Order(security=fakes.CL, price=price if n == 0 else None,
                                       stop_price=price if n else None, quantity=1 + n,
                                       direction=Direction.SHORT, order_type=kind))
        gw.adapter.report(order_id, OrderStatus.SUBMITTED, filled=n and 1)
    text = frame(view_of(gw), 80, 24)
    assert "Positions: EPZ5 LONG 2 @ 6848.50 last 6846.00 -250.00" in text
    assert "Working: CLEF6 SHORT 1 STOP 58.00, CLEF6 SHORT 1 LIMIT 59.50 | Last deal" in text
