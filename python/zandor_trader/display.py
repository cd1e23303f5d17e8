"""The live terminal display: market, bars, account, orders, deals, the chat and the trace log.

A thread of its own redraws the screen when something changed, at most `fps` times a
second; it sleeps while nothing changes and stop() ends it.
"""
import threading
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Callable, List, Optional, Tuple

from rich import box
from rich.console import Console, Group, JustifyMethod, RenderableType
from rich.layout import Layout
from rich.live import Live
from rich.panel import Panel
from rich.segment import Segment
from rich.table import Table
from rich.text import Text

from zandor_trader.chat import OPERATOR
from zandor_trader.replies import BALANCE_FIELDS, name, number, price

if TYPE_CHECKING:
    from zandor_trader.chat import ChatLog
    from zandor_trader.gateways.cqg.gateway import CqgGateway
    from zandor_trader.log_pane import LogPane


@dataclass
class SessionView:
    """What the display reads; every part is safe to read from the display's thread."""
    gateway: "CqgGateway"      # quotes, books, snapshots, trades
    chat: "ChatLog"
    log: "LogPane"
    typing: Callable[[], str]  # the line the operator is typing
    started: float             # time.monotonic() at the start
    deadline: Optional[float] = None
    status: Callable[[], str] = lambda: "Running"


class Tail:
    """Shows the end of its content when the space is too short for all of it."""

    def __init__(self, renderable):
        self.renderable = renderable

    def __rich_console__(self, console, options):
        lines = console.render_lines(self.renderable, options.update(height=None), pad=False)
        for line in lines[-options.height:] if options.height else lines:
            yield from line
            yield Segment.line()


HEADER_LINES = 4
TALK_LINES = 8


def _table(*columns, **kwargs) -> Table:
    """Columns named "<..." are left-aligned, the others (numbers) right-aligned."""
    table = Table(box=box.SIMPLE_HEAD, pad_edge=False, **kwargs)
    for column in columns:
        justify: JustifyMethod = "left" if column.startswith("<") else "right"
        table.add_column(column.lstrip("<"), justify=justify, no_wrap=True)
    return table


def _clock(seconds: float) -> str:
    seconds = max(int(seconds), 0)
    return f"{seconds // 3600:02d}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"


def _time(value) -> str:
    return value.strftime("%H:%M:%S") if value is not None else "-"


def _short_id(order_id) -> str:
    """Enough of an order id to tell orders apart on screen; /orders gives it whole."""
    return str(order_id).strip("{}")[:8]


def _code(security) -> str:
    return security.code if security is not None else "-"


def header(view: SessionView) -> Panel:
    gw = view.gateway
    now = time.monotonic()
    text = Text.assemble(
        ("zandor-trader", "bold"), f"  simulated CQG  gateway {gw.gateway_name}",
        f"  account {gw.account_id if gw.account_id is not None else '-'}",
        f"  status {view.status()}  up {_clock(now - view.started)}")
    if view.deadline is not None:
        text.append(f"  ends in {_clock(view.deadline - now)}")
    text.append("\nType operator commands (/help lists them) and Enter; Ctrl-C ends the session.",
                style="dim")
    return Panel(text, box=box.ROUNDED)


def market(view: SessionView) -> Panel:
    gw = view.gateway
    table = _table("<Symbol", "Last", "Bid size", "Bid", "Ask", "Ask size", "Open", "High", "Low",
                   "Prev close", "Time")
    for security, q in list(gw.cqg_quotes.items()):
        book = gw.cqg_orderbooks.get(security)
        quote = [price(getattr(q, f)) if q else "-"
                 for f in ("open_price", "high_price", "low_price", "prev_close_price")]
        table.add_row(
            security.code, price(q.last_price) if q else "-",
            *([number(book.bid_volume_1), price(book.bid_price_1), price(book.ask_price_1),
               number(book.ask_volume_1)] if book else ["-"] * 4),
            *quote, _time(q.datetime) if q else "-")
    return Panel(table, title="Quotes and level-1 books", box=box.ROUNDED)


def bars(view: SessionView) -> Panel:
    table = _table("<Symbol", "<Bar", "Open", "High", "Low", "Close", "Volume")
    for security, window in list(view.gateway.bars.items()):
        bar = window[-1]
        table.add_row(security.code, bar.datetime.strftime("%H:%M") if bar.datetime else "-",
                      price(bar.open), price(bar.high), price(bar.low), price(bar.close),
                      number(bar.volume))
    return Panel(table, title="Latest one-minute bars", box=box.ROUNDED)


def account(view: SessionView) -> Panel:
    balance = view.gateway.account_balance
    table = _table("<Field", "Value", show_header=False)
    for field in BALANCE_FIELDS:
        table.add_row(field, number(getattr(balance, field)) if balance else "-")
    return Panel(table, title="Balance", box=box.ROUNDED)


def positions(view: SessionView) -> Panel:
    table = _table("<Symbol", "<Side", "Qty", "Average")
    for p in view.gateway.positions:
        table.add_row(_code(p.security), name(p.direction), str(p.quantity), price(p.holding_price))
    return Panel(table, title="Positions", box=box.ROUNDED)


