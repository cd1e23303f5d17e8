"""The live display: what one frame shows, and the drawing thread's start and end."""
import io
import threading
import time
import types

from rich.console import Console

from zandor_trader.chat import ChatLog
from zandor_trader.core.constants import Direction, OrderStatus, OrderType
from zandor_trader.core.data import Bar, OrderBook, Quote
from zandor_trader.core.order import Order
from zandor_trader.display import Display, SessionView, render
from zandor_trader.log_pane import LogPane

from . import fakes


def view_of(gateway, chat_lines=(), typing=""):
    sent = [types.SimpleNamespace(text=t) for t in chat_lines]
    chat = ChatLog(lambda seen: (sent[seen:], len(sent)))
    chat.sync()
    log = LogPane()
    for n in range(100):
        log.add(f"trace line {n}")
    return SessionView(gateway=gateway, chat=chat, log=log, typing=lambda: typing,
                       started=time.monotonic() - 61, deadline=time.monotonic() + 120)


def frame(view, width=150, height=50) -> str:
    console = Console(width=width, height=height, record=True, color_system=None,
                      file=io.StringIO())
    console.print(render(view, height), height=height)
    return console.export_text()


def test_a_frame_shows_market_account_trades_chat_and_the_newest_trace():
    gw = fakes.gateway_with_adapter()
    gw.cqg_quotes[fakes.ES] = Quote(security=fakes.ES, last_price=6854.25, open_price=6850.0,
                                    prev_close_price=6849.5)
    gw.cqg_orderbooks[fakes.ES] = OrderBook(security=fakes.ES, bid_price_1=6854.0,
                                            bid_volume_1=17, ask_price_1=6854.25, ask_volume_1=57)
    gw.bars = {fakes.ES: [Bar(datetime=fakes.T0.replace(minute=31), security=fakes.ES, open=1.5,
                              high=2.5, low=1.25, close=2.0, volume=744)]}
    gw.adapter.open_positions = [fakes.long_position(quantity=3, price=6851.5)]
    gw.query_account()
    gw.query_positions()
    order_id = gw.send_order(Order(security=fakes.ES, price=6800.0, quantity=2,
                                   direction=Direction.SHORT, order_type=OrderType.LIMIT))
    gw.adapter.report(order_id, OrderStatus.SUBMITTED)
    gw.adapter.fill(order_id, 2, 6800.0, deal_id="1000001")
    chat = [f"reply {n}" for n in range(60)] + ["Open positions (1):\nCQG EPZ5.CME LONG 3"]
    text = frame(view_of(gw, chat, typing="/bal"))

    for shown in ("6854.25", "6849.5", "17", "57",               # quote and book (CL has none)
                  "22:31", "744",                                # the latest bar
                  "1,000,000", "900,000.5",                      # balance
                  "LONG", "6851.5",                              # position
                  "ORDER-1", "SHORT 2 LIMIT", "FILLED", "2 @ 6800",  # order
                  "1000001",                                     # deal
                  "trace line 99", "CQG EPZ5.CME LONG 3", "operator> /bal",
                  "account 100101", "ends in 00:0"):
        assert shown in text, shown
    # Too many to show: the oldest go, the newest stay in view.
    assert "reply 0" not in text and "trace line 0\n" not in text


def test_on_a_short_terminal_sections_go_but_the_chat_and_its_input_line_stay():
    gw = fakes.gateway_with_adapter()
    gw.account_id = None
    text = frame(view_of(gw, typing="/stop"), width=80, height=24)
    assert "zandor-trader" in text and "operator> /stop" in text
    assert "Quotes" in text and "Recent orders" not in text
    assert "operator> /stop" in frame(view_of(gw, typing="/stop"), width=60, height=12)


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
