"""What the gateway reads of the component itself, beside what the adapter reports: an
instrument's tick size and tick value, and the component's clock. Each read is the
component's answer, or None where it has none."""
import datetime
from decimal import Decimal
from typing import Optional, Tuple


def _positive(value) -> Optional[Decimal]:
    try:
        number = float(value)
    except Exception:  # a component without it
        return None
    return Decimal(repr(number)) if number > 0 else None


def tick_figures(instrument) -> Tuple[Optional[Decimal], Optional[Decimal]]:
    """(tick size, money per tick and contract) of a resolved instrument."""
    return (_positive(getattr(instrument, "TickSize", None)),
            _positive(getattr(instrument, "TickValue", None)))


def line_time(cel) -> Optional[datetime.datetime]:
    """The component's clock now, in the zone it is configured for, to the second."""
    try:
        t = cel.LineTime
        return datetime.datetime(t.year, t.month, t.day, t.hour, t.minute, t.second)
    except Exception:
        return None
