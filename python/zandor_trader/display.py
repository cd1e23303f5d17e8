"""The live terminal display: market, bars, account, orders, deals, the chat and the trace log.

A thread of its own redraws the screen when something changed, at most `fps` times a second
(a key the operator types is drawn at once); it sleeps while nothing changes and stop() ends it.

What a frame shows, and what gives way on a small terminal (see `plan`):
- Every table has fixed column widths. Prices carry their contract's decimals, right-aligned;
  a number too large for its column is shown shortened and marked (see prices.shorten).
  Where a panel is too narrow for every column, its least important columns go first.
- Lists (positions, orders, deals) show the newest rows that fit, newest first, and say how
  many are not shown; the chat and the trace show their newest lines at the bottom.
- One clock: times of market events (bars, orders, deals) are the market's, labelled with its
  zone; quotes show their age; the local time is only in the header.
- Sections give way in this order as the terminal gets smaller: the trace pane (narrower than
  100 columns), the bars (when the account row is too narrow for them), the account row
  (balance, positions, bars; a one-line summary of positions, P&L and the last deal takes its
  place), the orders and deals, the quotes (only on a tiny terminal). The chat with its input
  line always stays.
"""
import datetime
import functools
import re
import textwrap
import threading
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple

from rich import box
from rich.console import Console
from rich.layout import Layout
from rich.live import Live
from rich.panel import Panel
from rich.segment import Segment
from rich.style import Style

from zandor_trader import prices
from zandor_trader.chat import OPERATOR
from zandor_trader.replies import MARKET_TIME_ZONE, name

if TYPE_CHECKING:
    from zandor_trader.chat import ChatLog
    from zandor_trader.gateways.cqg.gateway import CqgGateway
    from zandor_trader.log_pane import LogPane


class Scroll:
    """How far back the chat pane is scrolled, in pages (0: the newest lines in view). The
    keyboard moves it; the display bounds it by what there is to show."""

    def __init__(self):
        self.pages = 0
        self.limit: Optional[int] = None  # written by the display's thread

    def up(self) -> None:
        if self.limit is None or self.pages < self.limit:
            self.pages += 1

    def down(self) -> None:
        self.pages = max(self.pages - 1, 0)

    def end(self) -> None:
        self.pages = 0

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
    scroll: Optional[Scroll] = None  # the chat's scrollback
    broker: str = "simulated CQG"  # what the header names


# -- fixed-width tables ---------------------------------------------------------------------

class Column(NamedTuple):
    title: str
    width: int
    right: bool = True  # numbers to the right, words to the left
    keep: int = 0       # where the panel is too narrow, higher numbers go first


def pick(columns: Sequence[Column], width: int) -> List[Column]:
    """The most important columns that fit `width` (one space between two), in their order."""
    chosen, used = set(), -1
    for column in sorted(columns, key=lambda c: c.keep):
        if used + 1 + column.width > width:
            break
        chosen.add(column.title)
        used += 1 + column.width
    return [c for c in columns if c.title in chosen]


def cut(text: str, width: int) -> str:
    """Words too long for their room end with a mark; numbers are never cut (see cell)."""
    return text if len(text) <= width else text[:max(width - 1, 0)] + "…"


def cell(text: str, column: Column) -> str:
    if column.right:
        return prices.shorten(text, column.width).rjust(column.width)
    return cut(text, column.width).ljust(column.width)


def row_text(columns: Sequence[Column], values: Dict[str, str]) -> str:
    return " ".join(cell(values.get(c.title, "-"), c) for c in columns)


BOLD, DIM = Style(bold=True), Style(dim=True)
OPERATOR_STYLE, BOT_STYLE = Style(bold=True, color="cyan"), Style(color="green")


def _lines(lines: Sequence[Tuple[str, Optional[Style]]], width: int):
    for text, style in lines:
        yield Segment(text[:width].ljust(width), style)
        yield Segment.line()


