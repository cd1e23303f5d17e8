"""The live terminal display: market, bars, account, orders, deals, the chat and the trace log.

A thread of its own redraws the screen when something changed, at most `fps` times a second
(a key the operator types is drawn at once); it sleeps while nothing changes and stop() ends it.

What a frame shows (`panels`, `chat_pane`), and what gives way on a small terminal
(`layout.plan`):
- Every table has fixed column widths. Prices carry their contract's decimals, right-aligned;
  a number too large for its column is shown shortened and marked (see trading.prices.shorten).
  Where a panel is too narrow for every column, its least important columns go first.
- Lists (positions, orders, deals) show the newest rows that fit, newest first, and say how
  many are not shown; the chat and the trace show their newest lines at the bottom.
- One clock: times of market events (bars, orders, deals) are the market's, labelled with its
  zone; quotes show their age; the local time is only in the header.
- Sections give way in this order as the terminal gets smaller: the trace pane (narrower than
  100 columns), the bars (when the account row is too narrow for them), the account row
  (balance, positions, bars; a two-line summary of P&L, positions, working orders and the
  last deal takes its place), the orders and deals, the quotes (only on a tiny terminal). The
  chat with its input line always stays.
"""
import threading

from rich.console import Console
from rich.live import Live

from zandor_trader.console.layout import render
from zandor_trader.console.view import SessionView


class Display:
    """Owns the terminal (alternate screen) from start() to stop()."""

    def __init__(self, view: SessionView, console: Console, fps: float = 2.0):
        self.view = view
        self.console = console
        self.fps = fps
        self._changed = threading.Event()  # something to show; also set by stop()
        self._urgent = threading.Event()   # a key: drawn without waiting for the next frame
        self._stopping = threading.Event()
        self._live = Live(console=console, screen=True, auto_refresh=False,
                          redirect_stdout=False, redirect_stderr=False)
        self._thread = threading.Thread(target=self._run, name="display", daemon=True)
        self._last_fault = ""  # written by the display's thread only
        self.frames = 0  # drawn so far (the display's thread)

    def changed(self, urgent: bool = False) -> None:
        """Any thread: there is something new to show; `urgent` for what the operator does."""
        if urgent:
            self._urgent.set()
        self._changed.set()

    def start(self) -> "Display":
        self._live.start()
        self._draw()
        self._thread.start()
        return self

    def stop(self) -> None:
        self._stopping.set()
        self._changed.set()
        self._urgent.set()
        if self._thread.ident is not None:
            self._thread.join()
        self._live.stop()

    def _draw(self) -> None:
        size = self.console.size
        self._live.update(render(self.view, size.height, size.width), refresh=True)
        self.frames += 1

    def _run(self) -> None:
        while True:
            self._changed.wait()
            if self._stopping.is_set():
                return
            self._changed.clear()
            self._urgent.clear()
            try:
                self._draw()
            except Exception as exc:  # a drawing fault must not take the session down
                fault = f"display: {type(exc).__name__}: {exc}"
                if fault != self._last_fault:  # once, not at every frame
                    self._last_fault = fault
                    self.view.log.add(fault)
            # Frame pacing: changes arriving meanwhile are drawn together, next frame; a key
            # the operator types ends the pause.
            self._urgent.wait(1.0 / self.fps)
            if self._stopping.is_set():
                return
