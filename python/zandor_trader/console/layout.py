"""The frame: which sections a terminal of a given size shows, top to bottom, and how high
each is. What gives way first as the terminal gets smaller: the trace pane, the bars, the
account row (the summary stands in), the orders and deals, the quotes; the chat stays."""
from typing import List, Optional, Tuple

from rich.layout import Layout

from zandor_trader.console.chat_pane import chat, log
from zandor_trader.console.panels import (
    BALANCE_LABELS, DEAL_COLUMNS, ORDER_COLUMNS, account, bars, deals, header, market, orders,
    positions, summary)
from zandor_trader.console.tables import share
from zandor_trader.console.view import SessionView

TALK_MIN = 12           # chat lines (with its frame) kept before any other section
TRADES_MIN, TRADES_MAX = 7, 12
SUMMARY_LINES = 2       # in place of the account row
TRACE_MIN_WIDTH = 100   # narrower: no trace pane
# The positions panel takes what the bars leave it, within these bounds.
POSITIONS_WIDTH, POSITIONS_MAX_WIDTH, BALANCE_WIDTH, BARS_MIN_WIDTH = 36, 60, 34, 37
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
            held = min(max(width - BALANCE_WIDTH - BARS_MIN_WIDTH, POSITIONS_WIDTH),
                       POSITIONS_MAX_WIDTH)
            bars_width = width - held - BALANCE_WIDTH
            parts = [Layout(positions(view), size=held if bars_width >= BARS_MIN_WIDTH
                            else None, ratio=1),
                     Layout(account(view), size=BALANCE_WIDTH)]
            if bars_width >= BARS_MIN_WIDTH:
                parts.append(Layout(bars(view), ratio=1))
            row.split_row(*parts)
            rows.append(row)
        elif section == "trades":
            row = Layout(name=section, size=size)
            # The two lists share the row by the rank of their columns.
            wide = share(width, [ORDER_COLUMNS, DEAL_COLUMNS])
            row.split_row(Layout(orders(view), size=wide[0]), Layout(deals(view), ratio=1))
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