class Grid:
    """A panel's table: a header line, then rows; `rows(n)` gives n rows (the newest n, oldest
    first, for a list in time order) and how many there are. A list in time order is shown
    newest first, the oldest rows give way; the others in their order, the last rows give way.
    The last line says how many are not shown."""

    def __init__(self, columns: Sequence[Column], rows: Callable[[int], Tuple[list, int]],
                 what: str = "rows", header: bool = True, newest_first: bool = True):
        self.columns = columns
        self.rows = rows
        self.what = what
        self.header = header
        self.newest_first = newest_first

    def render_lines(self, width: int, height: Optional[int]) -> List[Tuple[str, Optional[Style]]]:
        columns = pick(self.columns, width)
        room = (height if height is not None else 1000) - int(self.header)
        items, total = self.rows(max(room, 0))
        if self.newest_first:
            items = items[::-1]
        if len(items) < total:  # the last line tells what is left out
            items = items[:max(room - 1, 0)]
        lines: List[Tuple[str, Optional[Style]]] = []
        if self.header:
            lines.append((row_text(columns, {c.title: c.title for c in columns}), BOLD))
        lines += [(row_text(columns, item), None) for item in items]
        hidden = total - len(items)
        if hidden > 0:
            which = "older " if self.newest_first else "more "
            lines.append((f"{_many(hidden, which + self.what)} not shown", DIM))
        return lines

    def __rich_console__(self, console, options):
        yield from _lines(self.render_lines(options.max_width, options.height), options.max_width)


class Lines:
    """Lines made for the width and height given at drawing time."""

    def __init__(self, make: Callable[[int, Optional[int]], List[Tuple[str, Optional[Style]]]]):
        self.make = make

    def __rich_console__(self, console, options):
        yield from _lines(self.make(options.max_width, options.height), options.max_width)


# -- what the cells say ---------------------------------------------------------------------

PRICE, SIZE, SYMBOL, ID = 10, 8, 7, 8


def _price(value, security, zero_is_none: bool = False) -> str:
    if zero_is_none and not value:
        return "-"
    return prices.format_price(value, security)


def _money(value) -> str:
    return prices.format_number(value, 2, grouped=True) if value is not None else "-"


def _count(value) -> str:
    return prices.format_number(value, grouped=False) if value is not None else "-"


def _time(value, with_seconds: bool = True) -> str:
    if value is None:
        return "-"
    return value.strftime("%H:%M:%S" if with_seconds else "%H:%M")


def _age(stamp) -> str:
    """How long ago a quote changed (its stamp is the local clock's)."""
    if stamp is None:
        return "-"
    seconds = max((datetime.datetime.now() - stamp).total_seconds(), 0)
    for unit, size in (("h", 3600), ("m", 60)):
        if seconds >= size:
            return f"{int(seconds // size)}{unit}"
    return f"{int(seconds)}s"


def _clock(seconds: float) -> str:
    seconds = max(int(seconds), 0)
    return f"{seconds // 3600:02d}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"


def short_id(order_id) -> str:
    """Enough of an order id to tell orders apart on screen; any prefix of it cancels."""
    return str(order_id).strip("{}")[:8]


def _many(n: int, thing: str) -> str:
    return f"{n} {thing}" + ("" if n == 1 else "s")


def _code(security) -> str:
    return security.code if security is not None else "-"


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
            values = {"Symbol": _code(security), "Age": _age(q.datetime) if q else "-"}
            for title, field in (("Last", "last_price"), ("Open", "open_price"),
                                 ("High", "high_price"), ("Low", "low_price"),
                                 ("Prev close", "prev_close_price")):
                values[title] = _price(getattr(q, field), security, True) if q else "-"
            if book is not None:
                values.update({"Bid": _price(book.bid_price_1, security, True),
                               "Ask": _price(book.ask_price_1, security, True),
                               "Bid size": _count(book.bid_volume_1),
                               "Ask size": _count(book.ask_volume_1)})
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
            items.append({"Symbol": _code(security), "Time": _time(bar.datetime, False),
                          "Open": _price(bar.open, security), "High": _price(bar.high, security),
                          "Low": _price(bar.low, security), "Close": _price(bar.close, security),
                          "Volume": _count(bar.volume)})
        return items[:max(n, 0)], len(items)
    return rows


