"""Account balance snapshot."""
from dataclasses import dataclass
from typing import Dict, Optional


@dataclass
class AccountBalance:
    cash: float = 0
    cash_by_currency: Optional[Dict[str, float]] = None
    available_cash: float = 0
    max_power_short: Optional[float] = None
    net_cash_power: float = 0
    maintenance_margin: float = 0
    realized_pnl: float = 0
    unrealized_pnl: float = 0
