"""Module-level configuration, read by each component when it is created."""
import dataclasses
import datetime as _dt
import os
import threading
from typing import Mapping, Optional, Sequence, Tuple

MODES = ("scripted", "live")


@dataclasses.dataclass(frozen=True)
class AccountSpec:
    gw_account_id: int
    name: str
    balance: float
    collaterals: float = 0.0


@dataclasses.dataclass(frozen=True)
class Config:
    mode: str = "scripted"
    seed: int = 0
    # Simulated seconds per real second in live mode; 0 stops the clock until advance().
    speed: float = 1.0
    # Simulated UTC time at which the component's clock starts.
    start: _dt.datetime = _dt.datetime(2025, 12, 1, 14, 30, 0)
    # Simulated seconds between two market instants in live mode.
    tick_interval: float = 0.25
    accounts: Tuple[AccountSpec, ...] = (
        AccountSpec(100101, "ZT-SIM-1", 1_000_000.0),
        AccountSpec(100102, "ZT-SIM-2", 250_000.0, 50_000.0),
    )
    # None: any non-empty user name and password log on; otherwise user -> password.
    credentials: Optional[Mapping[str, str]] = None
    commission: float = 0.0  # per contract and fill
    # Live market: undelivered instants after which the market clock waits for the consumer.
    max_backlog: int = 64
    # The SQLite file that keeps the accounts from one run to the next (see paper.py);
    # None: they live in memory and every run starts afresh.
    paper_store: Optional[str] = None

    def __post_init__(self):
        if self.mode not in MODES:
            raise ValueError(f"mode must be one of {MODES}, not {self.mode!r}")
        if self.speed < 0:
            raise ValueError("speed must not be negative")
        if self.tick_interval <= 0:
            raise ValueError("tick_interval must be positive")
        if self.max_backlog < 1:
            raise ValueError("max_backlog must be at least 1")


_lock = threading.Lock()
_current = Config()  # guarded by _lock


def _accounts(value: Sequence) -> Tuple[AccountSpec, ...]:
    return tuple(a if isinstance(a, AccountSpec) else AccountSpec(*a) for a in value)


def configure(**changes) -> Config:
    """Set what the next created component uses; unnamed settings keep their value.

    ``accounts`` takes AccountSpec objects or (id, name, balance[, collaterals]) tuples;
    ``paper_store`` a path, made a paper store if missing (PaperStoreError if it cannot be).
    """
    global _current
    if "accounts" in changes:
        changes["accounts"] = _accounts(changes["accounts"])
    if changes.get("credentials") is not None:
        changes["credentials"] = dict(changes["credentials"])
    if changes.get("paper_store") is not None:
        from cqgsim.paper import PaperStore

        path = changes["paper_store"] = os.fspath(changes["paper_store"])
        PaperStore(path).close()  # refused here, not when a component is made
    with _lock:
        _current = dataclasses.replace(_current, **changes)
        return _current


def reset() -> Config:
    """Back to the defaults."""
    global _current
    with _lock:
        _current = Config()
        return _current


def current() -> Config:
    with _lock:
        return _current
