"""Tradable securities, the keys of every per-instrument map."""
from dataclasses import dataclass

from zandor_trader.core.constants import Exchange


@dataclass(frozen=True)
class Security:
    code: str
    exchange: Exchange
    name: str = ""
    lot_size: int = 1

    def __str__(self) -> str:
        return f"{self.code}.{self.exchange.value}"
