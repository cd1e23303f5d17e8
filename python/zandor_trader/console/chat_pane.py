"""The chat pane (the conversation, scrolled back or at its newest lines, above the input
line; a question's buttons on a line under it, the one the keyboard chose marked) and the
trace pane."""
import functools
import re
import textwrap
from typing import List, Optional, Tuple

from rich import box
from rich.panel import Panel
from rich.style import Style

from zandor_trader.chat import OPERATOR
from zandor_trader.console.cells import many
from zandor_trader.console.tables import DIM, FittedPanel, Lines, cut, panel
from zandor_trader.console.view import SessionView

OPERATOR_STYLE, BOT_STYLE = Style(bold=True, color="cyan"), Style(color="green")
BUTTON_STYLE = Style(bold=True, color="yellow")
BUTTON_KEYS = "Left/Right choose, Enter presses"
BOT_STAMP = re.compile(r"^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d(\.\d{6})?\] ?")
CHAT_HELP = "/help, PgUp/PgDn scroll, Up/Down history, Ctrl-C ends"
CHAT_HELP_REMOTE = "commands come from the Telegram chat; PgUp/PgDn scroll, Ctrl-C ends"


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


def button_row(view: SessionView, text: str, width: int) -> Tuple[str, Style]:
    """The buttons of a message as a line: "[ Confirm ] [ Cancel ]", the chosen one
    "[>Confirm<]", with the keys that choose them beside the newest question's."""
    message_id = getattr(text, "message_id", None)
    labels = [label for row in getattr(text, "buttons", ()) for label in row]
    choice = view.buttons
    chosen = choice.chosen() if choice is not None else None
    shown = [f"[>{label}<]" if chosen == (message_id, n) else f"[ {label} ]"
             for n, label in enumerate(labels)]
    newest = view.chat.pressable()
    keys = f"  ({BUTTON_KEYS})" if choice is not None and newest is not None \
        and newest[0] == message_id else ""
    return cut("     " + " ".join(shown) + keys, width), BUTTON_STYLE


def chat_screen(view: SessionView, width: int, height: Optional[int]):
    """The chat's lines for a pane of `height` lines: the input line at the bottom, above it
    the newest lines or, scrolled back, older ones, with what is above and below counted."""
    height = height if height is not None else 40
    room = max(height - 1, 1) if view.typing is not None else max(height, 1)  # the input line
    scroll = view.scroll
    pages = scroll.pages if scroll is not None else 0
    page = max(room - 2, 1)  # a page keeps two lines of the last one in view
    wanted = room + pages * page + 1
    lines: List[Tuple[str, Style]] = []
    entries = view.chat.entries()
    taken = 0
    for who, text in reversed(entries):  # the newest entries until enough lines
        block = chat_lines(who, text, width)
        if getattr(text, "buttons", ()):
            block += (button_row(view, text, width),)
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
        more = many(above, "line") + (f" and {many(older, 'message')}" if older else "")
        shown = [(f"^ {more} above (PgUp)", DIM)] + shown[1:]
    if below:
        shown = shown[:-1] + [(f"v {many(below, 'line')} below (PgDn)", DIM)]
    if view.typing is None:  # commands come from Telegram: no line to type them in
        return shown
    typed = view.typing()
    prompt = f"{OPERATOR}> "
    visible = typed[-max(width - len(prompt) - 1, 1):]  # a long line's end: where one types
    return shown + [(prompt + visible + "_", OPERATOR_STYLE)]


def chat(view: SessionView) -> Panel:
    return Panel(Lines(lambda width, height: chat_screen(view, width, height)),
                 title="Chat with the bot", title_align="left",
                 subtitle=CHAT_HELP if view.typing is not None else CHAT_HELP_REMOTE,
                 subtitle_align="left", box=box.ROUNDED, padding=(0, 1))


def trace_screen(view: SessionView, width: int, height: Optional[int]):
    height = height if height is not None else 40
    lines = view.log.lines(height)
    hidden = view.log.count() - len(lines)
    if hidden > 0 and lines:
        lines = lines[1:]
        head = [(f"^ {many(hidden + 1, 'earlier line')} not shown", DIM)]
    else:
        head = []
    return head + [(cut(line, width), DIM) for line in lines]


def log(view: SessionView) -> FittedPanel:
    return panel(Lines(lambda width, height: trace_screen(view, width, height)),
                 ("Trace (repeats folded)", "Trace"))

