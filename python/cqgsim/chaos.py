"""The chaos driver: drills fired at random, on average ``rate`` an hour of the simulator's
clock, for a soak that rehearses failures.

The drills are picked and fired on the component's thread, at alarms of the simulated
clock, so one seed gives the same drills at the same simulated times whatever the machine
does. The driver's own thread hands each drill's description to the caller's callback, so
the callback never runs on the component's thread; stop() ends it and joins that thread.
"""
import collections
import datetime as _dt
import random
import sys
import threading
import traceback

from cqgsim import catalogue
from cqgsim.drills import DrillRefused

KINDS = ("drop gw", "drop data", "reject", "hold", "gap")
REJECTIONS = (
    "Price outside the daily limits (drill)",
    "Exceeds the account's position limit (drill)",
    "Exchange not accepting orders for this instrument (drill)",
)
MIN_SECONDS = 5  # the shortest outage or hold it makes
GAP_TICKS = (4, 20)  # the smallest and largest gap it makes


class Chaos:
    def __init__(self, core, rate, seed=0, on_drill=None, symbols=None, kinds=KINDS,
                 max_seconds=60):
        if isinstance(rate, bool) or not isinstance(rate, (int, float)) or not rate > 0:
            raise ValueError(f"the rate is a positive number of drills an hour, not {rate!r}")
        unknown = set(kinds) - set(KINDS)
        if unknown or not kinds:
            raise ValueError(f"kinds are some of {KINDS}, not {tuple(kinds)!r}")
        if not isinstance(max_seconds, int) or max_seconds < MIN_SECONDS:
            raise ValueError(f"max_seconds is a whole number of at least {MIN_SECONDS}")
        for symbol in symbols or ():
            if catalogue.find(symbol) is None:
                raise ValueError(f"unknown symbol {symbol!r}")
        self._core = core
        self._rate = float(rate)
        self._rng = random.Random(f"{seed}/chaos")  # component thread only
        self._on_drill = on_drill
        self._symbols = tuple(symbols or ())
        self._kinds = tuple(kinds)
        self._max_seconds = max_seconds
        self._alarm = None  # component thread only
        self._cond = threading.Condition()
        self._reports = collections.deque()  # descriptions not yet handed over; guarded
        self._fired = []  # (simulated UTC time, description); guarded by _cond
        self._stopped = False  # guarded by _cond
        self._thread = threading.Thread(target=self._hand_over, name="cqgsim-chaos",
                                        daemon=True)

    def start(self):
        self._thread.start()
        if not self._core.submit(self._begin):
            self._end()  # the component is shut down: nothing will ever fire

    def stop(self):
        """Fires no more drills; returns once the descriptions fired so far were handed
        over and the driver's thread has ended. (A drill firing on the component's thread
        at that very moment is in fired() but may miss the callback.)"""
        self._end()
        self._core.submit(self._cancel)
        if self._thread.is_alive() and self._thread is not threading.current_thread():
            self._thread.join()

    @property
    def running(self):
        with self._cond:
            return not self._stopped

    def fired(self):
        """The drills fired so far: (simulated UTC time, description), oldest first."""
        with self._cond:
            return list(self._fired)

    def _end(self):
        with self._cond:
            self._stopped = True
            self._cond.notify_all()

    # -- the component's thread ----------------------------------------------------------
    def _begin(self):
        self._core.on_shutdown.append(self._end)
        self._schedule()

    def _cancel(self):
        if self._alarm is not None:
            self._alarm.cancel()

    def _schedule(self):
        wait = self._rng.expovariate(self._rate / 3600.0)
        when = self._core.clock.now + _dt.timedelta(seconds=wait)
        self._alarm = self._core.alarms.at(when, self._fire)

    def _fire(self):
        if not self.running:
            return
        try:
            text = self._drill(self._rng.choice(self._kinds))
        except DrillRefused:
            text = None  # not possible now (a link already down): the next one will come
        if text is not None:
            with self._cond:
                self._fired.append((self._core.clock.now, text))
                if not self._stopped:
                    self._reports.append(text)
                    self._cond.notify_all()
        self._schedule()

    def _drill(self, kind):
        r, drills = self._rng, self._core.drills
        seconds = r.randint(MIN_SECONDS, self._max_seconds)
        if kind.startswith("drop "):
            return drills.drop(kind[5:], seconds)
        if kind == "reject":
            return drills.reject_next(r.choice(REJECTIONS))
        if kind == "hold":
            return drills.hold_next(seconds)
        ticks = r.randint(*GAP_TICKS) * r.choice((-1, 1))
        return drills.gap(r.choice(self._gap_symbols()), ticks)

    def _gap_symbols(self):
        """The symbols asked for, else the instruments the component's client follows,
        else every instrument the broker knows."""
        if self._symbols:
            return self._symbols
        markets = self._core.market_data.markets
        followed = sorted(name for name, m in markets.items() if m.instrument is not None)
        return followed or sorted(markets)

    # -- the driver's thread -------------------------------------------------------------
    def _hand_over(self):
        while True:
            with self._cond:
                self._cond.wait_for(lambda: self._reports or self._stopped)
                if not self._reports:
                    return
                text = self._reports.popleft()
            if self._on_drill is not None:
                try:
                    self._on_drill(text)
                except Exception:  # the caller's fault: reported, the drills go on
                    print("cqgsim: the chaos driver's callback failed", file=sys.stderr)
                    traceback.print_exc()
