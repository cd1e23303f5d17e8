"""Ctrl-C and SIGTERM while a session runs.

A signal handler runs on the main thread between two steps of whatever it was doing, the
engine's loop included: it must not take a lock or print (the interrupted code may hold the
same lock). So while the engine serves, the handler only queues the interrupt for the engine,
which decides on its own thread (Ctrl-C ends at once when nothing is open, else asks on the
terminal for a second Ctrl-C; SIGTERM ends). While the session starts, the start-up is cut
short; while it waits for its last replies to go out, that wait ends (both by
KeyboardInterrupt); while it closes its parts, nothing is cut short: they end on their own.
"""
import signal
from typing import Callable, Dict, Optional

from zandor_trader.trading import Engine

TERMINATED_BY_SIGNAL = "terminated by a signal"


STARTING, RUNNING, LAST_REPLIES, CLOSING = "starting", "running", "last replies", "closing"


class Interrupts:
    """`phase()` is where the session is (one of the four above); `engine()` the engine
    while it runs."""

    def __init__(self, phase: Callable[[], str], engine: Callable[[], Optional[Engine]]):
        self._phase = phase
        self._engine = engine
        self._saved: Dict[int, object] = {}

    def _handle(self, signum, frame) -> None:
        phase, engine = self._phase(), self._engine()
        if phase == RUNNING and engine is not None:
            if signum == signal.SIGINT:
                engine.interrupt()
            else:
                engine.request_stop(TERMINATED_BY_SIGNAL)
        elif phase in (STARTING, LAST_REPLIES):
            raise KeyboardInterrupt

    def __enter__(self) -> "Interrupts":
        for signum in (signal.SIGINT, signal.SIGTERM):
            self._saved[signum] = signal.signal(signum, self._handle)
        return self

    def __exit__(self, *exc) -> None:
        for signum, handler in self._saved.items():
            signal.signal(signum, handler)  # type: ignore[arg-type]  # as signal() gave it