BALANCE_LABELS = (("cash", "cash"), ("available_cash", "available"),
                  ("net_cash_power", "net power"), ("maintenance_margin", "margin"),
                  ("realized_pnl", "realized P&L"), ("unrealized_pnl", "unrealized P&L"))
BALANCE_COLUMNS = (Column("Account", 14, False, 0), Column("Value", 15, keep=0))


def balance_rows(view: SessionView):
    def rows(n):
        balance = view.gateway.account_balance
        items = [{"Account": label, "Value": _money(getattr(balance, field)) if balance else "-"}
                 for field, label in BALANCE_LABELS]
        return items[:max(n, 0)], len(items)
    return rows


POSITION_COLUMNS = (Column("Symbol", SYMBOL, False, 0), Column("Side", 5, False, 1),
                    Column("Qty", 5, keep=1), Column("Average", 12, keep=2))


def position_rows(view: SessionView):
    def rows(n):
        held = list(view.gateway.positions)
        return [{"Symbol": _code(p.security), "Side": name(p.direction), "Qty": _count(p.quantity),
                 "Average": _price(p.holding_price, p.security)}
                for p in held[-n:]] if n > 0 else [], len(held)
    return rows


# Price: the limit price of a limit order, the stop price of a stop order (Type tells which).
ORDER_COLUMNS = (
    Column("Id", ID, False, 0), Column("Symbol", SYMBOL, False, 4), Column("Side", 5, False, 1),
    Column("Qty", 5, keep=2), Column("Type", 6, False, 5), Column("Price", PRICE, keep=6),
    Column("Status", 9, False, 3), Column("Filled", 6, keep=7),
    Column("Average", PRICE, keep=8), Column("Time", 8, False, 9))


def order_rows(view: SessionView):
    def rows(n):
        shown, total = view.gateway.trades.newest_orders(n)
        return [{"Id": short_id(o.order_id), "Symbol": _code(o.security),
                 "Side": name(o.direction), "Qty": _count(o.quantity), "Type": name(o.order_type),
                 "Price": _price(o.price if o.price is not None else o.stop_price, o.security),
                 "Status": name(o.status), "Filled": _count(o.filled_quantity),
                 "Average": _price(o.filled_avg_price, o.security) if o.filled_quantity else "-",
                 "Time": _time(o.updated_time)} for o in shown], total
    return rows


DEAL_COLUMNS = (Column("Deal", ID, False, 5), Column("Order", ID, False, 6),
                Column("Symbol", SYMBOL, False, 0), Column("Side", 5, False, 1),
                Column("Qty", 5, keep=2), Column("Price", PRICE, keep=3),
                Column("Time", 8, False, 4))


def deal_rows(view: SessionView):
    def rows(n):
        shown, total = view.gateway.trades.newest_deals(n)
        return [{"Deal": str(d.deal_id), "Order": short_id(d.order_id), "Symbol": _code(d.security),
                 "Side": name(d.direction), "Qty": _count(d.filled_quantity),
                 "Price": _price(d.filled_avg_price, d.security), "Time": _time(d.updated_time)}
                for d in shown], total
    return rows


def _panel(content, title: str) -> Panel:
    return Panel(content, title=title, title_align="left", box=box.ROUNDED, padding=(0, 1))


def market(view: SessionView) -> Panel:
    return _panel(Grid(QUOTE_COLUMNS, quote_rows(view), "instrument", newest_first=False),
                  "Quotes and level-1 books (Age: since the quote changed)")


