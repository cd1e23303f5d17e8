"""Charts: /chart served without holding up the engine. The engine's thread reads the request
and takes the chart's data (`serve`); a thread of its own draws it and hands the picture on,
in the order asked. That thread first builds matplotlib's caches, while the session starts,
so that the first chart is no slower than the next. Other pictures (the daily P&L curve) are
drawn by the same thread, in turn (`draw`)."""
import queue
import threading
import traceback
from dataclasses import dataclass
from typing import Callable, Optional, Sequence, Union

from zandor_trader.charts import drawing, request
from zandor_trader.charts.candles import draw_candles

MAX_WAITING = 4  # charts asked and not drawn yet; more are refused until these are done


@dataclass(frozen=True)
class Photo:
    png: bytes
    label: str  # names it in notices ("chart EPZ5, 60 bars")
    caption: str
    file: Optional[str]  # the name it was saved under, beside the conversation, if it was


@dataclass(frozen=True)
class Drawing:
    """A picture other than /chart's: `draw()` gives its PNG bytes from data taken already."""
    draw: Callable[[], bytes]
    label: str  # names it, as a chart's label does
    caption: str
    name: str  # what its saved file is named after


_WARM_UP, _STOP = "warm up", "stop"
Job = Union[str, request.Asked, Drawing]


class Charts:
    """`deliver(photo)` sends a drawn chart (in turn with the other answers); `reply(text)`
    tells the operator why a chart did not come; `save(png, symbol)` keeps the picture and
    returns the name it was saved under (None: not kept); `log` takes notices."""

    def __init__(self, gateway, deliver: Callable[[Photo], None], reply: Callable[[str], object],
                 save: Optional[Callable[[bytes, str], Optional[str]]] = None,
                 log: Callable[[str], None] = print, max_waiting: int = MAX_WAITING):
        self.gateway = gateway
        self.deliver = deliver
        self.reply = reply
        self.save = save
        self.log = log
        self.max_waiting = max_waiting
        self._jobs: "queue.Queue[Job]" = queue.Queue()
        self._lock = threading.Lock()  # guards _waiting and _closed
        self._waiting = 0
        self._closed = False
        self._unavailable: Optional[str] = None  # why matplotlib cannot draw (its thread)
        self._thread = threading.Thread(target=self._run, name="charts", daemon=True)
        self.drawn = 0  # charts handed on (its thread)

    def start(self) -> "Charts":
        self._jobs.put(_WARM_UP)
        self._thread.start()
        return self

    def serve(self, args: Sequence[str] = ()) -> None:
        """The engine's thread: a /chart with its words. Refusals are answered at once."""
        try:
            security, count = request.read(args, self.gateway)
            with self._lock:
                busy, closed = self._waiting >= self.max_waiting, self._closed
            if closed:
                raise request.Refused("No chart now: the session is ending.")
            if busy:
                raise request.Refused(f"Still drawing {self.max_waiting} charts: ask again once "
                                      f"they are in.")
            asked = request.take(self.gateway, security, count)
        except request.Refused as refused:
            self.reply(str(refused))
            return
        with self._lock:
            self._waiting += 1
        self._jobs.put(asked)

    def draw(self, drawing: Drawing) -> None:
        """Any thread: `drawing` drawn and handed on in turn (never refused while running)."""
        with self._lock:
            closed = self._closed
        if closed:
            self.log(f"Not drawn, the session is ending: {drawing.label}")
            return
        self._jobs.put(drawing)

    def close(self) -> None:
        """Draws and hands on the charts asked so far, then ends the thread. Idempotent."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
        self._jobs.put(_STOP)
        if self._thread.ident is not None:
            self._thread.join()

    # -- the drawing thread ------------------------------------------------------------------
    def _run(self) -> None:
        while True:
            job = self._jobs.get()
            if job == _STOP:
                return
            if job == _WARM_UP:
                self._warm_up()
                continue
            if isinstance(job, Drawing):
                self._picture(job.label, job.name, job.caption, job.draw)
                continue
            assert isinstance(job, request.Asked)
            try:
                self._draw(job)
            except Exception:  # the thread serves the next chart whatever this one did
                self.log(f"Charts:\n{traceback.format_exc().rstrip()}")
            finally:
                with self._lock:
                    self._waiting -= 1

    def _warm_up(self) -> None:
        try:
            drawing.warm_up()
        except Exception as exc:  # charts are answered with the reason; the session goes on
            self._unavailable = f"{type(exc).__name__}: {exc}"
            self.log(f"Charts cannot be drawn here: {self._unavailable}")

    def _draw(self, asked: request.Asked) -> None:
        chart = asked.chart
        self._picture(asked.label, chart.symbol, asked.caption, lambda: draw_candles(chart),
                      what=f"chart of {chart.symbol}")

    def _picture(self, label: str, name: str, caption: str, draw: Callable[[], bytes],
                 what: str = "") -> None:
        """Draws, saves and hands on one picture; `what` names it in the notices and to the
        operator (by default its label)."""
        what = what or label
        said = what[:1].upper() + what[1:]
        if self._unavailable is not None:
            self.reply(f"{said} not drawn: charts cannot be drawn here "
                       f"({self._unavailable}).")
            return
        try:
            png = draw()
        except Exception as exc:
            self.log(f"Drawing the {what} failed:\n{traceback.format_exc().rstrip()}")
            self.reply(f"{said} failed: {type(exc).__name__}: {exc}")
            return
        file = None
        if self.save is not None:
            try:
                file = self.save(png, name)
            except Exception as exc:  # the operator still gets the picture
                self.log(f"The {what} was not saved: {type(exc).__name__}: {exc}")
        self.deliver(Photo(png, label, caption, file))
        self.drawn += 1
