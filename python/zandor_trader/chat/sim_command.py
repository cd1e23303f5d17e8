"""/sim: the failure drills an operator can run on the simulated broker, read from the words
after the command.

    /sim drop gw|data SECONDS    /sim reject next [REASON]
    /sim hold next SECONDS       /sim gap SYMBOL TICKS

SECONDS are the operator's own (real) seconds; whoever runs the drill turns them into the
simulated clock's. Words that make no drill are answered with what was expected.
"""
from dataclasses import dataclass
from decimal import Decimal, InvalidOperation
from typing import Callable, Optional

SYNTAX = ("/sim drop gw|data SECONDS | reject next [REASON] | hold next SECONDS | "
          "gap SYMBOL TICKS")
EXAMPLE = "/sim drop gw 30"
LINKS = ("gw", "data")
MAX_SECONDS = 86_400  # a drill longer than a day rehearses nothing
MAX_TICKS = 1_000  # a typo of a few digits must not wreck the market for the session
REFUSED = ("/sim refused: drills run on the simulated broker only, and this session trades "
           "on the real one.")


class DrillUsageError(ValueError):
    """The words make no drill; the message says what was expected."""


@dataclass(frozen=True)
class Drill:
    kind: str  # "drop", "reject", "hold" or "gap"
    link: str = ""  # drop: "gw" or "data"
    seconds: float = 0.0  # drop, hold: real seconds
    reason: Optional[str] = None  # reject: None for the broker's default
    symbol: str = ""  # gap: as the operator named the instrument
    ticks: int = 0  # gap: below zero, down


def _usage(problem: str, syntax: str) -> DrillUsageError:
    return DrillUsageError(f"{problem}. Usage: {syntax}")


def _seconds(word: Optional[str], syntax: str) -> float:
    try:
        value = Decimal(word) if word is not None else None
    except InvalidOperation:
        value = None
    if value is None or not value.is_finite() or not 0 < value <= MAX_SECONDS:
        shown = "nothing" if word is None else repr(word)
        raise _usage(f"SECONDS is a number of seconds above 0 and at most {MAX_SECONDS}, "
                     f"not {shown}", syntax)
    return float(value)


def _next(words, syntax: str) -> None:
    if len(words) < 2 or words[1].lower() != "next":
        raise _usage(f"expected next after {words[0]}", syntax)


def parse_drill(rest: str) -> Drill:
    """The drill asked for by `rest`, the message's text after "/sim"."""
    words = rest.split()
    kind = words[0].lower() if words else ""
    if kind == "drop":
        syntax = "/sim drop gw|data SECONDS"
        link = words[1].lower() if len(words) > 1 else ""
        if link not in LINKS:
            raise _usage(f"the link to drop is gw or data, not {link!r}", syntax)
        if len(words) > 3:
            raise _usage("too many words", syntax)
        return Drill("drop", link=link,
                     seconds=_seconds(words[2] if len(words) > 2 else None, syntax))
    if kind == "reject":
        syntax = "/sim reject next [REASON]"
        _next(words, syntax)
        # The reason as written, its inner spacing kept: the words after "reject next".
        reason = rest.split(None, 2)[2].strip() if len(words) > 2 else None
        return Drill("reject", reason=reason)
    if kind == "hold":
        syntax = "/sim hold next SECONDS"
        _next(words, syntax)
        if len(words) > 3:
            raise _usage("too many words", syntax)
        return Drill("hold", seconds=_seconds(words[2] if len(words) > 2 else None, syntax))
    if kind == "gap":
        syntax = "/sim gap SYMBOL TICKS"
        if len(words) != 3:
            raise _usage("give the instrument and the ticks", syntax)
        try:
            ticks = int(words[2])
        except ValueError:
            ticks = 0
        if ticks == 0 or abs(ticks) > MAX_TICKS:
            raise _usage(f"TICKS is a whole number other than 0, at most {MAX_TICKS} either "
                         f"way (below 0: down), not {words[2]!r}", syntax)
        return Drill("gap", symbol=words[1], ticks=ticks)
    what = f"unknown drill {words[0]!r}" if words else "name the drill"
    raise _usage(what, SYNTAX)


class SimCommand:
    """The /sim command of a session on the simulated broker: a drill read from the
    operator's words goes to `run` (which has it done in turn with the other requests);
    words that make no drill are answered (`answer`) with the syntax expected."""

    def __init__(self, answer: Callable[[str], None], run: Callable[[Drill], None]):
        self.answer = answer
        self.run = run

    def __call__(self, rest: str) -> None:
        try:
            drill = parse_drill(rest)
        except DrillUsageError as exc:
            self.answer(f"Drill not understood: {exc}")
            return
        self.run(drill)
