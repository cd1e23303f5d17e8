"""Enumerations shared by records, gateways and the engine."""
from enum import Enum


class Direction(Enum):
    LONG = "l"
    SHORT = "s"
    NET = "n"


class Offset(Enum):
    OPEN = "o"
    CLOSE = "c"


class OrderType(Enum):
    MARKET = "m"
    LIMIT = "l"
    STOP = "s"
    FAK = "fak"
    FOK = "fok"


class OrderStatus(Enum):
    UNKNOWN = "unknown"
    SUBMITTED = "submitted"
    FILLED = "filled"
    CANCELLED = "cancelled"
    FAILED = "failed"


class Exchange(Enum):
    CME = "CME"
    CBOT = "CBOT"
    NYMEX = "NYMEX"
    COMEX = "COMEX"
    HKFE = "HKFE"
    SGX = "SGX"
    EUREX = "EUREX"
    OTHER = "OTHER"  # an exchange the host does not list (orders tracked, never traded)
