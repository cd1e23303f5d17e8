"""The instruments the simulated broker knows: contract details and how each one trades.

Where the figures come from (each a round, typical value, not a quote of any one day):
- tick size and point value: the exchange's published contract terms;
- maintenance margin: the exchange's outright margin for the front contract in late 2025,
  rounded (initial margin is 110 % of it, as the exchange sets it for speculators);
- start price: near the contract's price at the start of December 2025;
- daily range: the usual high-to-low range of a day in 2025, as a share of the price;
- top size: contracts usually shown at the best bid or offer; each level behind shows about
  as many (the exchange's market-depth data, typical of the day session);
- trade size: the average contracts per print (the exchange's time and sales);
- daily volume: contracts traded on a usual day in the front contract (the exchange's volume
  reports, rounded);
- wide share: the share of the time the best bid and offer are more than one tick apart.
"""
import dataclasses
from typing import Dict, Optional


@dataclasses.dataclass(frozen=True)
class Spec:
    full_name: str       # dotted: type.country.symbol
    description: str
    exchange: str
    tick_size: float
    point_value: float   # account currency per price point and contract
    start_price: float   # the price when the simulated clock starts
    margin: float        # maintenance margin per contract
    daily_range: float   # usual high-to-low range of a day, as a share of the price
    top_size: int        # usual contracts at the best price (and each level behind it)
    trade_size: float    # average contracts per print
    daily_volume: int    # contracts a usual day
    wide_share: float    # share of the time the spread is two ticks
    currency: str = "USD"

    @property
    def symbol(self) -> str:
        return self.full_name.rsplit(".", 1)[-1]

    @property
    def commodity(self) -> str:
        # The contract month code is the letter and digit at the end.
        return self.symbol[:-2]

    @property
    def initial_margin(self) -> float:
        return self.margin * 1.1


SPECS = (
    Spec("F.US.EPZ5", "E-mini S&P 500, Dec 25", "CME", 0.25, 50.0, 6850.00, 22_000.0,
         daily_range=0.010, top_size=150, trade_size=3.0, daily_volume=1_500_000,
         wide_share=0.01),
    Spec("F.US.ENQZ5", "E-mini Nasdaq-100, Dec 25", "CME", 0.25, 20.0, 25400.00, 32_000.0,
         daily_range=0.013, top_size=8, trade_size=1.5, daily_volume=600_000, wide_share=0.25),
    Spec("F.US.DDZ5", "E-mini Dow, Dec 25", "CBOT", 1.0, 5.0, 47700.0, 15_000.0,
         daily_range=0.009, top_size=10, trade_size=1.5, daily_volume=150_000,
         wide_share=0.10),
    Spec("F.US.CLEF6", "Crude Oil, Jan 26", "NYMEX", 0.01, 1000.0, 58.90, 5_500.0,
         daily_range=0.025, top_size=15, trade_size=2.5, daily_volume=300_000, wide_share=0.05),
    Spec("F.US.GCEG6", "Gold, Feb 26", "COMEX", 0.10, 100.0, 4230.0, 20_000.0,
         daily_range=0.015, top_size=8, trade_size=2.0, daily_volume=200_000, wide_share=0.10),
    Spec("F.US.TYAH6", "10-Year T-Note, Mar 26", "CBOT", 0.015625, 1000.0, 112.890625,
         2_200.0, daily_range=0.004, top_size=600, trade_size=15.0, daily_volume=1_800_000,
         wide_share=0.01),
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


def on_tick(spec: Spec, price: float) -> bool:
    """Whether ``price`` lies on the contract's price grid."""
    steps = price / spec.tick_size
    return abs(steps - round(steps)) < 1e-6
