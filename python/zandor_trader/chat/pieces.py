"""A reply cut into the pieces the bot sends as one message each, and the marks a piece
carries when it is sent again or late.

The cut is the bot module's own: Telegram takes at most 4096 UTF-16 units in a message, so a
longer text is cut at the last line break that keeps a piece within that (the break itself is
dropped), or hard at the limit when a line is longer. Cut the same way, a piece handed to the
bot's `send_message` is never cut again, and a failed piece can be sent again alone.
"""
from dataclasses import dataclass, field
from typing import Callable, List, Optional

MAX_MESSAGE_UNITS = 4096
LATE_AFTER = 30.0  # seconds after it was due from which a reply is marked delayed
REPEAT_MARK = "(repeat) "  # before a piece that may have arrived already


def units(char: str) -> int:
    """UTF-16 units of one character: two beyond the Basic Multilingual Plane."""
    return 2 if ord(char) > 0xFFFF else 1


def split_message(text: str, limit: int = MAX_MESSAGE_UNITS) -> List[str]:
    """The pieces of `text`, each at most `limit` units, in order."""
    if len(text) * 2 <= limit:  # short enough whatever its characters
        return [text]
    pieces = []
    start, n = 0, len(text)
    while start < n:
        end, used = start, 0
        while end < n and used + units(text[end]) <= limit:
            used += units(text[end])
            end += 1
        if end == n:
            pieces.append(text[start:])
            break
        cut = text.rfind("\n", start, end + 1)  # a break inside the piece or right after it
        if cut > start:
            pieces.append(text[start:cut])
            start = cut + 1
        elif cut == start:
            start = cut + 1  # an empty line between two pieces carries nothing
        else:
            pieces.append(text[start:end])
            start = end
    return pieces


def marks(repeat: bool, late: float) -> str:
    """What goes before a piece: "(repeat) " when it may have arrived already, and
    "(delayed N s) " when it goes out more than LATE_AFTER seconds after it was due."""
    text = REPEAT_MARK if repeat else ""
    if late > LATE_AFTER:
        text += f"(delayed {int(late)} s) "
    return text


@dataclass
class Piece:
    text: str
    repeat: bool = False  # may have arrived already: goes (again) marked "(repeat)"


@dataclass
class Reply:
    """One reply in the outbox: its pieces, and how many of them are sent."""
    reply_id: int
    text: str
    due: float  # time.time() when it was due
    on_sent: Optional[Callable[[], None]] = None
    pieces: List[Piece] = field(default_factory=list)
    done: int = 0
    send: Optional[Callable[[], object]] = None  # another kind (a photo): sends itself
    listened: bool = True  # the outbox's listener hears of it (a reply, not a press's answer)


def first_line(text: str) -> str:
    head = text.split("\n", 1)[0]
    return head if len(head) <= 120 else head[:117] + "..."
