"""The simulations of the components created in this process, newest last."""
import threading
import weakref
from typing import TYPE_CHECKING, List

if TYPE_CHECKING:
    from cqgsim.script import Simulation

_lock = threading.Condition()
_sims = []  # weak references, guarded by _lock


def add(sim: "Simulation") -> None:
    with _lock:
        _sims[:] = [r for r in _sims if r() is not None]
        _sims.append(weakref.ref(sim))
        _lock.notify_all()


def instances() -> "List[Simulation]":
    """The simulations still alive, oldest first."""
    with _lock:
        return [s for s in (r() for r in _sims) if s is not None]


def latest(timeout: float = 0.0) -> "Simulation":
    """The simulation of the component created last; waits up to ``timeout`` for one."""
    with _lock:
        if not _lock.wait_for(lambda: any(r() is not None for r in _sims), timeout):
            raise LookupError("no simulated component has been created")
        return next(s for s in (r() for r in reversed(_sims)) if s is not None)
