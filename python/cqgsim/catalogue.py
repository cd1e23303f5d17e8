"""The instruments the simulated broker knows, with their contract details."""
import dataclasses
from typing import Dict, Optional


@dataclasses.dataclass(frozen=True)
class Spec:
    full_name: str       # dotted: type.country.symbol
    description: str
    exchange: str
    tick_size: float
    point_value: float   # account currency per price point and contract
    start_price: float   # last settlement before the simulated clock starts
    margin: float        # maintenance margin per contract
    currency: str = "USD"

    @property
    def symbol(self) -> str:
        return self.full_name.rsplit(".", 1)[-1]

    @property
    def commodity(self) -> str:
        # The contract month code is the letter and digit at the end.
        return self.symbol[:-2]


SPECS = (
    Spec("F.US.EPZ5", "E-mini S&P 500, Dec 25", "CME", 0.25, 50.0, 6850.00, 12_500.0),
    Spec("F.US.ENQZ5", "E-mini Nasdaq-100, Dec 25", "CME", 0.25, 20.0, 25400.00, 18_000.0),
    Spec("F.US.DDZ5", "E-mini Dow, Dec 25", "CBOT", 1.0, 5.0, 47700.0, 10_000.0),
    Spec("F.US.CLEF6", "Crude Oil, Jan 26", "NYMEX", 0.01, 1000.0, 58.90, 5_500.0),
    Spec("F.US.GCEG6", "Gold, Feb 26", "COMEX", 0.10, 100.0, 4230.0, 16_000.0),
    Spec("F.US.TYAH6", "10-Year T-Note, Mar 26", "CBOT", 0.015625, 1000.0, 112.890625,
         2_200.0),
)

_BY_KEY: Dict[str, Spec] = {}
for _spec in SPECS:
    _BY_KEY[_spec.full_name] = _spec
    _BY_KEY[_spec.symbol] = _spec
    _BY_KEY.setdefault(_spec.commodity, _spec)  # the front contract answers to its commodity


def find(symbol: str) -> Optional[Spec]:
    """The instrument named by full name, symbol or commodity; None if unknown."""
    return _BY_KEY.get(symbol.strip()) if isinstance(symbol, str) else None


def round_to_tick(spec: Spec, price: float) -> float:
    return round(round(price / spec.tick_size) * spec.tick_size, 10)
