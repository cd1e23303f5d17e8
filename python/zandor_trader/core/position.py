"""Open positions of an account."""
from dataclasses import dataclass
from datetime import datetime
from typing import Optional

from zandor_trader.core.constants import Direction
from zandor_trader.core.security import Security


@dataclass
class PositionData:
    security: Optional[Security] = None
    direction: Optional[Direction] = None
    holding_price: float = 0
    quantity: int = 0
    update_time: Optional[datetime] = None
