"""Fixed-width tables and line blocks drawn for the room the layout gives them: a panel too
narrow for every column leaves out its least important ones, a list too long says how many
rows are not shown."""
from typing import Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

from rich import box
from rich.panel import Panel
from rich.segment import Segment
from rich.style import Style

from zandor_trader.console.cells import many
from zandor_trader.trading import prices


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
            lines.append((f"{many(hidden, which + self.what)} not shown", DIM))
        return lines

    def __rich_console__(self, console, options):
        yield from _lines(self.render_lines(options.max_width, options.height), options.max_width)


class Lines:
    """Lines made for the width and height given at drawing time."""

    def __init__(self, make: Callable[[int, Optional[int]], List[Tuple[str, Optional[Style]]]]):
        self.make = make

    def __rich_console__(self, console, options):
        yield from _lines(self.make(options.max_width, options.height), options.max_width)


def share(width: int, tables: Sequence[Sequence[Column]], frame: int = 4) -> List[int]:
    """Widths for tables side by side in `width` columns (each with a frame of `frame`): the
    columns of all of them get room by rank, the most important of every table before the
    next of any (each table, as `pick`, up to its first column that does not fit); the room
    left over is shared out evenly."""
    room = width - frame * len(tables)
    used = [-1] * len(tables)  # as in pick: no space before a table's first column
    stopped = [False] * len(tables)
    ranked = sorted((c.keep, n, c) for n, columns in enumerate(tables) for c in columns)
    for _, n, column in ranked:
        if stopped[n]:
            continue
        if sum(max(u, 0) for u in used) + (used[n] >= 0) + column.width > room:
            stopped[n] = True
            continue
        used[n] += 1 + column.width
    taken = [max(u, 0) for u in used]
    left = max(width - frame * len(tables) - sum(taken), 0)
    return [t + frame + left // len(tables) + (n < left % len(tables))
            for n, t in enumerate(taken)]


class FittedPanel:
    """A framed panel whose title is never cut: the longest of its forms that fits the
    panel's width (the forms shorten the words, and keep what must stay, a time zone)."""

    def __init__(self, content, titles: Sequence[str]):
        self.content = content
        self.titles = titles

    def title_for(self, width: int) -> str:
        room = width - 6  # two corners, a line and a space on either side
        return next((t for t in self.titles if len(t) <= room), self.titles[-1])

    def __rich_console__(self, console, options):
        # Rendered here, with the height it is given (a renderable yielded would lose it).
        yield from console.render(Panel(self.content, title=self.title_for(options.max_width),
                                        title_align="left", box=box.ROUNDED, padding=(0, 1)),
                                  options)


def panel(content, title: Union[str, Sequence[str]]) -> FittedPanel:
    """A panel titled with `title`, or the longest of the forms given that fits."""
    return FittedPanel(content, (title,) if isinstance(title, str) else tuple(title))