def bars(view: SessionView) -> Panel:
    return _panel(Grid(BAR_COLUMNS, bar_rows(view), "instrument", newest_first=False),
                  f"Latest one-minute bars, market time {MARKET_TIME_ZONE}")


def account(view: SessionView) -> Panel:
    return _panel(Grid(BALANCE_COLUMNS, balance_rows(view), "field", header=False,
                       newest_first=False), "Balance")


def positions(view: SessionView) -> Panel:
    return _panel(Grid(POSITION_COLUMNS, position_rows(view), "position"), "Positions")


def orders(view: SessionView) -> Panel:
    return _panel(Grid(ORDER_COLUMNS, order_rows(view), "order"),
                  f"Recent orders, newest first, market time {MARKET_TIME_ZONE}")


def deals(view: SessionView) -> Panel:
    return _panel(Grid(DEAL_COLUMNS, deal_rows(view), "deal"),
                  f"Recent deals, newest first, market time {MARKET_TIME_ZONE}")


# -- header and the one-line summary ---------------------------------------------------------

def header_text(view: SessionView, width: int) -> str:
    """The parts that fit `width`, the most important kept first."""
    gw = view.gateway
    now = time.monotonic()
    account_id = gw.account_id if gw.account_id is not None else "-"
    parts = [("zandor-trader", 0), (view.broker, 8),
             (f"{gw.gateway_name} account {account_id}", 5), (view.status(), 1),
             (f"up {_clock(now - view.started)}", 4)]
    if view.deadline is not None:
        parts.append((f"ends in {_clock(view.deadline - now)}", 3))
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


def summary_lines(view: SessionView) -> List[str]:
    """P&L and positions on one line, the last deal on the next."""
    gw = view.gateway
    balance = gw.account_balance
    pnl = (f"P&L realized {_money(balance.realized_pnl)}, unrealized "
           f"{_money(balance.unrealized_pnl)}" if balance is not None else "P&L -")
    held = ", ".join(f"{_code(p.security)} {name(p.direction)} {_count(p.quantity)} @ "
                     f"{_price(p.holding_price, p.security)}" for p in list(gw.positions))
    newest, _ = gw.trades.newest_deals(1)
    last = newest[-1] if newest else None
    deal = (f"Last deal: {_code(last.security)} {name(last.direction)} "
            f"{_count(last.filled_quantity)} @ {_price(last.filled_avg_price, last.security)} at "
            f"{_time(last.updated_time)} {MARKET_TIME_ZONE} (deal {last.deal_id})"
            if last is not None else "Last deal: none")
    return [f"{pnl} | Positions: {held or 'none'}", deal]


def summary(view: SessionView) -> Lines:
    def make(width, height):
        return [(cut(text, width), None) for text in summary_lines(view)[:height]]
    return Lines(make)


# -- chat and trace --------------------------------------------------------------------------

BOT_STAMP = re.compile(r"^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d(\.\d{6})?\] ?")
CHAT_HELP = "/help, PgUp/PgDn scroll, Up/Down history, Ctrl-C ends"


@functools.lru_cache(maxsize=512)  # the chat keeps 200 entries; a few widths
def chat_lines(who: str, text: str, width: int) -> Tuple[Tuple[str, Style], ...]:
    """One chat entry as screen lines. The bot's replies lose their time stamp: the header
    has the local clock, and the time of a market event is in the reply itself."""
    if who != OPERATOR:
        text = BOT_STAMP.sub("", text, count=1)
    prefix = f"{who}> "
    indent = " " * len(prefix)
    room = max(width - len(prefix), 1)
    out = []
    for n, line in enumerate(text.split("\n")):
        pieces = textwrap.wrap(line, room, break_on_hyphens=False) or [""]
        for k, piece in enumerate(pieces):
            out.append(((prefix if n == k == 0 else indent) + piece,
                        OPERATOR_STYLE if who == OPERATOR else BOT_STYLE))
    return tuple(out)