def orders(view: SessionView, rows: int = 8) -> Panel:
    table = _table("<Id", "<Symbol", "<Order", "Price", "<Status", "<Filled")
    for o in view.gateway.trades.newest_orders(rows)[0]:
        prices = " ".join(p for p in (o.price is not None and price(o.price),
                                      o.stop_price is not None and "stop " + price(o.stop_price)) if p)
        filled = f"{o.filled_quantity} @ {price(o.filled_avg_price)}" if o.filled_quantity else "-"
        table.add_row(_short_id(o.order_id), _code(o.security),
                      f"{name(o.direction)} {o.quantity} {name(o.order_type)}", prices or "-",
                      name(o.status), filled)
    return Panel(table, title="Recent orders", box=box.ROUNDED)


def deals(view: SessionView, rows: int = 8) -> Panel:
    table = _table("<Deal", "<Order", "<Symbol", "<Side", "Qty", "Price", "<Time")
    for d in view.gateway.trades.newest_deals(rows)[0]:
        table.add_row(str(d.deal_id), _short_id(d.order_id), _code(d.security), name(d.direction),
                      str(d.filled_quantity), price(d.filled_avg_price), _time(d.updated_time))
    return Panel(table, title="Recent deals", box=box.ROUNDED)


def chat(view: SessionView, rows: int = 40) -> Panel:
    lines = []
    for who, text in view.chat.entries(rows):
        style = "bold cyan" if who == OPERATOR else "green"
        indent = "\n" + " " * (len(who) + 2)
        lines.append(Text.assemble((f"{who}> ", style), text.replace("\n", indent)))
    lines.append(Text.assemble(("operator> ", "bold cyan"), view.typing(), ("_", "blink")))
    return Panel(Tail(Group(*lines)), title="Chat with the bot", box=box.ROUNDED)


def log(view: SessionView, rows: int = 40) -> Panel:
    text = Text("\n".join(view.log.lines(rows)), no_wrap=True, overflow="ellipsis", style="dim")
    return Panel(Tail(text), title="Trace", box=box.ROUNDED)


def render(view: SessionView, height: Optional[int] = None) -> Layout:
    """One frame. On a terminal of `height` lines too short for every section the lower
    market and trade sections go first: the chat with its input line always stays."""
    instruments = len(view.gateway.cqg_quotes)
    # (name, height, renderable), in the order they are given up last to first
    sections: List[Tuple[str, int, Callable[[], RenderableType]]] = [
        ("market", instruments + 5, lambda: market(view)),
        ("account", max(instruments, len(BALANCE_FIELDS)) + 5, lambda: Layout()),
        ("trades", 12, lambda: Layout()),
    ]
    room = (height if height is not None else 10_000) - HEADER_LINES - TALK_LINES
    rows = [Layout(header(view), name="header", size=HEADER_LINES)]
    for section, size, make in sections:
        if size > room:
            break
        room -= size
        rows.append(Layout(make(), name=section, size=size))
    rows.append(Layout(name="talk", minimum_size=TALK_LINES))
    root = Layout()
    root.split_column(*rows)
    names = {row.name for row in rows}
    if "account" in names:
        root["account"].split_row(Layout(bars(view), ratio=2), Layout(account(view), ratio=1),
                                  Layout(positions(view), ratio=1))
    if "trades" in names:
        root["trades"].split_row(Layout(orders(view)), Layout(deals(view)))
    root["talk"].split_row(Layout(chat(view)), Layout(log(view)))
    return root


class Display:
    """Owns the terminal (alternate screen) from start() to stop()."""

    def __init__(self, view: SessionView, console: Console, fps: float = 4.0):
        self.view = view
        self.console = console
        self.fps = fps
        self._changed = threading.Event()  # something to show; also set by stop()
        self._stopping = threading.Event()
        self._live = Live(console=console, screen=True, auto_refresh=False,
                          redirect_stdout=False, redirect_stderr=False)
        self._thread = threading.Thread(target=self._run, name="display", daemon=True)
        self._last_fault = ""  # written by the display's thread only

    def changed(self) -> None:
        """Any thread: there is something new to show."""
        self._changed.set()

    def start(self) -> "Display":
        self._live.start()
        self._draw()
        self._thread.start()
        return self

    def stop(self) -> None:
        self._stopping.set()
        self._changed.set()
        if self._thread.ident is not None:
            self._thread.join()
        self._live.stop()

    def _draw(self) -> None:
        self._live.update(render(self.view, self.console.size.height), refresh=True)

    def _run(self) -> None:
        while True:
            self._changed.wait()
            if self._stopping.is_set():
                return
            self._changed.clear()
            try:
                self._draw()
            except Exception as exc:  # a drawing fault must not take the session down
                fault = f"display: {type(exc).__name__}: {exc}"
                if fault != self._last_fault:  # once, not at every frame
                    self._last_fault = fault
                    self.view.log.add(fault)
            # Frame pacing: changes arriving meanwhile are drawn together, next frame.
            if self._stopping.wait(1.0 / self.fps):
                return
