"""Orders and deals as the engine keeps them."""
from dataclasses import dataclass, field
from datetime import datetime
from decimal import Decimal
from typing import Optional, Union

from zandor_trader.core.constants import Direction, Offset, OrderStatus, OrderType
from zandor_trader.core.security import Security


@dataclass
class Order:
    security: Security
    # The operator's prices are kept as the exact decimals typed; the broker's are floats.
    price: Optional[Union[float, Decimal]]  # None for a market order
    quantity: int
    direction: Direction
    offset: Offset = Offset.OPEN
    order_type: OrderType = OrderType.LIMIT
    stop_price: Optional[Union[float, Decimal]] = None
    gateway_name: str = ""
    order_id: Optional[str] = None
    status: OrderStatus = OrderStatus.UNKNOWN
    filled_avg_price: float = 0
    filled_quantity: int = 0
    create_time: datetime = field(default_factory=datetime.now)
    updated_time: Optional[datetime] = None
    reason: Optional[str] = None  # the broker's, when it rejected the order


@dataclass
class Deal:
    deal_id: Optional[str]  # as the fill report gave it
    order_id: Optional[str]
    security: Optional[Security]
    direction: Optional[Direction]
    filled_avg_price: float
    filled_quantity: int
    updated_time: Optional[datetime]
    gateway_name: str = ""