def chat_screen(view: SessionView, width: int, height: Optional[int]):
    """The chat's lines for a pane of `height` lines: the input line at the bottom, above it
    the newest lines or, scrolled back, older ones, with what is above and below counted."""
    height = height if height is not None else 40
    room = max(height - 1, 1)  # below: the input line
    scroll = view.scroll
    pages = scroll.pages if scroll is not None else 0
    page = max(room - 2, 1)  # a page keeps two lines of the last one in view
    wanted = room + pages * page + 1
    lines: List[Tuple[str, Style]] = []
    entries = view.chat.entries()
    taken = 0
    for who, text in reversed(entries):  # the newest entries until enough lines
        block = chat_lines(who, text, width)
        lines[:0] = block
        taken += 1
        if len(lines) >= wanted:
            break
    older = len(entries) - taken  # entries not even turned into lines
    if scroll is not None:
        scroll.limit = max((len(lines) - room + page - 1) // page, 0) if not older else None
        if scroll.limit is not None and pages > scroll.limit:
            pages = scroll.pages = scroll.limit
    below = min(pages * page, max(len(lines) - room, 0))
    end = len(lines) - below
    shown = lines[max(end - room, 0):end]
    above = len(lines) - below - len(shown)
    if above or older:
        more = _many(above, "line") + (f" and {_many(older, 'message')}" if older else "")
        shown = [(f"^ {more} above (PgUp)", DIM)] + shown[1:]
    if below:
        shown = shown[:-1] + [(f"v {_many(below, 'line')} below (PgDn)", DIM)]
    typed = view.typing()
    prompt = f"{OPERATOR}> "
    visible = typed[-max(width - len(prompt) - 1, 1):]  # a long line's end: where one types
    return shown + [(prompt + visible + "_", OPERATOR_STYLE)]


def chat(view: SessionView) -> Panel:
    return Panel(Lines(lambda width, height: chat_screen(view, width, height)),
                 title="Chat with the bot", title_align="left", subtitle=CHAT_HELP,
                 subtitle_align="left", box=box.ROUNDED, padding=(0, 1))


def trace_screen(view: SessionView, width: int, height: Optional[int]):
    height = height if height is not None else 40
    lines = view.log.lines(height)
    hidden = view.log.count() - len(lines)
    if hidden > 0 and lines:
        lines = lines[1:]
        head = [(f"^ {_many(hidden + 1, 'earlier line')} not shown", DIM)]
    else:
        head = []
    return head + [(cut(line, width), DIM) for line in lines]


def log(view: SessionView) -> Panel:
    return _panel(Lines(lambda width, height: trace_screen(view, width, height)),
                  "Trace (repeats folded)")


# -- the layout ------------------------------------------------------------------------------

TALK_MIN = 12           # chat lines (with its frame) kept before any other section
TRADES_MIN, TRADES_MAX = 7, 12
SUMMARY_LINES = 2       # in place of the account row
TRACE_MIN_WIDTH = 100   # narrower: no trace pane
POSITIONS_WIDTH, BALANCE_WIDTH, BARS_MIN_WIDTH = 36, 34, 37
BIG_HEADER_HEIGHT = 30  # lower terminals get a one-line header without a frame


def plan(height: int, width: int, instruments: int) -> List[Tuple[str, int]]:
    """The sections of a frame, top to bottom, with their heights; the talk row (chat and
    trace) takes what is left."""
    head = 3 if height >= BIG_HEADER_HEIGHT else 1
    sections = [("header", head)]
    room = height - head
    quotes = instruments + 3
    if room - quotes >= 5:  # else the terminal is tiny: the chat alone
        sections.append(("quotes", quotes))
        room -= quotes
    talk_min = min(TALK_MIN, room)
    account = max(len(BALANCE_LABELS), instruments) + 3
    spare = room - talk_min
    if spare >= account + TRADES_MIN:
        trades = min(TRADES_MAX, spare - account)
        sections += [("account", account), ("trades", trades)]
        room -= account + trades
    elif spare > 0:
        lines = min(SUMMARY_LINES, spare)
        sections.append(("summary", lines))
        room -= lines
        if spare - lines >= TRADES_MIN:
            trades = min(TRADES_MAX, spare - lines)
            sections.append(("trades", trades))
            room -= trades
    sections.append(("talk", room))
    return sections


def render(view: SessionView, height: Optional[int] = None, width: Optional[int] = None) -> Layout:
    """One frame for a terminal of `height` lines and `width` columns."""
    height = height if height is not None else 50
    width = width if width is not None else 160
    instruments = len(view.gateway.cqg_quotes)
    rows = []
    for section, size in plan(height, width, instruments):
        if section == "header":
            rows.append(Layout(header(view, framed=size > 1), name=section, size=size))
        elif section == "quotes":
            rows.append(Layout(market(view), name=section, size=size))
        elif section == "summary":
            rows.append(Layout(summary(view), name=section, size=size))
        elif section == "account":
            row = Layout(name=section, size=size)
            bars_width = width - POSITIONS_WIDTH - BALANCE_WIDTH
            parts = [Layout(positions(view), size=POSITIONS_WIDTH if bars_width >= BARS_MIN_WIDTH
                            else None, ratio=1),
                     Layout(account(view), size=BALANCE_WIDTH)]
            if bars_width >= BARS_MIN_WIDTH:
                parts.append(Layout(bars(view), ratio=1))
            row.split_row(*parts)
            rows.append(row)
        elif section == "trades":
            row = Layout(name=section, size=size)
            row.split_row(Layout(orders(view), ratio=3), Layout(deals(view), ratio=2))
            rows.append(row)
        else:
            row = Layout(name=section, size=size)
            if width >= TRACE_MIN_WIDTH:
                row.split_row(Layout(chat(view), ratio=3), Layout(log(view), ratio=2))
            else:
                row.update(chat(view))
            rows.append(row)
    root = Layout()
    root.split_column(*rows)
    return root


class Display:
    """Owns the terminal (alternate screen) from start() to stop()."""

    def __init__(self, view: SessionView, console: Console, fps: float = 2.0):
        self.view = view
        self.console = console
        self.fps = fps
        self._changed = threading.Event()  # something to show; also set by stop()
        self._urgent = threading.Event()   # a key: drawn without waiting for the next frame
        self._stopping = threading.Event()
        self._live = Live(console=console, screen=True, auto_refresh=False,
                          redirect_stdout=False, redirect_stderr=False)
        self._thread = threading.Thread(target=self._run, name="display", daemon=True)
        self._last_fault = ""  # written by the display's thread only
        self.frames = 0  # drawn so far (the display's thread)

    def changed(self, urgent: bool = False) -> None:
        """Any thread: there is something new to show; `urgent` for what the operator does."""
        if urgent:
            self._urgent.set()
        self._changed.set()

    def start(self) -> "Display":
        self._live.start()
        self._draw()
        self._thread.start()
        return self

    def stop(self) -> None:
        self._stopping.set()
        self._changed.set()
        self._urgent.set()
        if self._thread.ident is not None:
            self._thread.join()
        self._live.stop()

    def _draw(self) -> None:
        size = self.console.size
        self._live.update(render(self.view, size.height, size.width), refresh=True)
        self.frames += 1

    def _run(self) -> None:
        while True:
            self._changed.wait()
            if self._stopping.is_set():
                return
            self._changed.clear()
            self._urgent.clear()
            try:
                self._draw()
            except Exception as exc:  # a drawing fault must not take the session down
                fault = f"display: {type(exc).__name__}: {exc}"
                if fault != self._last_fault:  # once, not at every frame
                    self._last_fault = fault
                    self.view.log.add(fault)
            # Frame pacing: changes arriving meanwhile are drawn together, next frame; a key
            # the operator types ends the pause.
            self._urgent.wait(1.0 / self.fps)
            if self._stopping.is_set():
                return
