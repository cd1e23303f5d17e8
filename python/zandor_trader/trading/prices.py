"""Prices and amounts as the operator reads them: each contract's own decimals, fixed widths.

A contract's decimals come from its tick size: the security's own `tick_size` when it has
one, else the session's source (the gateway's tick sizes, from the settings or the
component, see `use_tick_source`), else a table (`register_ticks`).
A price of a contract whose tick is not known keeps the decimals it has. A value that does
not fit its column is shortened and marked with "~" (rounded to thousands, millions, ...),
and "#" fills a column too narrow for even that: a column is never dropped nor its number cut.
"""
import math
import threading
from decimal import Decimal
from typing import Any, Callable, Dict, Mapping, Optional

MAX_DECIMALS = 6
SHORTENED = "~"  # marks a number shown rounded to fit its column
SCALES = ((1e12, "T"), (1e9, "B"), (1e6, "M"), (1e3, "K"))

_lock = threading.Lock()  # guards _ticks and _source (written at start-up, read by all)
_ticks: Dict[str, float] = {}  # security code -> tick size
TickSource = Callable[[Any], Any]  # security -> its tick size, or None
_source: Optional[TickSource] = None


def use_tick_source(source: Optional[TickSource]) -> None:
    """`source(security)` gives a contract's tick size (the gateway's, from the settings or
    the component), or None; None as the source: the registered table only."""
    global _source
    with _lock:
        _source = source


def register_ticks(ticks: Mapping[str, float]) -> None:
    """Tick sizes by security code (or CQG symbol), for contracts whose security has none."""
    with _lock:
        _ticks.update({code: float(tick) for code, tick in ticks.items() if tick and tick > 0})


def clear_ticks() -> None:
    with _lock:
        _ticks.clear()


def tick_size(security) -> Optional[float]:
    tick = getattr(security, "tick_size", None)
    if tick:
        return float(tick)
    with _lock:
        source = _source
    if source is not None and not isinstance(security, str):
        try:
            told = source(security)
        except Exception:  # a source that cannot tell: as if it had no tick size
            told = None
        if told:
            return _as_float(told)
    code = getattr(security, "code", security)
    with _lock:
        return _ticks.get(code) if isinstance(code, str) else None


def decimals_of(step: float) -> int:
    """The decimals needed to write `step` exactly (0.25 -> 2, 1/64 -> 6), at most MAX_DECIMALS."""
    for places in range(MAX_DECIMALS + 1):
        if abs(round(step, places) - step) < 1e-9 * max(1.0, abs(step)):
            return places
    return MAX_DECIMALS


def price_decimals(security) -> Optional[int]:
    """The contract's decimals, or None when its tick size is not known."""
    tick = tick_size(security)
    return decimals_of(tick) if tick else None


def _as_float(value) -> Optional[float]:
    try:
        number = float(value)
    except (TypeError, ValueError):
        return None
    return number if math.isfinite(number) else None


def format_number(value, decimals: Optional[int] = None, grouped: bool = False) -> str:
    """`value` with `decimals` places, or more where the value has them (an average price
    between ticks is shown as it is, not rounded to a tick); with `decimals` None, the
    decimals the value has. "-" for None; other non-numbers as their text."""
    if value is None:
        return "-"
    if isinstance(value, Decimal):  # as typed: exact, no float detour
        return _format_decimal(value, decimals, grouped)
    number = _as_float(value)
    if number is None:
        return str(value)
    places = _places(number)
    if decimals is not None:
        places = max(min(decimals, MAX_DECIMALS), places)
    if round(number, places) == 0:
        number = 0.0  # no "-0.00"
    return f"{number:{',' if grouped else ''}.{places}f}"


def _format_decimal(value: Decimal, decimals: Optional[int], grouped: bool) -> str:
    if not value.is_finite():
        return str(value)
    exponent = value.normalize().as_tuple().exponent
    places = min(max(-exponent, 0), MAX_DECIMALS) if isinstance(exponent, int) else 0
    if decimals is not None:
        places = max(min(decimals, MAX_DECIMALS), places)
    if value.is_zero():
        value = abs(value)  # no "-0.00"
    return f"{value:{',' if grouped else ''}.{places}f}"


def _places(number: float) -> int:
    """The decimals `number` has, up to MAX_DECIMALS."""
    text = f"{number:.{MAX_DECIMALS}f}".rstrip("0")
    return len(text) - text.index(".") - 1


def format_price(value, security=None) -> str:
    """A price of `security`'s contract with its decimals (see format_number)."""
    return format_number(value, price_decimals(security) if security is not None else None)


def shorten(text: str, width: int) -> str:
    """A number's text made to fit `width`: as it is when it fits; else rounded to whole units,
    then to K/M/B/T, both marked; "#" * width when nothing fits."""
    if len(text) <= width:
        return text
    number = _as_float(text.replace(",", ""))
    if number is None:  # not a number: cut, with the mark
        return text[:max(width - 1, 0)] + "…" if width > 0 else ""
    candidates = [f"{SHORTENED}{number:,.0f}", f"{SHORTENED}{number:.0f}"]
    for scale, suffix in SCALES:
        if abs(number) >= scale:
            scaled = number / scale
            candidates += [f"{SHORTENED}{scaled:.{places}f}{suffix}" for places in (2, 1, 0)]
            break
    for candidate in candidates:
        if len(candidate) <= width:
            return candidate
    return "#" * width
